// Xlib connections shared by every Linux subsystem.
#include "log/x11_display_linux.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace vl::detail {
namespace {

std::mutex gTrapMutex;
std::atomic<bool> gTrapHit{false};
XErrorHandler gPreviousHandler = nullptr;

int trapHandler(Display*, XErrorEvent*) {
  gTrapHit.store(true);
  return 0;
}

// Connections opened here, those whose server went away, and those inside
// XCloseDisplay (which can still meet a lost server). Xlib's default I/O
// error handler ends the process; ours does that only for connections that
// are none of these.
// Never destroyed: static objects that close X connections at exit (the
// agent, the tray) run after this file's statics would be gone.
std::mutex gDisplaysMutex;
std::vector<Display*>& gOwnDisplays = *new std::vector<Display*>;
std::vector<Display*>& gLostDisplays = *new std::vector<Display*>;
std::vector<Display*>& gClosingDisplays = *new std::vector<Display*>;
std::vector<Display*>& gAbandonedDisplays = *new std::vector<Display*>;
XIOErrorHandler gPreviousIoHandler = nullptr;

bool listed(const std::vector<Display*>& list, Display* display) {
  return std::find(list.begin(), list.end(), display) != list.end();
}

void eraseOne(std::vector<Display*>& list, Display* display) {
  const auto it = std::find(list.begin(), list.end(), display);
  if (it != list.end()) list.erase(it);
}

int ioErrorHandler(Display* display) {
  {
    std::lock_guard<std::mutex> lock(gDisplaysMutex);
    if (listed(gOwnDisplays, display)) {
      if (!listed(gLostDisplays, display)) gLostDisplays.push_back(display);
      return 0;  // Xlib then calls the exit handler below, which returns
    }
    if (listed(gClosingDisplays, display) || listed(gAbandonedDisplays, display)) return 0;
  }
  return gPreviousIoHandler ? gPreviousIoHandler(display) : 0;
}

void ioErrorExit(Display*, void*) {}

std::function<void()> gClosedHook;

}  // namespace

Display* openX11Display(const char* name) {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    gPreviousIoHandler = XSetIOErrorHandler(ioErrorHandler);
    // Writing to a server that went away must fail the call, not end the
    // process; the network code sends with MSG_NOSIGNAL anyway.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
  });
  Display* display = XOpenDisplay(name);
  if (!display) return nullptr;
  XSetIOErrorExitHandler(display, ioErrorExit, nullptr);
  std::lock_guard<std::mutex> lock(gDisplaysMutex);
  gOwnDisplays.push_back(display);
  return display;
}

bool x11DisplayLost(Display* display) {
  std::lock_guard<std::mutex> lock(gDisplaysMutex);
  return listed(gLostDisplays, display);
}

bool x11ServerGone(Display* display) {
  if (display == nullptr) return true;
  if (x11DisplayLost(display)) return true;
  // The server's end shows on the socket before any call meets it: a
  // hang-up, an error, or a readable socket whose next byte is the end of
  // the stream. Bytes waiting (events, replies) are left for Xlib.
  pollfd fd{ConnectionNumber(display), POLLIN, 0};
  bool gone = false;
  if (::poll(&fd, 1, 0) > 0) {
    if (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      gone = true;
    } else if (fd.revents & POLLIN) {
      char byte = 0;
      gone = ::recv(fd.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
  }
  if (gone) {
    std::lock_guard<std::mutex> lock(gDisplaysMutex);
    if (listed(gOwnDisplays, display) && !listed(gLostDisplays, display)) gLostDisplays.push_back(display);
  }
  return gone;
}

void closeX11Display(Display* display) {
  if (!display) return;
  if (x11ServerGone(display)) {
    // Abandoned: the socket goes, the structure stays (freeing it would
    // need the connection's lock).
    const int fd = ConnectionNumber(display);
    {
      std::lock_guard<std::mutex> lock(gDisplaysMutex);
      eraseOne(gOwnDisplays, display);
      eraseOne(gLostDisplays, display);
      gAbandonedDisplays.push_back(display);
    }
    ::close(fd);
    return;
  }
  {
    // Forgotten before the close: once XCloseDisplay frees the structure,
    // another thread's new connection may get the same address, and that
    // one must stay listed (and not inherit a "lost" mark).
    std::lock_guard<std::mutex> lock(gDisplaysMutex);
    eraseOne(gOwnDisplays, display);
    eraseOne(gLostDisplays, display);
    gClosingDisplays.push_back(display);
  }
  XCloseDisplay(display);
  if (gClosedHook) gClosedHook();
  std::lock_guard<std::mutex> lock(gDisplaysMutex);
  eraseOne(gClosingDisplays, display);
}

int abandonedX11Displays() {
  std::lock_guard<std::mutex> lock(gDisplaysMutex);
  return static_cast<int>(gAbandonedDisplays.size());
}

void setX11ClosedHookForTest(std::function<void()> hook) { gClosedHook = std::move(hook); }

// The handler is process-wide, so concurrent trappers are serialised.
void beginTrapX11Errors() {
  gTrapMutex.lock();
  gTrapHit.store(false);
  gPreviousHandler = XSetErrorHandler(trapHandler);
}

bool endTrapX11Errors() {
  XSetErrorHandler(gPreviousHandler);
  gPreviousHandler = nullptr;
  const bool hit = gTrapHit.exchange(false);
  gTrapMutex.unlock();
  return hit;
}

}  // namespace vl::detail
