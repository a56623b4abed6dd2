// Xlib connections for every Linux subsystem (capture, input, display-change
// watch, tray, theme): thread-aware, surviving a lost server, with a scoped
// trap for protocol errors.
//
// A connection whose server went away is abandoned, never closed through
// Xlib: after an I/O error XCloseDisplay (or anything else that takes the
// connection's lock) can wait for ever on a condition no thread will signal.
// Its socket is closed and its memory left behind.
#pragma once

#include <X11/Xlib.h>

#include <functional>

namespace vl::detail {

// XOpenDisplay(name; nullptr = $DISPLAY) after making Xlib thread-aware (the
// monitor list may be read on the UI thread while the capturer works on the
// echo thread). A lost server marks the connection dead instead of ending the
// process (Xlib's default); every later call on it must be skipped.
Display* openX11Display(const char* name = nullptr);
// Whether the server of this connection is known to have gone away.
bool x11DisplayLost(Display* display);
// x11DisplayLost, or the connection's socket already reports the server's
// end (hang-up or end of stream) although no call has met it yet. Does not
// block and makes no X call; marks the connection lost when it finds so.
bool x11ServerGone(Display* display);
// Closes a connection from openX11Display: XCloseDisplay while the server is
// there, otherwise the connection is abandoned (socket closed, no X call).
void closeX11Display(Display* display);
// Test seam: runs right after XCloseDisplay returns inside closeX11Display,
// standing for another thread that opens a connection at that moment (and
// may get the address just freed). Empty: nothing runs.
void setX11ClosedHookForTest(std::function<void()> hook);
// How many connections were abandoned so far (tests).
int abandonedX11Displays();

// Runs fn with a non-fatal X error handler installed (Xlib's default one
// exits the process); returns whether any X error arrived meanwhile. fn must
// end in a round trip so its errors are delivered before the handler goes.
template <typename Fn>
bool withX11Errors(Fn&& fn);

// Implementation details of withX11Errors.
void beginTrapX11Errors();
bool endTrapX11Errors();

template <typename Fn>
bool withX11Errors(Fn&& fn) {
  beginTrapX11Errors();
  fn();
  return endTrapX11Errors();
}

}  // namespace vl::detail
