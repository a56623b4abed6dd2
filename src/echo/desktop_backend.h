// A desktop reached through a compositor's own interfaces rather than the
// platform's display calls (Linux: GNOME's mutter, wlroots compositors).
// Once one is installed, the monitor list, capture, input and notices of
// display changes all come from it; without one, the platform's own
// functions serve (X11, GDI/DXGI).
#pragma once

#include <memory>
#include <vector>

#include "echo/capture.h"

namespace vl {

class FrameSource;
class InputInjector;
class DisplayWatch;

class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  // Short name for the log and the panel's status block ("GNOME（mutter）").
  virtual const char* name() const = 0;
  // Monitors in layout (virtual-desktop) pixels and the desktop's bounding
  // box. Any thread.
  virtual void gatherDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) = 0;
  // Each made object is used on one thread (the echo thread for the frame
  // source and the injector, the UI thread for the watch) and may outlive
  // the caller's reference to the back end.
  virtual std::unique_ptr<FrameSource> createFrameSource() = 0;
  // Input the compositor accepts; a back end without virtual input returns
  // an injector that drops events (and says so once).
  virtual std::unique_ptr<InputInjector> createInjector() = 0;
  virtual std::unique_ptr<DisplayWatch> createDisplayWatch() = 0;
};

// Set once at start, before the agent starts (nullptr: the platform's own
// path). Reading is safe from any thread.
void installDesktopBackend(std::shared_ptr<DesktopBackend> backend);
std::shared_ptr<DesktopBackend> installedDesktopBackend();

}  // namespace vl
