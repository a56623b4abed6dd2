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
  // AVX2 is used when the processor has it unless switched off here (then
  // SSE2); the results are identical either way.
  void setWideVectors(bool allowed) { wideAllowed_ = allowed; }

 private:
  void prepare(int srcWidth, int srcHeight, int dstWidth, int dstHeight);

  int srcWidth_ = 0, srcHeight_ = 0, dstWidth_ = 0, dstHeight_ = 0;
  std::vector<std::int32_t> colOffset_;   // lower neighbour, in values of a blended row
  std::vector<std::int16_t> colWeights_;  // (256 - wx, wx) once per channel
  std::vector<std::int32_t> rowTop_, rowWeight_;
  std::vector<std::int16_t> blended_;  // the current output row's source rows blended
  bool wideAllowed_ = true;
};

}  // namespace vl
