#include "echo/wayland_backends.h"

namespace vl {

WlrootsOffer probeWlroots() { return {}; }

std::shared_ptr<DesktopBackend> openWlrootsBackend(std::string& why) {
  why = "wlroots back end not built";
  return nullptr;
}

}  // namespace vl
