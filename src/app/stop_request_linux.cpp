#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "app/stop_request.h"

namespace vl {

namespace {
std::atomic<bool> g_stop{false};
sigset_t g_signals;
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
  // Blocked here, inherited by the echo thread: only sigtimedwait sees them.
  pthread_sigmask(SIG_BLOCK, &g_signals, nullptr);
}

bool waitForStopRequest(int waitMs) {
  if (g_stop.load()) return true;
  timespec timeout{waitMs / 1000, static_cast<long>(waitMs % 1000) * 1000000L};
  if (sigtimedwait(&g_signals, nullptr, &timeout) > 0) g_stop = true;
  return g_stop.load();
}

void requestStop() { g_stop = true; }

void stopCompleted() {}

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace vl
