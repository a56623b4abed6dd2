#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "app/stop_request.h"

namespace vl {

namespace {
std::atomic<bool> g_stop{false};
sigset_t g_signals;
int g_signalFd = -1;  // the blocked signals, readable for poll

void takeSignals() {
  signalfd_siginfo info;
  while (::read(g_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) g_stop = true;
}
}  // namespace

void installStopRequestHandlers(std::function<void()>) {
  sigemptyset(&g_signals);
  sigaddset(&g_signals, SIGINT);
  sigaddset(&g_signals, SIGTERM);
  // A closed terminal or the end of the desktop session: the same orderly
  // stop, not the default action that loses the last settings change. Under
  // nohup it stays ignored (a blocked signal would be kept for us otherwise).
  struct sigaction hangup {};
  if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) sigaddset(&g_signals, SIGHUP);
  // Blocked here, inherited by the echo thread: only sigtimedwait and the
  // signal descriptor see them.
  pthread_sigmask(SIG_BLOCK, &g_signals, nullptr);
  if (g_signalFd < 0) g_signalFd = signalfd(-1, &g_signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool waitForStopRequest(int waitMs) {
  if (g_stop.load()) return true;
  timespec timeout{waitMs / 1000, static_cast<long>(waitMs % 1000) * 1000000L};
  if (sigtimedwait(&g_signals, nullptr, &timeout) > 0) g_stop = true;
  return g_stop.load();
}

bool waitForStopRequest(const net::WaitSet& waits, std::uint64_t nowMs) {
  if (g_stop.load()) return true;
  if (g_signalFd < 0) {
    // No descriptor for the signals: they are looked at at least every tick.
    waits.wait(nowMs, 20);
    return waitForStopRequest(0);
  }
  waits.wait(nowMs, -1, static_cast<net::SocketHandle>(g_signalFd));
  takeSignals();
  return g_stop.load();
}

void requestStop() { g_stop = true; }

void stopCompleted() {}

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace vl
