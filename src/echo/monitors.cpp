// Portable half of monitor listing and region resolution: the clamping
// arithmetic, kept free of platform calls so it can be tested anywhere.
#include <algorithm>

#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "echo/desktop_backend.h"
#include "log/helpers.h"

namespace vl {

void applyMonitorFallback(std::vector<MonitorInfo>& monitors, const DesktopMetrics& desktop) {
  // No screen size means no display: the list stays empty so callers can
  // say so instead of offering a monitor that cannot be captured.
  if (!monitors.empty() || desktop.screenWidth < 1 || desktop.screenHeight < 1) return;
  MonitorInfo m;
  m.width = desktop.screenWidth;
  m.height = desktop.screenHeight;
  m.primary = true;
  m.name = kFallbackMonitorName;
  monitors.push_back(std::move(m));
}

MonitorInfo resolveCaptureRegion(const CaptureRegion& region, const std::vector<MonitorInfo>& monitors,
                                 const DesktopMetrics& desktop) {
  if (region.mode == kRegionModeMonitor) {
    if (monitors.empty()) return MonitorInfo{};
    const std::int64_t count = static_cast<std::int64_t>(monitors.size());
    const std::int64_t index = (region.monitorIndex < 0 || region.monitorIndex >= count) ? 0 : region.monitorIndex;
    MonitorInfo m = monitors[static_cast<std::size_t>(index)];
    if (m.name.empty()) m.name = formatString("显示器 %lld", static_cast<long long>(index + 1));
    return m;
  }

  // 64-bit intermediates: stored regions may hold any int32, and x + w must
  // not wrap around.
  std::int64_t vx = desktop.virtualX, vy = desktop.virtualY;
  std::int64_t vw = desktop.virtualWidth, vh = desktop.virtualHeight;
  if (vw < 1 || vh < 1) {
    vx = 0;
    vy = 0;
    vw = desktop.screenWidth;
    vh = desktop.screenHeight;
  }
  std::int64_t x = region.x, y = region.y;
  std::int64_t w = std::min<std::int64_t>(vw, std::max<std::int64_t>(region.width, 16));
  if (x + w > vx + vw) x = vx + vw - w;
  std::int64_t h = std::min<std::int64_t>(vh, std::max<std::int64_t>(region.height, 16));
  if (y + h > vy + vh) y = vy + vh - h;
  x = std::max(x, vx);
  if (x + w > vx + vw) w = vx + vw - x;
  y = std::max(y, vy);
  if (y + h > vy + vh) h = vy + vh - y;

  MonitorInfo m;
  m.x = static_cast<std::int32_t>(x);
  m.y = static_cast<std::int32_t>(y);
  m.width = static_cast<std::int32_t>(std::max<std::int64_t>(w, 1));
  m.height = static_cast<std::int32_t>(std::max<std::int64_t>(h, 1));
  m.primary = false;
  m.name = kCustomRegionName;
  return m;
}

namespace {

// An installed compositor back end knows the layout; otherwise the platform.
void gatherFromBackendOrPlatform(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) {
  if (const std::shared_ptr<DesktopBackend> backend = installedDesktopBackend()) {
    monitors.clear();
    desktop = DesktopMetrics{};
    backend->gatherDesktop(monitors, desktop);
    return;
  }
  detail::gatherDesktop(monitors, desktop);
}

}  // namespace

DesktopMetrics readDesktopMetrics() {
  std::vector<MonitorInfo> monitors;
  DesktopMetrics desktop;
  gatherFromBackendOrPlatform(monitors, desktop);
  return desktop;
}

std::vector<MonitorInfo> enumerateMonitors() {
  std::vector<MonitorInfo> monitors;
  DesktopMetrics desktop;
  readDesktop(monitors, desktop);
  return monitors;
}

void readDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) {
  gatherFromBackendOrPlatform(monitors, desktop);
  applyMonitorFallback(monitors, desktop);
}

MonitorInfo resolveCaptureRegion(const CaptureRegion& region) {
  std::vector<MonitorInfo> monitors;
  DesktopMetrics desktop;
  gatherFromBackendOrPlatform(monitors, desktop);
  applyMonitorFallback(monitors, desktop);
  return resolveCaptureRegion(region, monitors, desktop);
}

}  // namespace vl
