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
// The same over pixels kept where they lie (`bgrx`: B, G, R, X order, X left
// alone), so a captured picture gets exactly the colours converting it and
// drawing over the RGBA frame would.
void compositeCursor(std::uint8_t* pixels, std::size_t stride, std::int32_t width, std::int32_t height, bool bgrx,
                     const CursorImage& cursor, std::int32_t x, std::int32_t y);

// Never 0, and different whenever the shape or the position differs, so the
// static-frame test sees a moved pointer even between its sample points.
std::uint64_t cursorStamp(std::uint64_t shape, std::int32_t x, std::int32_t y);

}  // namespace vl
