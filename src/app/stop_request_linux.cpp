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
