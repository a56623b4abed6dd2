// Screen capture with GDI: BitBlt from the screen into a top-down 32-bit DIB
// section that lives as long as the region.
#include <windows.h>

#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "echo/pixel_convert.h"

namespace vl {

struct ScreenCapturer::Impl {
  HDC screenDc = nullptr;
  HDC memoryDc = nullptr;
  HBITMAP dib = nullptr;
  HGDIOBJ previousBitmap = nullptr;
  void* bits = nullptr;

  void release() {
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
  detail::logCaptureOpened(rect_);
  return true;
}

void ScreenCapturer::close() {
  impl_->release();
  width_ = 0;
  height_ = 0;
}

bool ScreenCapturer::isReady() const { return impl_->memoryDc && impl_->bits; }

bool ScreenCapturer::usingSharedMemory() const { return false; }

bool ScreenCapturer::capture(PixelFrame& out) {
  if (!isReady()) return false;
  const DWORD rop = captureRasterOperation();
  if (!BitBlt(impl_->memoryDc, 0, 0, width_, height_, impl_->screenDc, rect_.x, rect_.y, rop)) return false;
  GdiFlush();  // the DIB bits are read directly below
  out.setSize(width_, height_);
  const std::size_t stride = static_cast<std::size_t>(width_) * 4u;
  convertBgrxToRgba(static_cast<const std::uint8_t*>(impl_->bits), stride, out.pixels.data(), stride, width_,
                    height_);
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
