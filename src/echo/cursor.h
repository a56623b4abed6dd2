// The mouse pointer in the captured picture: screen copies (XShmGetImage,
// BitBlt, desktop duplication) leave it out, so a viewer operating the PC
// would click blind.
#pragma once

#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl {

struct CursorImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t hotX = 0;  // the point of the pointer inside the image
  std::int32_t hotY = 0;
  // width × height pixels R, G, B, A, colour premultiplied by alpha (the
  // form X servers hand out).
  std::vector<std::uint8_t> pixels;
};

// Draws the cursor over the frame with its hotspot at frame pixel (x, y);
// whatever falls outside the frame is left out. The frame stays opaque.
void compositeCursor(PixelFrame& frame, const CursorImage& cursor, std::int32_t x, std::int32_t y);

// Never 0, and different whenever the shape or the position differs, so the
// static-frame test sees a moved pointer even between its sample points.
std::uint64_t cursorStamp(std::uint64_t shape, std::int32_t x, std::int32_t y);

}  // namespace vl
