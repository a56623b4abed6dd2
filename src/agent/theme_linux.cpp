// The UI scale under X11: Xft.dpi as desktops publish it, else the size the
// server reports for the screen.
#include <X11/Xlib.h>

#include "agent/theme.h"
#include "log/x11_display_linux.h"

namespace vl {

float systemDpiScale() {
  // The capture code's opener: Xlib must be made thread-aware before its
  // first connection, and this one comes before the capturer's.
  Display* display = detail::openX11Display();
  if (!display) return 1.0f;
  float dpi = dpiFromXResources(XResourceManagerString(display));
  if (dpi < 72.0f) {
    const int screen = DefaultScreen(display);
    dpi = dpiFromPhysicalSize(DisplayWidth(display, screen), DisplayWidthMM(display, screen));
  }
  detail::closeX11Display(display);
  return scaleFromDpi(dpi);
}

}  // namespace vl
