// Colour conversion of captured screen rows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl {

// Rows of B, G, R, X pixels (the fourth byte ignored) to R, G, B, 255.
// srcStride and dstStride are in bytes; dst rows may not overlap src.
void convertBgrxToRgba(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
                       std::size_t dstStride, int width, int height);

}  // namespace vl
