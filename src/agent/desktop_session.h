// Which kind of desktop session the agent runs in, told from the facts the
// session's environment gives. The Linux build captures and injects through
// X11: in a Wayland session that reaches only the programs XWayland runs,
// and the rest of the screen is black to the viewer. A later choice of a
// Wayland back end starts from the same answer.
#pragma once

#include <string_view>

namespace vl {

// What the session says about itself (environment variables on Linux).
struct SessionFacts {
  std::string_view sessionType;     // XDG_SESSION_TYPE: "x11", "wayland", "tty", …
  std::string_view waylandDisplay;  // WAYLAND_DISPLAY
  std::string_view x11Display;      // DISPLAY
};

enum class DesktopSession {
  X11,          // an X server of its own: capture and input reach every window
  XWayland,     // Wayland with XWayland: only X11 programs' windows
  WaylandOnly,  // Wayland without an X display: nothing to capture
  NoDisplay,    // no display at all (a console, a service)
};

// Wayland when XDG_SESSION_TYPE says so (any case) or WAYLAND_DISPLAY is set.
DesktopSession classifySession(const SessionFacts& facts);

// The ERROR line for the panel's log and the text of the status block for a
// session the X11 back end serves only in part; null when it serves it whole
// (or there is no display: the monitor check reports that).
const char* sessionLogLine(DesktopSession session);
const char* sessionStatusText(DesktopSession session);

// This process's session (Linux); nullptr texts elsewhere.
DesktopSession currentDesktopSession();

}  // namespace vl
