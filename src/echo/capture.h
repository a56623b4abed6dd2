// Monitors, capture regions and the screen capturer (GDI on Windows, X11 on
// Linux). Produces top-down RGBA frames with alpha 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "echo/capture_region.h"

namespace vl {

// One monitor, or the rectangle a region resolves to; virtual-desktop pixels.
struct MonitorInfo {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool primary = false;
  std::string name;  // UTF-8
};

// width × height pixels, rows top-down, bytes R, G, B, A per pixel.
struct PixelFrame {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;

  // Sets the size; growth is zero-filled, shrinking keeps the storage, so a
  // frame reused at a steady size never allocates.
  void setSize(std::int32_t w, std::int32_t h) {
    width = w;
    height = h;
    pixels.resize(static_cast<std::size_t>(w > 0 ? w : 0) * static_cast<std::size_t>(h > 0 ? h : 0) * 4u);
  }
  void clear() {
    width = 0;
    height = 0;
    pixels.clear();
  }
};

// Pixels read where they lie: rows `stride` bytes apart, 4 bytes a pixel,
// either R, G, B, A as in PixelFrame or B, G, R, X as X11 and GDI copy the
// screen (X ignored; read as R, G, B, 255, exactly what converting first
// gives). Empty (width 0) for a frame shorter than its size says.
struct PixelView {
  const std::uint8_t* data = nullptr;
  std::size_t stride = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool bgrx = false;

  static PixelView of(const PixelFrame& frame) {
    PixelView v;
    if (frame.width < 1 || frame.height < 1 ||
        frame.pixels.size() < static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 4u)
      return v;
    v.data = frame.pixels.data();
    v.stride = static_cast<std::size_t>(frame.width) * 4u;
    v.width = frame.width;
    v.height = frame.height;
    return v;
  }
  bool empty() const { return data == nullptr || width < 1 || height < 1; }
};

// A rectangle of frame pixels.
struct PixelRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// What an update changed in the kept picture: all of it, some rectangles
// (frame pixels, inside the frame), or nothing (whole off, rects empty).
struct FrameDamage {
  // Beyond this many rectangles their bounding box stands for them.
  static constexpr std::size_t kMaxRects = 16;
  bool whole = true;
  std::vector<PixelRect> rects;

  void setWhole() {
    whole = true;
    rects.clear();
  }
  void setNone() {
    whole = false;
    rects.clear();
  }
  bool unchanged() const { return !whole && rects.empty(); }
  // Adds r clipped to width x height; empty parts are dropped.
  void add(PixelRect r, std::int32_t width, std::int32_t height);
};

// The rows that differ between two pictures of 4-byte pixels with the same
// layout, as one full-width rectangle from the first to the last; false
// when they are equal.
bool changedRows(const std::uint8_t* before, const std::uint8_t* after, std::size_t stride, std::int32_t width,
                 std::int32_t height, PixelRect& rows);

// What the platform reports about the desktop besides the monitor list.
struct DesktopMetrics {
  std::int32_t virtualX = 0;  // bounding box of all monitors
  std::int32_t virtualY = 0;
  std::int32_t virtualWidth = 0;
  std::int32_t virtualHeight = 0;
  std::int32_t screenWidth = 0;  // primary screen
  std::int32_t screenHeight = 0;
};

inline constexpr const char* kFallbackMonitorName = "主显示器";
inline constexpr const char* kCustomRegionName = "自定义区域";

// Pure parts, testable without a display. An empty list gets the single
// primary entry "主显示器" with the primary screen's size, as long as there
// is a screen (positive size); without one it stays empty. A monitor region
// resolves to an empty rectangle against an empty list.
void applyMonitorFallback(std::vector<MonitorInfo>& monitors, const DesktopMetrics& desktop);
MonitorInfo resolveCaptureRegion(const CaptureRegion& region, const std::vector<MonitorInfo>& monitors,
                                 const DesktopMetrics& desktop);

// Platform queries; stateless, callable from any thread.
DesktopMetrics readDesktopMetrics();
// Monitors in the order the system reports them; empty when there is no
// display (Linux: no X server to connect to).
std::vector<MonitorInfo> enumerateMonitors();
// Both of the above from one query (Linux: one X connection, so a bare X
// server resetting after the first client left cannot fail the second and
// leave monitors without a desktop to resolve regions against).
void readDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop);
// Resolves against a fresh monitor list and fresh desktop metrics.
MonitorInfo resolveCaptureRegion(const CaptureRegion& region);

