// One wait for a thread with several sources of work: every component adds
// the sockets that would bring it news and the time its next timer falls
// due, and the owner sleeps until the first of them. Nothing wakes on a
// fixed period.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "net/socket.h"

namespace vl::net {

class WaitSet {
 public:
  static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

  struct Entry {
    SocketHandle handle = kInvalidSocket;
    bool write = false;  // also ready when it can take more bytes
  };

  // Forgets the handles and the due time (before each wait).
  void clear();
  // Ready to read (or closed, or failed) ends the wait; kInvalidSocket is
  // ignored.
  void watch(SocketHandle handle, bool write = false);
  // A timer falls due at `ms` (monotonicMs); the earliest counts.
  void dueAt(std::uint64_t ms);

  std::uint64_t dueMs() const { return dueMs_; }
  const std::vector<Entry>& entries() const { return entries_; }
  // Milliseconds to wait from `nowMs`: 0 when something is due, -1 for no
  // timer at all; never above capMs when capMs >= 0.
  int timeoutMs(std::uint64_t nowMs, int capMs = -1) const;

  // Sleeps until a watched socket is ready or the due time (at most capMs
  // when capMs >= 0). The handle in `extra` (kInvalidSocket: none) is
  // watched for reading too. The number of ready handles, 0 after the time,
  // -1 on failure.
  int wait(std::uint64_t nowMs, int capMs = -1, SocketHandle extra = kInvalidSocket) const;

 private:
  std::vector<Entry> entries_;
  std::uint64_t dueMs_ = kNever;
};

}  // namespace vl::net
