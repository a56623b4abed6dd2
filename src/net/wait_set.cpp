#include "net/wait_set.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "net/socket_sys.h"

namespace vl::net {

void WaitSet::clear() {
  entries_.clear();
  dueMs_ = kNever;
}

void WaitSet::watch(SocketHandle handle, bool write) {
  if (handle == kInvalidSocket) return;
  entries_.push_back(Entry{handle, write});
}

void WaitSet::dueAt(std::uint64_t ms) { dueMs_ = std::min(dueMs_, ms); }

int WaitSet::timeoutMs(std::uint64_t nowMs, int capMs) const {
  if (dueMs_ == kNever) return capMs;
  if (dueMs_ <= nowMs) return 0;
  const std::uint64_t left = dueMs_ - nowMs;
  const std::uint64_t limit = capMs >= 0 ? static_cast<std::uint64_t>(capMs) : std::uint64_t{0x7FFFFFFF};
  return static_cast<int>(std::min(left, limit));
}

int WaitSet::wait(std::uint64_t nowMs, int capMs, SocketHandle extra) const {
  const int timeout = timeoutMs(nowMs, capMs);
  // A local, not a thread_local: mingw-w64 runs thread_local destructors
  // after the thread's storage is gone. The owner wakes for its own timers
  // and sockets only, never per frame.
  std::vector<sys::PollFd> fds;
  fds.reserve(entries_.size() + 1);
  for (const Entry& e : entries_) {
    fds.emplace_back();
    sys::setPollFd(fds.back(), e.handle, e.write ? static_cast<short>(sys::kPollRead | sys::kPollWrite) : sys::kPollRead);
  }
  if (extra != kInvalidSocket) {
    fds.emplace_back();
    sys::setPollFd(fds.back(), extra, sys::kPollRead);
  }
  if (fds.empty()) {
    // WSAPoll refuses an empty set; with nothing to watch this is a sleep.
    if (timeout < 0) return -1;
    if (timeout > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
    return 0;
  }
  return sys::pollSockets(fds.data(), fds.size(), timeout);
}

}  // namespace vl::net