// Copies one rectangle of the screen, resolved at open, into RGBA frames.
// Used on one thread only.
class ScreenCapturer {
 public:
  ScreenCapturer();
  ~ScreenCapturer();
  ScreenCapturer(const ScreenCapturer&) = delete;
  ScreenCapturer& operator=(const ScreenCapturer&) = delete;

  // Closes first; false when the region resolves to an empty rectangle or
  // the platform objects cannot be created (nothing stays half set up).
  bool open(const CaptureRegion& region);
  void close();
  // false (out untouched) when not ready or the copy fails.
  bool capture(PixelFrame& out);
  // Brings `kept` up to date: it must be the frame the last update filled
  // (anything else, an empty frame included, is captured whole). Reports
  // what changed; nothing changed costs no copy at all where the platform
  // says so (X DAMAGE and XFixes, desktop duplication with no new frame),
  // and a compare otherwise (GDI). false (damage whole) when the copy fails.
  bool update(PixelFrame& kept, FrameDamage& damage);
  // The same, the picture handed out as `view`: where the platform's own
  // buffer can hold the kept picture (X11 MIT-SHM, B, G, R, X) it is updated
  // there and `kept` is not touched; otherwise `kept` is updated and viewed.
  // The view stays valid until the next call on this capturer.
  bool updateView(PixelFrame& kept, FrameDamage& damage, PixelView& view);
  // Whether the platform has reported a change since the last update
  // (never waits; false where it cannot tell).
  bool changePending();
  // A descriptor that becomes readable when a change is reported; -1 where
  // there is none (Windows).
  int changeHandle() const;
  // The owner's wait on changeHandle() just ended and found it readable or
  // not. From the first call on, a still pass reads nothing from the
  // connection and (Linux) asks for the pointer only after device motion
  // or a recheck time; without calls every update asks.
  void changeHandleWaited(bool readable);
  bool isReady() const;

  const MonitorInfo& rect() const { return rect_; }
  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }

  // Linux: MIT-SHM is used when the server offers it unless switched off
  // here (takes effect at the next open). Ignored on Windows.
  void setSharedMemoryAllowed(bool allowed) { shmAllowed_ = allowed; }
  // Linux: whether the open capturer copies through MIT-SHM.
  bool usingSharedMemory() const;
  // Windows: whether the open capturer copies through DXGI desktop
  // duplication (otherwise GDI BitBlt).
  bool usingDuplication() const;

  // Draws the mouse pointer into every captured frame (off unless set).
  void setCursorDrawn(bool drawn) { cursorDrawn_ = drawn; }
  // cursorStamp() of the pointer drawn into the last frame; 0 when none was.
  std::uint64_t cursorStamp() const { return cursorStamp_; }

 private:
  // The open line, left out for a retry: the same rectangle reopened before
  // any picture came through since it was last written.
  void logOpened();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  // Copies the screen into the platform's buffer (Windows).
  bool grab();
  // The kept frame that update() filled last; a different frame is
  // captured whole.
  const PixelFrame* kept_ = nullptr;
  bool keptCursorDrawn_ = false;
  MonitorInfo rect_;
  MonitorInfo loggedRect_;
  bool openLogged_ = false;
  bool capturedSinceLog_ = false;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool shmAllowed_ = true;
  bool cursorDrawn_ = false;
  std::uint64_t cursorStamp_ = 0;
};

// Raster operation of every screen copy: SRCCOPY|CAPTUREBLT, or SRCCOPY alone
// when VL_SCREEN_NO_CAPTUREBLT is set. The variable is read once per process,
// at the first call.
inline constexpr std::uint32_t kRopSrcCopy = 0x00CC0020u;
inline constexpr std::uint32_t kRopSrcCopyCaptureBlt = 0x40CC0020u;
std::uint32_t captureRasterOperation();

// Windows: VL_SCREEN_GDI set (to anything but "0") keeps every capture on
// GDI, without trying desktop duplication. Read once per process.
bool gdiCaptureForced();

// Windows: hides the window from screen capture (or shows it again) through
// SetWindowDisplayAffinity. false for a null window, when the system lacks
// the call or rejects it; always false on Linux.
bool setCaptureExclusion(void* window, bool exclude);

}  // namespace vl
