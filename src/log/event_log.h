// The last 300 user-facing messages, shown by the control panel; every entry
// is forwarded to the log. UI thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace vl {

inline constexpr std::size_t kEventLogCapacity = 300;

struct EventLogEntry {
  std::uint64_t time = 0;  // monotonicMs when added
  int level = 0;           // 1 information, 2 warning, 3 error (as passed)
  std::string text;
};

class EventLog {
 public:
  void logEvent(int level, const std::string& text);
  const std::deque<EventLogEntry>& entries() const { return entries_; }

 private:
  std::deque<EventLogEntry> entries_;
};

// Messages for the panel from other threads (the echo thread): posted here,
// moved into the agent's EventLog by its tick. At most kPostedEventsMax wait;
// older ones beyond that are dropped (nobody is taking them).
inline constexpr std::size_t kPostedEventsMax = 64;
void postEvent(int level, const std::string& text);
std::deque<EventLogEntry> takePostedEvents();
// Called by postEvent after queuing, so the thread that takes them wakes
// (empty: none). The agent sets it while it runs.
void setPostedEventHook(std::function<void()> hook);

// How services that run before (or without) the agent report user-facing
// events: the agent hands in its event log, tests a recorder.
using EventSink = std::function<void(int level, const std::string& text)>;

}  // namespace vl
