// Portable half of the screen capturer.
#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "log/helpers.h"
#include "log/log.h"

namespace vl {

std::uint32_t captureRasterOperation() {
  // A function-local static is initialised once, thread-safely.
  static const std::uint32_t rop = envExists("VL_SCREEN_NO_CAPTUREBLT") ? kRopSrcCopy : kRopSrcCopyCaptureBlt;
  return rop;
}

bool gdiCaptureForced() {
  static const bool forced = [] {
    const std::string value = envValue("VL_SCREEN_GDI");
    return !value.empty() && value != "0";
  }();
  return forced;
}

void ScreenCapturer::logOpened() {
  const bool sameRect = rect_.x == loggedRect_.x && rect_.y == loggedRect_.y && rect_.width == loggedRect_.width &&
                        rect_.height == loggedRect_.height;
  if (openLogged_ && sameRect && !capturedSinceLog_) return;
  detail::logCaptureOpened(rect_);
  openLogged_ = true;
  loggedRect_ = rect_;
  capturedSinceLog_ = false;
}

namespace detail {

void logCaptureOpened(const MonitorInfo& rect) {
  logWrite(LogLevel::Info, "抓屏初始化: %s %dx%d @ (%d,%d)", rect.name.c_str(), rect.width, rect.height, rect.x,
           rect.y);
}

}  // namespace detail
}  // namespace vl
