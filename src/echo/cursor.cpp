#include "echo/cursor.h"

#include <algorithm>

#include "echo/frame_hash.h"

namespace vl {

void compositeCursor(PixelFrame& frame, const CursorImage& cursor, std::int32_t x, std::int32_t y) {
  const std::size_t frameBytes =
      static_cast<std::size_t>(std::max(frame.width, 0)) * static_cast<std::size_t>(std::max(frame.height, 0)) * 4u;
  if (frame.pixels.size() < frameBytes) return;
  compositeCursor(frame.pixels.data(), static_cast<std::size_t>(std::max(frame.width, 0)) * 4u, frame.width,
                  frame.height, false, cursor, x, y);
}

void compositeCursor(std::uint8_t* pixels, std::size_t stride, std::int32_t width, std::int32_t height, bool bgrx,
                     const CursorImage& cursor, std::int32_t x, std::int32_t y) {
  const std::size_t cursorBytes =
      static_cast<std::size_t>(std::max(cursor.width, 0)) * static_cast<std::size_t>(std::max(cursor.height, 0)) * 4u;
  if (cursorBytes == 0 || cursor.pixels.size() < cursorBytes || pixels == nullptr || width < 1 || height < 1) return;
  // The image's top-left corner in frame pixels, and the part of it that
  // lies inside the frame (64-bit: positions come from the platform).
  const std::int64_t left = static_cast<std::int64_t>(x) - cursor.hotX;
  const std::int64_t top = static_cast<std::int64_t>(y) - cursor.hotY;
  const std::int64_t i0 = std::max<std::int64_t>(0, -left);
  const std::int64_t i1 = std::min<std::int64_t>(cursor.width, static_cast<std::int64_t>(width) - left);
  const std::int64_t j0 = std::max<std::int64_t>(0, -top);
  const std::int64_t j1 = std::min<std::int64_t>(cursor.height, static_cast<std::int64_t>(height) - top);
  // Frame byte of each cursor channel R, G, B.
  const int at[3] = {bgrx ? 2 : 0, 1, bgrx ? 0 : 2};
  for (std::int64_t j = j0; j < j1; ++j) {
    const std::uint8_t* src = cursor.pixels.data() + static_cast<std::size_t>(j * cursor.width + i0) * 4u;
    std::uint8_t* dst = pixels + static_cast<std::size_t>(top + j) * stride + static_cast<std::size_t>(left + i0) * 4u;
    for (std::int64_t i = i0; i < i1; ++i, src += 4, dst += 4) {
      const unsigned keep = 255u - src[3];
      if (keep == 255u) continue;
      for (int c = 0; c < 3; ++c) {
        const unsigned v = src[c] + (dst[at[c]] * keep + 127u) / 255u;
        dst[at[c]] = static_cast<std::uint8_t>(std::min(v, 255u));
      }
    }
  }
}

std::uint64_t cursorStamp(std::uint64_t shape, std::int32_t x, std::int32_t y) {
  std::uint64_t h = mixIntoHash(kFnvOffsetBasis, shape);
  h = mixIntoHash(h, (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) | static_cast<std::uint32_t>(y));
  return h == 0 ? 1 : h;
}

}  // namespace vl
