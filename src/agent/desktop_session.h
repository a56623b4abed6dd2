// Which kind of desktop session the agent runs in, told from the facts the
// session's environment gives, and which desktop back end serves it. X11
// calls reach only the programs XWayland runs in a Wayland session (the rest
// of the screen is black to the viewer); there the compositor's own
// interfaces serve instead where it offers them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "echo/wayland_backends.h"

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

enum class DesktopBackendKind {
  X11,              // the X server's own calls: an X11 session
  Gnome,            // mutter's RemoteDesktop and ScreenCast over D-Bus
  Wlroots,          // screencopy with a virtual pointer, keyboard or both
  WlrootsViewOnly,  // screencopy with neither: watched, not operated
  XWayland,         // Wayland with nothing of its own to offer: X11 calls, X11 windows only
  None,             // neither a back end nor an X display
};

// What the choice is made from: the session's environment and what the
// session bus and the compositor answered.
struct BackendFacts {
  SessionFacts session;
  // XDG_CURRENT_DESKTOP (":"-separated): only breaks a tie between two back
  // ends that both answered; never picks one that did not.
  std::string_view currentDesktop;
  bool gnomeRemoteDesktop = false;  // org.gnome.Mutter.RemoteDesktop owned on the session bus
  WlrootsOffer wlroots;
};

// Whether the compositors are worth asking at all: not in an X11 session.
bool shouldProbeCompositors(const SessionFacts& facts);

DesktopBackendKind chooseDesktopBackend(const BackendFacts& facts);

// What is left when the chosen back end fails to open: XWayland with an X
// display, else nothing.
DesktopBackendKind fallbackAfterFailedOpen(const SessionFacts& facts);

// The outcome of the choice at start, told by the agent when it starts.
struct DesktopStartup {
  bool chosen = false;  // false: the platform's own path, nothing to tell (Windows)
  DesktopBackendKind kind = DesktopBackendKind::X11;
  std::string backendName;  // the installed back end's name
  bool openFailed = false;  // the back end chosen first did not open…
  DesktopBackendKind failedKind = DesktopBackendKind::X11;
  std::string why;          // …for this reason
};

struct StartupLine {
  int level;  // 1 INFO, 2 WARN, 3 ERROR
  std::string text;
};
// The lines the agent logs at start for the outcome.
std::vector<StartupLine> desktopStartupLines(const DesktopStartup& startup);
// The status block's "桌面会话" text when a Wayland back end serves the
// session ("" when none does: the session's own note applies).
std::string desktopBackendStatus(const DesktopStartup& startup);

// Probes the session, opens the chosen back end and installs it (Linux);
// `chosen` false elsewhere. Before the agent starts.
DesktopStartup startDesktopBackend();

}  // namespace vl
