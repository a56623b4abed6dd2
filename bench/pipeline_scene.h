// Shared by the image pipeline benchmarks: a desktop-like picture shown on
// the screen being captured, so capture and encode see realistic content.
#pragma once

#include <string>

#include "echo/capture.h"

namespace vl::bench {

// Shows `picture` (RGBA) full-screen at (0, 0): on Linux drawn into the root
// window of $DISPLAY, on Windows in a top-most borderless window. false when
// there is no screen to draw on.
bool showPicture(const PixelFrame& picture);
void hidePicture();

}  // namespace vl::bench
