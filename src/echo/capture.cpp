// Portable half of the screen capturer.
#include "echo/capture.h"

#include <algorithm>
#include <cstring>

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

void FrameDamage::add(PixelRect r, std::int32_t width, std::int32_t height) {
  if (whole) return;
  const std::int64_t x0 = std::max<std::int64_t>(r.x, 0), y0 = std::max<std::int64_t>(r.y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(static_cast<std::int64_t>(r.x) + r.width, width);
  const std::int64_t y1 = std::min<std::int64_t>(static_cast<std::int64_t>(r.y) + r.height, height);
  if (x1 <= x0 || y1 <= y0) return;
  const PixelRect clipped{static_cast<std::int32_t>(x0), static_cast<std::int32_t>(y0),
                          static_cast<std::int32_t>(x1 - x0), static_cast<std::int32_t>(y1 - y0)};
  if (rects.size() < kMaxRects) {
    rects.push_back(clipped);
    return;
  }
  // Too many pieces: one box over all of them costs fewer round trips.
  const auto grow = [](PixelRect& box, const PixelRect& o) {
    const std::int32_t bx1 = std::max(box.x + box.width, o.x + o.width);
    const std::int32_t by1 = std::max(box.y + box.height, o.y + o.height);
    box.x = std::min(box.x, o.x);
    box.y = std::min(box.y, o.y);
    box.width = bx1 - box.x;
    box.height = by1 - box.y;
  };
  PixelRect& box = rects.front();
  for (std::size_t i = 1; i < rects.size(); ++i) grow(box, rects[i]);
  grow(box, clipped);
  rects.resize(1);
}

bool changedRows(const std::uint8_t* before, const std::uint8_t* after, std::size_t stride, std::int32_t width,
                 std::int32_t height, PixelRect& rows) {
  if (width <= 0 || height <= 0) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4u;
  const auto rowCount = static_cast<std::size_t>(height);
  const auto differs = [&](std::size_t y) { return std::memcmp(before + y * stride, after + y * stride, rowBytes) != 0; };
  std::size_t first = 0;
  while (first < rowCount && !differs(first)) ++first;
  if (first == rowCount) return false;
  std::size_t last = rowCount - 1;
  while (last > first && !differs(last)) --last;
  rows = PixelRect{0, static_cast<std::int32_t>(first), width, static_cast<std::int32_t>(last - first + 1)};
  return true;
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
