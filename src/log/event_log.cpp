#include "log/event_log.h"

#include <mutex>

#include "log/helpers.h"
#include "log/log.h"

namespace vl {

void EventLog::logEvent(int level, const std::string& text) {
  entries_.push_back(EventLogEntry{monotonicMs(), level, text});
  while (entries_.size() > kEventLogCapacity) entries_.pop_front();
  const LogLevel forwarded = level == 2 ? LogLevel::Warn : level == 3 ? LogLevel::Error : LogLevel::Info;
  logWrite(forwarded, "%s", text.c_str());
}

namespace {

std::mutex& postedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::deque<EventLogEntry>& posted() {
  static std::deque<EventLogEntry> entries;
  return entries;
}

}  // namespace

std::function<void()>& postedHook() {
  static std::function<void()> hook;
  return hook;
}

void setPostedEventHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(postedMutex());
  postedHook() = std::move(hook);
}

void postEvent(int level, const std::string& text) {
  std::lock_guard<std::mutex> lock(postedMutex());
  posted().push_back(EventLogEntry{monotonicMs(), level, text});
  while (posted().size() > kPostedEventsMax) posted().pop_front();
  if (postedHook()) postedHook()();
}

std::deque<EventLogEntry> takePostedEvents() {
  std::lock_guard<std::mutex> lock(postedMutex());
  std::deque<EventLogEntry> taken;
  taken.swap(posted());
  return taken;
}

}  // namespace vl
