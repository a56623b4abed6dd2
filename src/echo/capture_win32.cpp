// Screen capture on Windows: DXGI desktop duplication of the region when its
// output allows it, GDI BitBlt for the passes it does not (DuplicationRecovery
// decides, and brings duplication back). Either way the picture lands in a
// top-down 32-bit DIB section that lives as long as the region, the pointer
// is drawn into it with DrawIconEx, and the DIB is converted to RGBA. A pass
// with nothing new reuses the picture: the pointer is taken out and drawn
// again, and only its rectangles are converted. A new duplicated picture
// rewrites only the rectangles duplication reported, and only those (with
// the pointer's) are converted; GDI pictures are compared with the last.
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "echo/cursor.h"
#include "echo/desktop_duplication_win32.h"
#include "echo/duplication_recovery.h"
#include "echo/pixel_convert.h"
#include "log/helpers.h"
#include "log/log.h"

namespace vl {
namespace {

// Once per reason, however often the region is opened again.
void logGdiFallback(LogLevel level, const std::string& reason) {
  static std::mutex mutex;
  static std::string lastLogged;
  std::lock_guard<std::mutex> lock(mutex);
  if (reason == lastLogged) return;
  lastLogged = reason;
  logWrite(level, "桌面复制不可用，改用 GDI 抓屏: %s", reason.c_str());
}

}  // namespace

struct ScreenCapturer::Impl {
  HDC screenDc = nullptr;
  HDC memoryDc = nullptr;
  HBITMAP dib = nullptr;
  HGDIOBJ previousBitmap = nullptr;
  void* bits = nullptr;
  std::size_t stride = 0;
  std::unique_ptr<detail::RegionDuplication> duplication = detail::makeRegionDuplication();
  // Lives as long as the capturer, so what it logged is not logged again
  // when the region is opened again.
  DuplicationRecovery recovery{*duplication};
  bool duplicating = false;  // duplication is tried for this region
  bool dibHoldsPicture = false;
  // Where the last picture came from: Unchanged or KeepLast mean the desktop
  // below the pointer is what it was.
  PictureSource lastSource = PictureSource::Gdi;
  // GDI tells nothing about changes: the last picture (bytes as in the
  // DIB, pointer included) is kept and compared with the next before any
  // conversion.
  std::vector<std::uint8_t> previous;

  HCURSOR cursor = nullptr;  // the shape whose hotspot and size are known
  POINT cursorHotspot{};
  SIZE cursorSize{};
  // The DIB bytes under the pointer drawn last, so a reused picture can take
  // the pointer out again instead of being copied anew.
  RECT underCursor{};
  std::vector<std::uint8_t> underCursorBytes;
  bool underCursorSaved = false;
  // The frame the last conversion wrote; handed in again unchanged, only
  // the pointer's rectangles need converting.
  const std::uint8_t* convertedPixels = nullptr;
  // What the last grab did: the picture below the pointer reused, and the
  // pointer's rectangle before and after it.
  bool grabReused = false;
  // `previous` holds the DIB of the last grab (no capture() grabbed since).
  bool previousIsLastGrab = false;
  RECT cursorBefore{};
  RECT cursorNow{};

  // Brings rectangle r of `kept` and `previous` up to the DIB.
  void refresh(const PixelRect& r, PixelFrame& kept) {
    convert(RECT{r.x, r.y, r.x + r.width, r.y + r.height}, kept);
    const auto* from = static_cast<const std::uint8_t*>(bits);
    for (std::int32_t y = r.y; y < r.y + r.height; ++y) {
      const std::size_t at = static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(r.x) * 4u;
      std::memcpy(previous.data() + at, from + at, static_cast<std::size_t>(r.width) * 4u);
    }
  }

  // Converts rectangle r of the DIB into the same place of `out`.
  void convert(const RECT& r, PixelFrame& out) const {
    if (r.right <= r.left || r.bottom <= r.top) return;
    const auto* from = static_cast<const std::uint8_t*>(bits);
    const std::size_t at = static_cast<std::size_t>(r.top) * stride + static_cast<std::size_t>(r.left) * 4u;
    convertBgrxToRgba(from + at, stride, out.pixels.data() + at, stride, r.right - r.left, r.bottom - r.top);
  }

