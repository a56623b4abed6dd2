// Access control at the agent's ports: the allow-list applied when a stream
// or system-control connection is accepted, and the one-line summary of what
// is in force that the panel shows.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "net/allow_list.h"

namespace vl {

class AccessGate {
 public:
  static constexpr std::uint64_t kWarnIntervalMs = 60000;

  // Before the ports open; an inactive list admits everyone.
  void configure(net::AllowList list) { list_ = std::move(list); }
  const net::AllowList& list() const { return list_; }
  // The Pad's address, for "pad" (0: none known). Any thread.
  void setPadAddress(std::uint32_t address) { pad_.store(address); }

  // Whether `peerAddress` ("a.b.c.d") may connect to the port called
  // `portName`. Called at accept from the echo thread and the UI thread; a
  // refused address is logged at most once a minute.
  bool admit(const std::string& peerAddress, const char* portName, std::uint64_t nowMs);

 private:
  net::AllowList list_;
  std::atomic<std::uint32_t> pad_{0};
  std::mutex mutex_;  // lastWarnMs_
  std::map<std::uint32_t, std::uint64_t> lastWarnMs_;
};

// What the panel's "访问控制" row says.
std::string describeAccess(const net::AllowList& list, bool viewOnly, bool powerAllowed);

}  // namespace vl
