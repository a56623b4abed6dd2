#include "echo/frame_hash.h"

#include <algorithm>

namespace vl {

std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = kFnvOffsetBasis;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= kFnvPrime;
  }
  return hash;
}

std::uint64_t sampledFrameHash(const PixelFrame& frame, std::vector<std::uint8_t>& samples) {
  samples.clear();
  const int width = frame.width, height = frame.height;
  if (width > 0 && height > 0 &&
      frame.pixels.size() >= static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4u) {
    const int step = std::max(8, width / 64);
    const std::size_t perRow = static_cast<std::size_t>((width + step - 1) / step);
    const std::size_t rows = static_cast<std::size_t>((height + step - 1) / step);
    samples.resize(perRow * rows * 3u);  // capacity stays between frames
    std::uint8_t* out = samples.data();
    const std::size_t stride = static_cast<std::size_t>(width) * 4u;
    for (int y = 0; y < height; y += step) {
      const std::uint8_t* row = frame.pixels.data() + static_cast<std::size_t>(y) * stride;
      for (int x = 0; x < width; x += step) {
        const std::uint8_t* p = row + static_cast<std::size_t>(x) * 4u;
        out[0] = p[0];
        out[1] = p[1];
        out[2] = p[2];
        out += 3;
      }
    }
  }
  return fnv1a64(samples.data(), samples.size());
}

std::uint64_t mixIntoHash(std::uint64_t hash, std::uint64_t value) {
  for (int i = 0; i < 8; ++i, value >>= 8) {
    hash ^= value & 0xFFu;
    hash *= kFnvPrime;
  }
  return hash;
}

}  // namespace vl
