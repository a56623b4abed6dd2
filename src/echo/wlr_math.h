// Pure parts of the wlroots back end: the compositor's SHM pixel layouts
// into RGBA frames, screencopy damage into frame rectangles, a capture
// rectangle onto one output, and viewer coordinates onto the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl::wlr {

// Where R, G and B sit in one 4-byte pixel of a wl_shm format; ok false
// for a format the back end does not read.
struct ShmLayout {
  bool ok = false;
  std::uint8_t r = 0, g = 0, b = 0;
};
ShmLayout shmLayout(std::uint32_t wlShmFormat);

// Copies `area` of the picture held in a SHM buffer (bufferHeight rows of
// `stride` bytes; with yInvert the first row in memory is the picture's
// last) into dst at (dstX, dstY) as RGBA with alpha 255. The caller keeps
// area inside the buffer and the destination inside dst.
void copyShmArea(const std::uint8_t* shm, std::size_t stride, std::int32_t bufferHeight, const ShmLayout& layout,
                 bool yInvert, const PixelRect& area, PixelFrame& dst, std::int32_t dstX, std::int32_t dstY);

// The part of a rectangle (layout pixels) that one output shows, in that
// output's buffer pixels (a scaled output has more buffer than layout
// pixels); empty when they do not meet.
PixelRect bufferArea(const MonitorInfo& rect, const MonitorInfo& output, std::int32_t bufferWidth,
                     std::int32_t bufferHeight);

// Adds one screencopy damage box (buffer pixels) to the damage of a frame
// cut out of the buffer at `crop`.
void addBufferDamage(const PixelRect& box, const PixelRect& crop, FrameDamage& damage);

// The output a capture rectangle is taken from: the one under its centre,
// else the one it overlaps most, else the first; -1 for no outputs.
int outputUnder(const MonitorInfo& rect, const std::vector<MonitorInfo>& outputs);

// A pointer position for zwlr_virtual_pointer_v1.motion_absolute: (x, y)
// within extents spanning the layout's bounding box. ok false when the
// layout has no size.
struct LayoutPosition {
  bool ok = false;
  std::uint32_t x = 0, y = 0, xExtent = 0, yExtent = 0;
};
LayoutPosition layoutPosition(float u, float v, const MonitorInfo& rect, const DesktopMetrics& desktop);

// The bounding box of the outputs, the first one's size as the primary
// screen's.
DesktopMetrics layoutMetrics(const std::vector<MonitorInfo>& outputs);

}  // namespace vl::wlr
