// The desktop changing under the agent: monitors plugged or unplugged,
// resolutions, rotations, the display server going or coming back.
#include "agent/agent.h"
#include "log/helpers.h"

namespace vl {

namespace {

constexpr int kInfo = 1;
constexpr int kWarn = 2;

bool sameMonitors(const std::vector<MonitorInfo>& a, const std::vector<MonitorInfo>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const MonitorInfo& p = a[i];
    const MonitorInfo& q = b[i];
    if (p.x != q.x || p.y != q.y || p.width != q.width || p.height != q.height || p.primary != q.primary ||
        p.name != q.name)
      return false;
  }
  return true;
}

bool sameDesktop(const DesktopMetrics& a, const DesktopMetrics& b) {
  return a.virtualX == b.virtualX && a.virtualY == b.virtualY && a.virtualWidth == b.virtualWidth &&
         a.virtualHeight == b.virtualHeight && a.screenWidth == b.screenWidth && a.screenHeight == b.screenHeight;
}

}  // namespace

void Agent::readDisplays(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) const {
  if (env_.desktop) {
    env_.desktop(monitors, desktop);
  } else {
    readDesktop(monitors, desktop);
  }
}

bool Agent::refreshDisplays() {
  std::vector<MonitorInfo> monitors;
  DesktopMetrics desktop;
  readDisplays(monitors, desktop);
  if (sameMonitors(monitors, monitors_) && sameDesktop(desktop, desktop_)) return false;
  const bool wasEmpty = monitors_.empty();
  monitors_ = std::move(monitors);
  desktop_ = desktop;
  // The region in settings stays as chosen: a monitor that comes back is
  // streamed again, a custom rectangle is clamped only in what is captured.
  if (echo_) echo_->displayChanged();
  if (monitors_.empty()) {
    if (!wasEmpty) logEvent(kWarn, "显示器已不可用（显示服务断开？），推流暂停，恢复后自动继续");
    return true;
  }
  const MonitorInfo rect = resolvedRegion();
  const CaptureRegion& r = settings.region;
  const auto count = static_cast<long long>(monitors_.size());
  std::string target;
  if (r.mode == kRegionModeCustom) {
    target = formatString("自定义 %dx%d @ (%d,%d)", rect.width, rect.height, rect.x, rect.y);
  } else {
    const bool present = r.monitorIndex >= 0 && r.monitorIndex < count;
    target = formatString("显示器 %d（%dx%d @ %d,%d）", present ? r.monitorIndex + 1 : 1, rect.width, rect.height,
                          rect.x, rect.y);
    if (!present) target += formatString("，所选显示器 %d 不在，暂用显示器 1", r.monitorIndex + 1);
  }
  logEvent(kInfo, formatString("显示器配置已变化：%lld 个显示器，推流区域 → %s", count, target.c_str()));
  return true;
}

}  // namespace vl
