#include <unistd.h>

#include "agent/agent.h"
#include "agent/desktop_session.h"
#include "log/helpers.h"

namespace vl {

std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// X11 has no way to hide one window from capture: a warning at every start
// would only be noise.
bool exclusionFailureWarnsAtStart() { return false; }

DesktopSession currentDesktopSession() {
  const std::string type = envValue("XDG_SESSION_TYPE");
  const std::string wayland = envValue("WAYLAND_DISPLAY");
  const std::string display = envValue("DISPLAY");
  return classifySession({type, wayland, display});
}

}  // namespace vl
