#include <windows.h>

#include "agent/agent.h"
#include "agent/desktop_session.h"
#include "log/helpers.h"

namespace vl {

std::string computerName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameW(name, &size)) return {};
  return toNarrow(std::wstring_view(name, size));
}

// Fails only on systems older than Windows 10 2004 (or a rejected handle);
// the user chose the exclusion and should know it is not in force.
bool exclusionFailureWarnsAtStart() { return true; }

// The Windows desktop is the capturer's own: nothing to tell apart.
DesktopSession currentDesktopSession() { return DesktopSession::X11; }

DesktopStartup startDesktopBackend() { return {}; }

}  // namespace vl
