// Internal: the checks both JPEG encoders share.
#pragma once

#include <algorithm>

#include "echo/capture.h"

namespace vl::detail {

inline bool jpegInputUsable(const PixelFrame& frame) {
  return frame.width > 0 && frame.height > 0 &&
         frame.pixels.size() >= static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 4u;
}

inline int clampJpegQuality(int quality) { return std::clamp(quality, 1, 100); }

}  // namespace vl::detail
