// Monitor list and desktop metrics from user32.
#include <windows.h>

#include "echo/capture_platform.h"
#include "log/helpers.h"

namespace vl::detail {
namespace {

BOOL CALLBACK addMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
  auto* list = reinterpret_cast<std::vector<MonitorInfo>*>(param);
  MONITORINFOEXW info{};
  info.cbSize = sizeof(MONITORINFOEXW);
  static_assert(sizeof(MONITORINFOEXW) == 104);
  if (!GetMonitorInfoW(monitor, &info)) return TRUE;
  MonitorInfo m;
  m.x = info.rcMonitor.left;
  m.y = info.rcMonitor.top;
  m.width = info.rcMonitor.right - info.rcMonitor.left;
  m.height = info.rcMonitor.bottom - info.rcMonitor.top;
  m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
  m.name = toNarrow(std::wstring_view(info.szDevice, wcsnlen(info.szDevice, CCHDEVICENAME)));
  list->push_back(std::move(m));
  return TRUE;
}

}  // namespace

void gatherDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) {
  monitors.clear();
  EnumDisplayMonitors(nullptr, nullptr, addMonitor, reinterpret_cast<LPARAM>(&monitors));
  desktop.virtualX = GetSystemMetrics(SM_XVIRTUALSCREEN);
  desktop.virtualY = GetSystemMetrics(SM_YVIRTUALSCREEN);
  desktop.virtualWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  desktop.virtualHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  desktop.screenWidth = GetSystemMetrics(SM_CXSCREEN);
  desktop.screenHeight = GetSystemMetrics(SM_CYSCREEN);
}

}  // namespace vl::detail
