// BGRX -> RGBA conversion. Written on whole 32-bit pixels with shifts and
// masks so the compiler turns the loop into plain vector integer code
// (4 pixels per SSE2 step, 8 with AVX2) with no shuffles needed.
#include "echo/pixel_convert.h"

#include <cstring>

namespace vl {
namespace {

inline void convertRow(const std::uint8_t* __restrict src, std::uint8_t* __restrict dst, int width) {
  for (int i = 0; i < width; ++i) {
    std::uint32_t v;
    std::memcpy(&v, src + 4 * i, 4);
    // Little-endian: v = X<<24 | R<<16 | G<<8 | B; out must read R, G, B, 255.
    const std::uint32_t out = ((v >> 16) & 0xFFu) | (v & 0xFF00u) | ((v & 0xFFu) << 16) | 0xFF000000u;
    std::memcpy(dst + 4 * i, &out, 4);
  }
}

}  // namespace

void convertBgrxToRgba(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                       int width, int height) {
  if (width <= 0 || height <= 0) return;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4u;
  if (srcStride == rowBytes && dstStride == rowBytes) {
    convertRow(src, dst, width * height);
    return;
  }
  for (int y = 0; y < height; ++y) convertRow(src + y * srcStride, dst + y * dstStride, width);
}

}  // namespace vl
