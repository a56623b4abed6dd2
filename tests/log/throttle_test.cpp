// The two throttles that keep a repeating client from flooding agent.log.
#include <gtest/gtest.h>

#include <cstdint>

#include "log/throttle.h"

namespace vl {
namespace {

TEST(LineThrottle, OneLinePerIntervalAndTheCountOfTheRest) {
  LineThrottle throttle(1000);
  std::uint64_t held = 99;
  EXPECT_TRUE(throttle.allow(5000, &held));
  EXPECT_EQ(held, 0u);
  for (std::uint64_t t = 5001; t < 6000; t += 100) EXPECT_FALSE(throttle.allow(t));
  EXPECT_EQ(throttle.held(), 10u);
  EXPECT_TRUE(throttle.allow(6000, &held));
  EXPECT_EQ(held, 10u);
  EXPECT_EQ(throttle.held(), 0u);
}

TEST(LineBudget, ABurstPassesThenTheRateAndAFullBucketDoesNotOverfill) {
  LineBudget budget(3, 5);  // 3 at once, then one per 200 ms
  std::uint64_t held = 0;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.allow(1000));
  EXPECT_FALSE(budget.allow(1000));
  EXPECT_FALSE(budget.allow(1199));
  EXPECT_TRUE(budget.allow(1200, &held));
  EXPECT_EQ(held, 2u);
  EXPECT_FALSE(budget.allow(1300));
  // An hour of quiet refills to the burst, not beyond it.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.allow(3'601'200));
  EXPECT_FALSE(budget.allow(3'601'200));
  // Fractions of a token carry over between calls.
  EXPECT_FALSE(budget.allow(3'601'300));
  EXPECT_TRUE(budget.allow(3'601'400));
}

// The summary of a flood that has ended takes a token like a line, and only
// when something was held back.
TEST(LineBudget, SummaryOfHeldLinesComesWhenTheBudgetAllows) {
  LineBudget budget(2, 4);  // one token per 250 ms
  std::uint64_t held = 99;
  EXPECT_FALSE(budget.allowSummary(1000, &held));  // nothing held
  EXPECT_EQ(held, 99u);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(budget.allow(1000));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(budget.allow(1000));
  EXPECT_FALSE(budget.allowSummary(1249, &held));  // no token yet
  EXPECT_TRUE(budget.allowSummary(1250, &held));
  EXPECT_EQ(held, 5u);
  EXPECT_EQ(budget.held(), 0u);
  EXPECT_FALSE(budget.allowSummary(1250, &held));  // told once
  // The token it took is gone: a line right after waits like any other.
  EXPECT_FALSE(budget.allow(1251));
  EXPECT_TRUE(budget.allow(1500, &held));
  EXPECT_EQ(held, 1u);
}

}  // namespace
}  // namespace vl
