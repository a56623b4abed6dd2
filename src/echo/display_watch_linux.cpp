// Display changes on X11: RandR tells of a new screen size, rotation, CRTC or
// output; a RandR 1.5 monitor set or deleted shows as a configure event of
// the root window. The events arrive on a connection of the watch's own, read
// without blocking on every call.
// First: Xlib's macros (None, Success) would break the headers it pulls in.
#include "echo/echo_service.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdint>

#include "echo/display_watch.h"
#include "echo/desktop_backend.h"
#include "log/helpers.h"
#include "log/x11_display_linux.h"

namespace vl {

namespace {

class RandrDisplayWatch final : public DisplayWatch {
 public:
  RandrDisplayWatch() { tryOpen(monotonicMs()); }
  ~RandrDisplayWatch() override { detail::closeX11Display(display_); }

  // The events come on this connection; without one, the retry is the timer.
  int waitHandle() const override { return display_ == nullptr ? -1 : ConnectionNumber(display_); }
  std::uint64_t nextCheckMs(std::uint64_t) const override {
    return display_ == nullptr ? retryAtMs_ : ~std::uint64_t{0};
  }

  bool changed() override {
    const std::uint64_t now = monotonicMs();
    if (display_ == nullptr) return now >= retryAtMs_ && tryOpen(now);
    if (detail::x11ServerGone(display_)) return lose(now);
    bool any = false;
    while (!detail::x11DisplayLost(display_) && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (randr_ && event.type == randrEvent_ + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&event);
        any = true;
      } else if (randr_ && event.type == randrEvent_ + RRNotify) {
        any = true;
      } else if (event.type == ConfigureNotify && event.xconfigure.window == root_) {
        any = true;
      }
    }
    if (detail::x11DisplayLost(display_)) return lose(now);
    return any;
  }

 private:
  // true when a server answered after none did (or after one was lost).
  bool tryOpen(std::uint64_t now) {
    display_ = detail::openX11Display();
    if (display_ == nullptr) {
      retryDelayMs_ = retryDelayMs_ == 0 ? EchoService::kCaptureRetryFirstMs
                                         : std::min(retryDelayMs_ * 2, EchoService::kCaptureRetryMaxMs);
      retryAtMs_ = now + retryDelayMs_;
      missed_ = true;
      return false;
    }
    retryDelayMs_ = 0;
    root_ = DefaultRootWindow(display_);
    int errorBase = 0;
    randr_ = XRRQueryExtension(display_, &randrEvent_, &errorBase) != 0;
    detail::withX11Errors([&] {
      if (randr_)
        XRRSelectInput(display_, root_, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
      XSelectInput(display_, root_, StructureNotifyMask);
      XSync(display_, False);
    });
    if (detail::x11DisplayLost(display_)) return lose(now);
    const bool back = missed_;
    missed_ = false;
    return back;
  }

  bool lose(std::uint64_t now) {
    detail::closeX11Display(display_);  // abandoned: the server is gone
    display_ = nullptr;
    missed_ = true;
    retryDelayMs_ = EchoService::kCaptureRetryFirstMs;
    retryAtMs_ = now + retryDelayMs_;
    return true;
  }

  Display* display_ = nullptr;
  Window root_ = 0;
  bool randr_ = false;
  int randrEvent_ = 0;
  bool missed_ = false;
  std::uint64_t retryAtMs_ = 0;
  std::uint64_t retryDelayMs_ = 0;
};

}  // namespace

std::unique_ptr<DisplayWatch> createDisplayWatch() {
  if (const std::shared_ptr<DesktopBackend> backend = installedDesktopBackend()) return backend->createDisplayWatch();
  return std::make_unique<RandrDisplayWatch>();
}

void noteDisplayChange() {}

bool noteDisplayMessage(unsigned, std::uintptr_t) { return false; }

}  // namespace vl
