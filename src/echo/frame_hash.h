// Cheap change detection on a sparse grid of pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl {

inline constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ull;
inline constexpr std::uint64_t kFnvPrime = 1099511628211ull;

// 64-bit FNV-1a.
std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t size);

// Empties samples, then appends R, G, B of every pixel (x, y) with x and y
// multiples of step = max(8, width / 64), row by row; returns the FNV-1a hash
// of the samples. samples is the caller's, reused between frames.
std::uint64_t sampledFrameHash(const PixelFrame& frame, std::vector<std::uint8_t>& samples);

// Continues an FNV-1a hash over the eight bytes of value, lowest first.
std::uint64_t mixIntoHash(std::uint64_t hash, std::uint64_t value);

}  // namespace vl
