// Bilinear resampling of RGBA frames in single precision.
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
  // AVX2 is used when the processor has it unless switched off here; the
  // results are identical either way.
  void setWideVectors(bool allowed) { wideAllowed_ = allowed; }

 private:
  void prepare(int srcWidth, int srcHeight, int dstWidth, int dstHeight);
  void horizontalRow(const std::uint8_t* srcRow, float* out) const;

  int srcWidth_ = 0, srcHeight_ = 0, dstWidth_ = 0, dstHeight_ = 0;
  std::vector<std::int32_t> colLeft_, colRight_;  // byte offsets in a source row
  std::vector<float> colW0x4_, colW1x4_;          // 1 - fx, fx; once per channel
  std::vector<std::int32_t> rowTop_, rowBottom_;
  std::vector<float> rowW0_, rowW1_;  // 1 - fy, fy
  std::vector<float> rowBuf_[2];      // horizontally blended source rows
  std::int32_t rowBufSource_[2] = {-1, -1};
  bool wideAllowed_ = true;
};

}  // namespace vl