  bool learnCursor(HCURSOR handle) {
    ICONINFO icon{};
    if (!GetIconInfo(handle, &icon)) return false;
    BITMAP bitmap{};
    cursorSize = SIZE{32, 32};
    if (icon.hbmColor && GetObjectW(icon.hbmColor, sizeof bitmap, &bitmap))
      cursorSize = SIZE{bitmap.bmWidth, bitmap.bmHeight};
    else if (icon.hbmMask && GetObjectW(icon.hbmMask, sizeof bitmap, &bitmap))
      cursorSize = SIZE{bitmap.bmWidth, bitmap.bmHeight / 2};  // AND mask above XOR mask
    // GetIconInfo hands out copies of the cursor's bitmaps.
    if (icon.hbmMask) DeleteObject(icon.hbmMask);
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
    cursor = handle;
    cursorHotspot = POINT{static_cast<LONG>(icon.xHotspot), static_cast<LONG>(icon.yHotspot)};
    return true;
  }

  void copyRows(const RECT& r, bool save) {
    const std::size_t bytes = static_cast<std::size_t>(r.right - r.left) * 4u;
    auto* base = static_cast<std::uint8_t*>(bits);
    if (save) underCursorBytes.resize(bytes * static_cast<std::size_t>(r.bottom - r.top));
    for (LONG y = r.top; y < r.bottom; ++y) {
      std::uint8_t* row = base + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(r.left) * 4u;
      std::uint8_t* kept = underCursorBytes.data() + static_cast<std::size_t>(y - r.top) * bytes;
      if (save)
        std::memcpy(kept, row, bytes);
      else
        std::memcpy(row, kept, bytes);
    }
  }

  // Puts back what the last pointer covered.
  void takeCursorOut() {
    if (underCursorSaved) copyRows(underCursor, false);
    underCursorSaved = false;
  }

  // Draws the pointer into the DIB, keeping what it covers; its stamp, or 0
  // when none is shown. `drawn` receives the rectangle it may have touched.
  std::uint64_t drawCursor(const MonitorInfo& rect, int width, int height, RECT& drawn) {
    drawn = RECT{};
    CURSORINFO info{};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info) || !(info.flags & CURSOR_SHOWING) || info.hCursor == nullptr) return 0;
    if (info.hCursor != cursor && !learnCursor(info.hCursor)) return 0;
    const LONG x = info.ptScreenPos.x - rect.x - cursorHotspot.x;
    const LONG y = info.ptScreenPos.y - rect.y - cursorHotspot.y;
    drawn = RECT{x > 0 ? x : 0, y > 0 ? y : 0, x + cursorSize.cx < width ? x + cursorSize.cx : width,
                 y + cursorSize.cy < height ? y + cursorSize.cy : height};
    if (drawn.left >= drawn.right || drawn.top >= drawn.bottom) {
      drawn = RECT{};
    } else {
      GdiFlush();
      underCursor = drawn;
      copyRows(drawn, true);
      underCursorSaved = true;
    }
    // The DIB is the region, so drawing clips to it.
    DrawIconEx(memoryDc, x, y, info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
    return vl::cursorStamp(reinterpret_cast<std::uintptr_t>(info.hCursor), info.ptScreenPos.x, info.ptScreenPos.y);
  }

  void release() {
    duplication->close();
    recovery.restart();
    duplicating = false;
    dibHoldsPicture = false;
    underCursorSaved = false;
    convertedPixels = nullptr;
    previous.clear();
    previousIsLastGrab = false;
    cursor = nullptr;
    if (memoryDc && previousBitmap) SelectObject(memoryDc, previousBitmap);
    previousBitmap = nullptr;
    if (memoryDc) DeleteDC(memoryDc);
    memoryDc = nullptr;
    if (dib) DeleteObject(dib);
    dib = nullptr;
    if (screenDc) ReleaseDC(nullptr, screenDc);
    screenDc = nullptr;
    bits = nullptr;
  }
};

