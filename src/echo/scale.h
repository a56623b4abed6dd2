// Bilinear resampling of RGBA frames (fixed point, within one level of the
// exact formula).
#pragma once

#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl {

// Empties dst, then fills it with src resampled to dstWidth × dstHeight.
// false (dst left 0 × 0) for an empty or short source or a destination
// size below 1. Neither keeps the aspect ratio nor rounds sizes.
// Uses a per-thread BilinearScaler, so steady sizes allocate nothing.
bool scaleBilinear(const PixelFrame& src, int dstWidth, int dstHeight, PixelFrame& dst);

// The same resampling with its index/weight tables and row buffers kept
// between calls (rebuilt only when the size pair changes).
class BilinearScaler {
 public:
  bool scale(const PixelFrame& src, int dstWidth, int dstHeight, PixelFrame& dst);
  // The same from pixels read in place; a B, G, R, X source is converted on
  // the way (dst is RGBA, byte for byte what converting first and scaling
  // the RGBA frame gives), so a captured picture needs no conversion pass.
  // dst must not overlap src.
  bool scale(const PixelView& src, int dstWidth, int dstHeight, PixelFrame& dst);
  // After scale(src, ..., dst) and a change of `changed` (source pixels) in
  // src: redoes only the destination pixels that read it, giving exactly
  // what scale() would. false (dst untouched) when the sizes are not those
  // of the last scale().
  bool scaleArea(const PixelFrame& src, PixelFrame& dst, const PixelRect& changed);
  bool scaleArea(const PixelView& src, PixelFrame& dst, const PixelRect& changed);
  // AVX2 is used when the processor has it unless switched off here (then
  // SSE2); the results are identical either way.
  void setWideVectors(bool allowed) { wideAllowed_ = allowed; }

 private:
  void prepare(int srcWidth, int srcHeight, int dstWidth, int dstHeight);
  // Output rows [j0, j1), columns [i0, i1), from blended values [v0, v1).
  void blend(const PixelView& src, PixelFrame& dst, int j0, int j1, int i0, int i1, int v0, int v1);

  int srcWidth_ = 0, srcHeight_ = 0, dstWidth_ = 0, dstHeight_ = 0;
  std::vector<std::int32_t> colOffset_;   // lower neighbour, in values of a blended row
  std::vector<std::int16_t> colWeights_;  // (256 - wx, wx) once per channel
  std::vector<std::int32_t> rowTop_, rowWeight_;
  std::vector<std::int16_t> blended_;  // the current output row's source rows blended
  bool wideAllowed_ = true;
};

}  // namespace vl
