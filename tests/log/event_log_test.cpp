#include <gtest/gtest.h>

#include "log/event_log.h"
#include "log/helpers.h"
#include "support/test_support.h"

namespace vl {
namespace {

TEST(EventLog, KeepsTheNewest300) {
  test::LogCapture capture;
  EventLog log;
  for (int i = 1; i <= 301; ++i) log.logEvent(1, formatString("m%d", i));
  ASSERT_EQ(log.entries().size(), 300u);
  EXPECT_EQ(log.entries().front().text, "m2");
  EXPECT_EQ(log.entries().back().text, "m301");
  EXPECT_LE(log.entries().front().time, log.entries().back().time);
}

TEST(PostedEvents, TakenInOrderOnceAndBoundedWhenNobodyTakesThem) {
  takePostedEvents();  // whatever an earlier case left
  postEvent(2, "a");
  postEvent(1, "b");
  std::deque<EventLogEntry> taken = takePostedEvents();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].text, "a");
  EXPECT_EQ(taken[0].level, 2);
  EXPECT_EQ(taken[1].text, "b");
  EXPECT_TRUE(takePostedEvents().empty());
  for (std::size_t i = 0; i < kPostedEventsMax + 5; ++i) postEvent(1, formatString("m%zu", i));
  taken = takePostedEvents();
  ASSERT_EQ(taken.size(), kPostedEventsMax);
  EXPECT_EQ(taken.front().text, "m5");  // the oldest went
  EXPECT_EQ(taken.back().text, formatString("m%zu", kPostedEventsMax + 4));
}

TEST(EventLog, StoresLevelAsPassedAndForwardsAtMatchingLogLevel) {
  test::LogCapture capture;
  EventLog log;
  log.logEvent(5, "five");
  log.logEvent(2, "warn");
  log.logEvent(3, "error");
  log.logEvent(0, "zero");
  EXPECT_EQ(log.entries()[0].level, 5);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("[INFO ] five"), std::string::npos);
  EXPECT_NE(lines[1].find("[WARN ] warn"), std::string::npos);
  EXPECT_NE(lines[2].find("[ERROR] error"), std::string::npos);
  EXPECT_NE(lines[3].find("[INFO ] zero"), std::string::npos);
}

TEST(EventLog, PercentSignsReachTheLogUnchanged) {
  test::LogCapture capture;
  EventLog log;
  log.logEvent(1, "音量 100% %s %d");
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0], "音量 100% %s %d");
}

}  // namespace
}  // namespace vl
