// Internal: Xlib connection helpers shared by the Linux capture and input files.
#pragma once

#include <X11/Xlib.h>

#include <functional>

namespace vl::detail {

// XOpenDisplay(name; nullptr = $DISPLAY) after making Xlib thread-aware (the monitor list may
// be read on the UI thread while the capturer works on the echo thread).
// A lost server marks the connection dead instead of ending the process
// (Xlib's default); every later call on it fails quickly.
Display* openX11Display(const char* name = nullptr);
// Whether the server of this connection went away.
bool x11DisplayLost(Display* display);
// Closes a connection from openX11Display.
void closeX11Display(Display* display);
// Test seam: runs right after XCloseDisplay returns inside closeX11Display,
// standing for another thread that opens a connection at that moment (and
// may get the address just freed). Empty: nothing runs.
void setX11ClosedHookForTest(std::function<void()> hook);

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
