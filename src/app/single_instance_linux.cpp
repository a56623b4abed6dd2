// Linux guard: an advisory lock on a file in the user's runtime directory,
// held for the life of the process (the kernel drops it at exit, also after a
// crash, so a stale file never blocks a start). The holder writes its process
// id into the file: "--quit" sends that process SIGTERM, which every run
// takes as a request for the orderly stop.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

std::string lockDirectory() {
  std::string dir = envValue("XDG_RUNTIME_DIR");
  if (dir.empty() || !directoryExists(dir)) dir = "/tmp";
  return dir;
}

std::uint32_t keyOfPath(const std::string& path) { return singleInstanceKey(toWide(path)); }

// The executable a process runs, "" when it is gone (or a zombie) or not
// ours to see. A binary replaced by a package upgrade reads "… (deleted)";
// it still counts as the program at that path.
std::string processExecutable(unsigned long pid) {
  char buffer[4096];
  const std::string link = formatString("/proc/%lu/exe", pid);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
    path.resize(path.size() - kDeleted.size());
  return path;
}

// Whether someone holds the lock at `path`; a missing or unreadable file
// (another user's) holds nothing for us.
bool lockHeld(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = false;
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) ::flock(fd, LOCK_UN);
  else held = errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

unsigned long lockHolderPid(const std::string& path) {
  std::string content;
  if (!readWholeFile(path, content)) return 0;
  return std::strtoul(content.c_str(), nullptr, 10);
}

class LinuxRunningAgents final : public RunningAgents {
 public:
  LinuxRunningAgents() : key_(keyOfPath(exePath())), self_(static_cast<unsigned long>(::getpid())) {
    // The agent took the lock in its own runtime directory; "--quit" may run
    // without that variable (sudo -u, a maintainer script): look where a
    // session would have put it, and in the fallback.
    std::vector<std::string> dirs = {lockDirectory(), formatString("/run/user/%u", static_cast<unsigned>(::getuid())),
                                     "/tmp"};
    for (const std::string& dir : dirs) {
      const std::string path = joinPath(dir, singleInstanceName(key_));
      if (directoryExists(dir) && std::find(lockPaths_.begin(), lockPaths_.end(), path) == lockPaths_.end())
        lockPaths_.push_back(path);
    }
  }

  bool running() override {
    for (const std::string& path : lockPaths_)
      if (lockHeld(path)) return true;
    for (const unsigned long pid : asked_)
      if (runsThisExecutable(pid)) return true;
    return false;
  }

  void askToQuit() override {
    bool found = false;
    for (const std::string& path : lockPaths_) {
      if (!lockHeld(path)) continue;
      const unsigned long pid = lockHolderPid(path);
      if (pid != 0 && runsThisExecutable(pid)) {
        ask(pid);
        found = true;
      }
    }
    // A holder that wrote no id (an older version): this user's processes
    // of this executable.
    if (!found) askEveryProcessOfThisExecutable();
  }

  std::vector<unsigned long> asked() const override { return asked_; }

 private:
  bool runsThisExecutable(unsigned long pid) const {
    if (pid == self_) return false;
    const std::string exe = processExecutable(pid);
    return !exe.empty() && keyOfPath(exe) == key_;
  }

  void ask(unsigned long pid) {
    if (std::find(asked_.begin(), asked_.end(), pid) != asked_.end()) return;
    if (::kill(static_cast<pid_t>(pid), SIGTERM) == 0) asked_.push_back(pid);
  }

  void askEveryProcessOfThisExecutable() {
    DIR* proc = ::opendir("/proc");
    if (!proc) return;
    while (const dirent* entry = ::readdir(proc)) {
      char* end = nullptr;
      const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
      if (pid == 0 || *end != '\0') continue;
      struct stat info {};
      if (::stat(formatString("/proc/%lu", pid).c_str(), &info) != 0 || info.st_uid != ::getuid()) continue;
      if (runsThisExecutable(pid)) ask(pid);
    }
    ::closedir(proc);
  }

  std::uint32_t key_;
  unsigned long self_;
  std::vector<std::string> lockPaths_;
  std::vector<unsigned long> asked_;
};

}  // namespace

std::unique_ptr<RunningAgents> runningAgentsOfThisExecutable() { return std::make_unique<LinuxRunningAgents>(); }

void writeErrorLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

std::string singleInstanceName(std::uint32_t key) {
  return formatString("VL_SingleInstance_%08X.lock", static_cast<unsigned>(key));
}

bool anotherInstanceRunning() {
  const std::string lockPath = joinPath(lockDirectory(), singleInstanceName(keyOfPath(exePath())));
  g_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (g_lockFd < 0) return false;
  if (::flock(g_lockFd, LOCK_EX | LOCK_NB) == 0) {
    const std::string pid = formatString("%lu\n", static_cast<unsigned long>(::getpid()));
    if (::ftruncate(g_lockFd, 0) != 0 || ::pwrite(g_lockFd, pid.data(), pid.size(), 0) < 0) {
      // Without the id "--quit" still finds this process by its executable.
    }
    return false;
  }
  if (errno != EWOULDBLOCK) return false;

  raiseRunningWindow();
  const std::string text = formatString(kAlreadyRunningFormat, kAppTitle);
  std::fprintf(stderr, "%s\n", text.c_str());
  return true;
}

}  // namespace vl
