#include "log/event_log.h"

#include "log/helpers.h"
#include "log/log.h"

namespace vl {

void EventLog::logEvent(int level, const std::string& text) {
  entries_.push_back(EventLogEntry{monotonicMs(), level, text});
  while (entries_.size() > kEventLogCapacity) entries_.pop_front();
  const LogLevel forwarded = level == 2 ? LogLevel::Warn : level == 3 ? LogLevel::Error : LogLevel::Info;
  logWrite(forwarded, "%s", text.c_str());
}

}  // namespace vl
