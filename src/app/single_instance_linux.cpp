// Linux guard: an advisory lock on a file in the user's runtime directory,
// held for the life of the process (the kernel drops it at exit, also after a
// crash, so a stale file never blocks a start).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/single_instance.h"
#include "log/helpers.h"

namespace vl {
namespace {

int g_lockFd = -1;

bool hasAgentClass(Display* display, Window window) {
  XClassHint hint = {nullptr, nullptr};
  if (!XGetClassHint(display, window, &hint)) return false;
  const bool match = (hint.res_class && std::strcmp(hint.res_class, kWindowClassName) == 0) ||
                     (hint.res_name && std::strcmp(hint.res_name, kWindowClassName) == 0);
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return match;
}

Window findAgentWindow(Display* display, Window parent, int depth) {
  if (hasAgentClass(display, parent)) return parent;
  if (depth > 3) return 0;
  Window root = 0, up = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, parent, &root, &up, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && !found; ++i) found = findAgentWindow(display, children[i], depth + 1);
  if (children) XFree(children);
  return found;
}

// Shows the running instance's window and asks the window manager to
// activate it; silently does nothing without a display or window.
void raiseRunningWindow() {
  if (!envExists("DISPLAY")) return;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return;
  const Window root = DefaultRootWindow(display);
  if (Window window = findAgentWindow(display, root, 0)) {
    XMapRaised(display, window);
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1;  // from an application
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
  }
  XCloseDisplay(display);
}

}  // namespace

std::string singleInstanceName(std::uint32_t key) {
  return formatString("VL_SingleInstance_%08X.lock", static_cast<unsigned>(key));
}

bool anotherInstanceRunning() {
  const std::string path = exePath();
  const std::uint32_t key = singleInstanceKey(toWide(path));
  std::string dir = envValue("XDG_RUNTIME_DIR");
  if (dir.empty() || !directoryExists(dir)) dir = "/tmp";
  const std::string lockPath = joinPath(dir, singleInstanceName(key));
  g_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (g_lockFd < 0) return false;
  if (::flock(g_lockFd, LOCK_EX | LOCK_NB) == 0) return false;
  if (errno != EWOULDBLOCK) return false;

  raiseRunningWindow();
  const std::string text = formatString(kAlreadyRunningFormat, kAppTitle);
  std::fprintf(stderr, "%s\n", text.c_str());
  return true;
}

}  // namespace vl
