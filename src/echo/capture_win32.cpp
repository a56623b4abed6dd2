// Screen capture on Windows: DXGI desktop duplication of the region when its
// output allows it, GDI BitBlt otherwise. Either way the picture lands in a
// top-down 32-bit DIB section that lives as long as the region, the pointer
// is drawn into it with DrawIconEx, and the DIB is converted to RGBA.
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "echo/cursor.h"
#include "echo/desktop_duplication_win32.h"
#include "echo/pixel_convert.h"
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
  detail::DesktopDuplication duplication;
  bool duplicating = false;
  HCURSOR cursor = nullptr;  // the shape whose hotspot is known
  POINT cursorHotspot{};
  // GDI tells nothing about changes: the last picture (bytes as in the
  // DIB) is kept and compared with the next before any conversion.
  std::vector<std::uint8_t> previous;

  // Where desktop duplication knows that no desktop frame came since the
  // last copy (no accumulated frames, or the wait timed out) it answers
  // here, and the compare is skipped; until it does, the compare covers
  // duplication too.
  bool duplicationReportsNoChange() const { return false; }

  // Draws the pointer into the DIB; its stamp, or 0 when none is shown.
  std::uint64_t drawCursor(const MonitorInfo& rect) {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info) || !(info.flags & CURSOR_SHOWING) || info.hCursor == nullptr) return 0;
    if (info.hCursor != cursor) {
      ICONINFO icon{};
      if (!GetIconInfo(info.hCursor, &icon)) return 0;
      // GetIconInfo hands out copies of the cursor's bitmaps.
      if (icon.hbmMask) DeleteObject(icon.hbmMask);
      if (icon.hbmColor) DeleteObject(icon.hbmColor);
      cursor = info.hCursor;
      cursorHotspot = POINT{static_cast<LONG>(icon.xHotspot), static_cast<LONG>(icon.yHotspot)};
    }
    // The DIB is the region, so drawing clips to it.
    DrawIconEx(memoryDc, info.ptScreenPos.x - rect.x - cursorHotspot.x, info.ptScreenPos.y - rect.y - cursorHotspot.y,
               info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
    return vl::cursorStamp(reinterpret_cast<std::uintptr_t>(info.hCursor), info.ptScreenPos.x, info.ptScreenPos.y);
  }

  void release() {
    duplication.close();
    duplicating = false;
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
    previous.clear();
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
  std::string reason;
  if (gdiCaptureForced()) {
    logGdiFallback(LogLevel::Info, "已设置 VL_SCREEN_GDI");
  } else if (d.duplication.open(rect_, reason)) {
    d.duplicating = true;
  } else {
    logGdiFallback(LogLevel::Warn, reason);
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

bool ScreenCapturer::usingDuplication() const { return impl_->duplicating; }

bool ScreenCapturer::capture(PixelFrame& out) {
  if (!grab()) return false;
  const std::size_t stride = static_cast<std::size_t>(width_) * 4u;
  out.setSize(width_, height_);
  convertBgrxToRgba(static_cast<const std::uint8_t*>(impl_->bits), stride, out.pixels.data(), stride, width_,
                    height_);
  capturedSinceLog_ = true;
  return true;
}

bool ScreenCapturer::update(PixelFrame& kept, FrameDamage& damage) {
  damage.setWhole();
  if (!isReady()) return false;
  Impl& d = *impl_;
  const std::size_t stride = static_cast<std::size_t>(width_) * 4u;
  const std::size_t bytes = stride * static_cast<std::size_t>(height_);
  const bool known = kept_ == &kept && kept.width == width_ && kept.height == height_ &&
                     keptCursorDrawn_ == cursorDrawn_ && d.previous.size() == bytes;
  if (known && d.duplicating && d.duplicationReportsNoChange()) {
    // The desktop did not change; only the pointer may have.
    CURSORINFO info{};
    info.cbSize = sizeof info;
    const bool shown = cursorDrawn_ && GetCursorInfo(&info) && (info.flags & CURSOR_SHOWING) && info.hCursor;
    const std::uint64_t stamp =
        shown ? vl::cursorStamp(reinterpret_cast<std::uintptr_t>(info.hCursor), info.ptScreenPos.x, info.ptScreenPos.y)
              : 0;
    if (stamp == cursorStamp_) {
      damage.setNone();
      return true;
    }
  }
  if (!grab()) {
    kept_ = nullptr;
    return false;
  }
  const auto* bits = static_cast<const std::uint8_t*>(d.bits);
  capturedSinceLog_ = true;
  if (!known) {
    kept.setSize(width_, height_);
    convertBgrxToRgba(bits, stride, kept.pixels.data(), stride, width_, height_);
    d.previous.assign(bits, bits + bytes);
    kept_ = &kept;
    keptCursorDrawn_ = cursorDrawn_;
    return true;
  }
  damage.setNone();
  PixelRect rows;
  if (!changedRows(d.previous.data(), bits, stride, width_, height_, rows)) return true;
  const std::size_t offset = static_cast<std::size_t>(rows.y) * stride;
  convertBgrxToRgba(bits + offset, stride, kept.pixels.data() + offset, stride, width_, rows.height);
  std::memcpy(d.previous.data() + offset, bits + offset, stride * static_cast<std::size_t>(rows.height));
  damage.add(rows, width_, height_);
  return true;
}

bool ScreenCapturer::changePending() { return false; }

int ScreenCapturer::changeHandle() const { return -1; }

bool ScreenCapturer::grab() {
  if (!isReady()) return false;
  Impl& d = *impl_;
  const std::size_t stride = static_cast<std::size_t>(width_) * 4u;
  auto* bits = static_cast<std::uint8_t*>(d.bits);
  bool copied = false;
  if (d.duplicating) {
    GdiFlush();  // the bits are written directly
    std::string reason;
    switch (d.duplication.copyTo(bits, stride, reason)) {
      case detail::DesktopDuplication::Copy::Picture:
        copied = true;
        break;
      case detail::DesktopDuplication::Copy::NoPictureYet:
        break;  // GDI until the first desktop frame arrives
      case detail::DesktopDuplication::Copy::Failed:
        d.duplication.close();
        d.duplicating = false;
        logGdiFallback(LogLevel::Warn, reason);
        break;
    }
  }
  if (!copied && !BitBlt(d.memoryDc, 0, 0, width_, height_, d.screenDc, rect_.x, rect_.y, captureRasterOperation()))
    return false;
  cursorStamp_ = cursorDrawn_ ? d.drawCursor(rect_) : 0;
  GdiFlush();  // the DIB bits are read directly after this
  return true;
}

bool setCaptureExclusion(void* window, bool exclude) {
  if (!window) return false;
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
