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

DesktopStartup startDesktopBackend() {
  const std::string type = envValue("XDG_SESSION_TYPE");
  const std::string wayland = envValue("WAYLAND_DISPLAY");
  const std::string display = envValue("DISPLAY");
  const std::string desktop = envValue("XDG_CURRENT_DESKTOP");
  BackendFacts facts;
  facts.session = {type, wayland, display};
  facts.currentDesktop = desktop;
  if (shouldProbeCompositors(facts.session)) {
    facts.gnomeRemoteDesktop = gnomeRemoteDesktopOnBus();
    facts.wlroots = probeWlroots();
  }
  DesktopStartup startup;
  startup.chosen = true;
  startup.kind = chooseDesktopBackend(facts);
  std::shared_ptr<DesktopBackend> backend;
  std::string why;
  if (startup.kind == DesktopBackendKind::Gnome) {
    backend = openGnomeBackend(why);
  } else if (startup.kind == DesktopBackendKind::Wlroots || startup.kind == DesktopBackendKind::WlrootsViewOnly) {
    backend = openWlrootsBackend(why);
  } else {
    return startup;
  }
  if (!backend) {
    startup.openFailed = true;
    startup.failedKind = startup.kind;
    startup.why = why.empty() ? "原因不明" : why;
    startup.kind = fallbackAfterFailedOpen(facts.session);
    return startup;
  }
  startup.backendName = backend->name();
  installDesktopBackend(std::move(backend));
  return startup;
}

}  // namespace vl
