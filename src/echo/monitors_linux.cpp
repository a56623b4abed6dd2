// Monitor list from XRandR; the root window is the virtual desktop.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "echo/capture_platform.h"
#include "log/x11_display_linux.h"

namespace vl::detail {

void gatherDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) {
  monitors.clear();
  desktop = DesktopMetrics{};
  Display* display = openX11Display();
  if (!display) return;
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  desktop.virtualWidth = DisplayWidth(display, screen);
  desktop.virtualHeight = DisplayHeight(display, screen);
  desktop.screenWidth = desktop.virtualWidth;
  desktop.screenHeight = desktop.virtualHeight;

  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(display, root, True, &count);
    for (int i = 0; list && i < count; ++i) {
      MonitorInfo m;
      m.x = list[i].x;
      m.y = list[i].y;
      m.width = list[i].width;
      m.height = list[i].height;
      m.primary = list[i].primary != 0;
      if (list[i].name != None) {
        if (char* name = XGetAtomName(display, list[i].name)) {
          m.name = name;
          XFree(name);
        }
      }
      monitors.push_back(std::move(m));
    }
    if (list) XRRFreeMonitors(list);
  }
  closeX11Display(display);
}

}  // namespace vl::detail