ScreenCapturer::ScreenCapturer() : impl_(std::make_unique<Impl>()) {}

ScreenCapturer::~ScreenCapturer() { close(); }

bool ScreenCapturer::open(const CaptureRegion& region) {
  close();
  rect_ = resolveCaptureRegion(region);
  if (rect_.width <= 0 || rect_.height <= 0) return false;

  Impl& d = *impl_;
  d.screenDc = GetDC(nullptr);
  if (d.screenDc) d.memoryDc = CreateCompatibleDC(d.screenDc);
  if (d.memoryDc) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = rect_.width;
    info.bmiHeader.biHeight = -rect_.height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    d.dib = CreateDIBSection(d.screenDc, &info, DIB_RGB_COLORS, &d.bits, nullptr, 0);
  }
  if (!d.screenDc || !d.memoryDc || !d.dib || !d.bits) {
    d.release();
    return false;
  }
  d.previousBitmap = SelectObject(d.memoryDc, d.dib);
  width_ = rect_.width;
  height_ = rect_.height;
  d.stride = static_cast<std::size_t>(width_) * 4u;
  if (gdiCaptureForced()) {
    logGdiFallback(LogLevel::Info, "已设置 VL_SCREEN_GDI");
  } else {
    // Set up at the first capture; failures are retried from there.
    d.duplication->open(rect_, static_cast<std::uint8_t*>(d.bits), d.stride);
    d.duplicating = true;
  }
  logOpened();
  return true;
}

void ScreenCapturer::close() {
  impl_->release();
  kept_ = nullptr;
  width_ = 0;
  height_ = 0;
}

bool ScreenCapturer::isReady() const { return impl_->memoryDc && impl_->bits; }

bool ScreenCapturer::usingSharedMemory() const { return false; }

bool ScreenCapturer::usingDuplication() const { return impl_->duplicating && impl_->recovery.active(); }

bool ScreenCapturer::capture(PixelFrame& out) {
  if (!grab()) return false;
  Impl& d = *impl_;
  out.setSize(width_, height_);
  if (d.grabReused && d.convertedPixels == out.pixels.data()) {
    // Nothing new below the pointer: convert only where it was and is.
    d.convert(d.cursorBefore, out);
    d.convert(d.cursorNow, out);
  } else {
    d.convert(RECT{0, 0, width_, height_}, out);
  }
  d.convertedPixels = out.pixels.data();
  d.previousIsLastGrab = false;
  capturedSinceLog_ = true;
  return true;
}

// GDI and duplication convert into `kept` (their compare needs it).
bool ScreenCapturer::updateView(PixelFrame& kept, FrameDamage& damage, PixelView& view) {
  view = PixelView{};
  if (!update(kept, damage)) return false;
  view = PixelView::of(kept);
  return true;
}

