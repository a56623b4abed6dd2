// Keeping the timer resolution while hidden: asked once per process; a
// refusal is one log line however often start-up code asks.
#include <gtest/gtest.h>

#include "echo/fine_timer.h"
#include "support/test_support.h"

namespace vl {
namespace {

TEST(FineTimer, KeepingItWhileHiddenIsDecidedOnceWithAtMostOneLine) {
  test::LogCapture log;
  const bool first = keepFineTimerWhenHidden();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(keepFineTimerWhenHidden(), first);
  EXPECT_LE(log.count("计时器精度"), 1);
  if (first) {
    EXPECT_EQ(log.count("计时器精度"), 0);
  }
  holdFineTimer(true);  // still pairs up afterwards
  holdFineTimer(false);
}

}  // namespace
}  // namespace vl
