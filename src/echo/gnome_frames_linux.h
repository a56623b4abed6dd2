// The parts of the GNOME back end that need neither mutter nor PipeWire:
// stream buffers into RGBA frames, the pointer that rides along with them,
// mutter's monitor description and the pointer's place in a stream.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "echo/capture.h"
#include "echo/cursor.h"

namespace vl::gnome {

// Byte orders a screen-cast stream may deliver (a CPU consumer asks for
// these only).
enum class PixelLayout : std::uint8_t { Unknown, Bgrx, Bgra, Rgbx, Rgba, Xrgb, Argb, Xbgr, Abgr };

// Which layout a PipeWire video format number stands for.
PixelLayout layoutForSpaFormat(std::uint32_t spaFormat);

// The crop (stream pixels, already inside the stream) of a width × height
// buffer with `stride` bytes per row into `out`, resized to the crop;
// alpha comes out 255. false when the layout is unknown or the buffer is
// too small for the crop.
bool convertStreamPixels(const std::uint8_t* data, std::size_t size, std::size_t stride, std::int32_t width,
                         std::int32_t height, PixelLayout layout, const PixelRect& crop, PixelFrame& out);

// What one dequeued buffer carries.
enum class BufferKind : std::uint8_t {
  Picture,     // a new picture (mutter 43 sends no damage: all of it changed)
  CursorOnly,  // only the pointer moved or changed shape
  Empty,       // nothing usable
};
// chunkFlags as in spa_chunk (SPA_CHUNK_FLAG_CORRUPTED = 1), chunkSize the
// bytes filled; hasCursor: the buffer holds valid cursor metadata.
BufferKind classifyBuffer(std::uint32_t chunkFlags, std::uint32_t chunkSize, bool hasCursor);

// The pointer as the stream's metadata describes it, in stream pixels.
struct StreamCursor {
  bool visible = false;
  std::int32_t x = 0;  // hotspot position
  std::int32_t y = 0;
  std::uint64_t shape = 0;  // changes with every new image
  CursorImage image;
};

// A cursor bitmap of the metadata (any of the layouts above, stride in
// bytes) into the premultiplied RGBA form compositeCursor takes; the image
// is assumed premultiplied already, as compositors hand it out. false for an
// unknown layout or a short buffer.
bool convertCursorBitmap(const std::uint8_t* data, std::size_t size, std::size_t stride, std::int32_t width,
                         std::int32_t height, PixelLayout layout, CursorImage& out);

// One monitor as mutter describes it, with the connector that names it to
// RecordMonitor.
struct GnomeMonitor {
  MonitorInfo info;  // layout pixels; name = the connector
  std::string connector;
};

// Monitors from the reply of org.gnome.Mutter.DisplayConfig.GetCurrentState
// ((ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})): one per
// logical monitor (its first physical monitor's connector), sized by the
// current mode, turned by the transform and divided by the scale in the
// logical layout mode. Ordered primary first, then left to right, top to
// bottom. false for a value of another type.
bool parseDisplayState(GVariant* state, std::vector<GnomeMonitor>& out);

// Bounding box of the monitors, and the primary's size.
DesktopMetrics metricsFor(const std::vector<GnomeMonitor>& monitors);

// Where (u, v) of `rect` (layout pixels, u and v clamped to 0 … 1) lies: the
// monitor that holds the point (the nearest one when none does) and the
// point in that monitor's stream pixels. index −1 without monitors.
struct StreamPoint {
  int index = -1;
  double x = 0;
  double y = 0;
};
StreamPoint streamPointFor(float u, float v, const MonitorInfo& rect, const std::vector<GnomeMonitor>& monitors);

// The monitor a capture rectangle is taken from: the one under its centre
// (the nearest one when none is). −1 without monitors.
int monitorUnder(const MonitorInfo& rect, const std::vector<GnomeMonitor>& monitors);

}  // namespace vl::gnome