bool ScreenCapturer::update(PixelFrame& kept, FrameDamage& damage) {
  damage.setWhole();
  if (!isReady()) return false;
  Impl& d = *impl_;
  const std::size_t bytes = d.stride * static_cast<std::size_t>(height_);
  const bool known = kept_ == &kept && kept.width == width_ && kept.height == height_ &&
                     keptCursorDrawn_ == cursorDrawn_ && d.previous.size() == bytes;
  const bool sinceLastGrab = d.previousIsLastGrab;
  const std::uint64_t stampBefore = cursorStamp_;
  if (!grab()) {
    kept_ = nullptr;
    return false;
  }
  const auto* bits = static_cast<const std::uint8_t*>(d.bits);
  capturedSinceLog_ = true;
  // After this `kept` is the conversion of the DIB, and `previous` its copy.
  d.convertedPixels = kept.pixels.data();
  d.previousIsLastGrab = true;
  if (!known) {
    kept.setSize(width_, height_);
    d.convert(RECT{0, 0, width_, height_}, kept);
    d.previous.assign(bits, bits + bytes);
    d.convertedPixels = kept.pixels.data();  // setSize may have moved it
    kept_ = &kept;
    keptCursorDrawn_ = cursorDrawn_;
    return true;
  }
  damage.setNone();
  const bool reported = d.lastSource == PictureSource::NewPicture && !d.recovery.damage().whole;
  if (sinceLastGrab && (d.grabReused || reported)) {
    // Duplication said what changed: nothing (or the secure desktop keeps
    // the last picture), or the rectangles it rewrote. Besides those only
    // where the pointer was and is can differ, and only if it moved or
    // changed shape.
    if (reported)
      for (const PixelRect& r : d.recovery.damage().rects) damage.add(r, width_, height_);
    if (cursorStamp_ != stampBefore)
      for (const RECT& r : {d.cursorBefore, d.cursorNow})
        damage.add(PixelRect{r.left, r.top, r.right - r.left, r.bottom - r.top}, width_, height_);
    for (const PixelRect& r : damage.rects) d.refresh(r, kept);
    return true;
  }
  // GDI (or a duplicated frame without rectangles) tells nothing finer: compare.
  PixelRect rows;
  if (!changedRows(d.previous.data(), bits, d.stride, width_, height_, rows)) return true;
  const std::size_t offset = static_cast<std::size_t>(rows.y) * d.stride;
  d.convert(RECT{0, rows.y, width_, rows.y + rows.height}, kept);
  std::memcpy(d.previous.data() + offset, bits + offset, d.stride * static_cast<std::size_t>(rows.height));
  damage.add(rows, width_, height_);
  return true;
}

bool ScreenCapturer::changePending() { return false; }

int ScreenCapturer::changeHandle() const { return -1; }

void ScreenCapturer::changeHandleWaited(bool) {}

bool ScreenCapturer::grab() {
  if (!isReady()) return false;
  Impl& d = *impl_;
  GdiFlush();  // duplication writes the bits directly
  // The pointer comes out first: a new duplicated picture rewrites only
  // the rectangles that changed, and what it leaves must be the desktop.
  d.takeCursorOut();
  PictureSource source = PictureSource::Gdi;
  if (d.duplicating) source = d.recovery.step(monotonicMs(), d.dibHoldsPicture);
  const bool reuse = source == PictureSource::Unchanged || source == PictureSource::KeepLast;
  if (source == PictureSource::Gdi &&
      !BitBlt(d.memoryDc, 0, 0, width_, height_, d.screenDc, rect_.x, rect_.y, captureRasterOperation()))
    return false;
  d.dibHoldsPicture = true;
  d.lastSource = source;
  d.grabReused = reuse;
  d.cursorBefore = d.underCursor;  // where the pointer was drawn last pass
  d.underCursor = RECT{};
  d.cursorNow = RECT{};
  cursorStamp_ = cursorDrawn_ ? d.drawCursor(rect_, width_, height_, d.cursorNow) : 0;
  GdiFlush();  // the DIB bits are read directly after this
  return true;
}

namespace {

// Before Windows 10 2004 the exclusion value is taken as WDA_MONITOR: the
// call succeeds and the panel shows as a black box in the stream.
constexpr unsigned long kExcludeFromCaptureBuild = 19041;

// RtlGetVersion tells the real build; GetVersionEx answers 6.2 to programs
// without a compatibility manifest.
unsigned long windowsBuild() {
  static const unsigned long build = [] {
    using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion =
        ntdll ? reinterpret_cast<GetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    return getVersion && getVersion(&info) == 0 ? static_cast<unsigned long>(info.dwBuildNumber) : 0ul;
  }();
  return build;
}

}  // namespace

bool setCaptureExclusion(void* window, bool exclude) {
  if (!window) return false;
  if (exclude && windowsBuild() < kExcludeFromCaptureBuild) return false;
  using SetAffinityFn = BOOL(WINAPI*)(HWND, DWORD);
  // Looked up once; a missing export is remembered too.
  static const SetAffinityFn setAffinity = []() -> SetAffinityFn {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return nullptr;
    return reinterpret_cast<SetAffinityFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetWindowDisplayAffinity")));
  }();
  if (!setAffinity) return false;
  return setAffinity(static_cast<HWND>(window), exclude ? 0x11u : 0u) != FALSE;
}

}  // namespace vl
