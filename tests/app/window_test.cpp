// The shared parts of the window shell that decide things on their own.
#include <gtest/gtest.h>

#include "app/window.h"

namespace vl {
namespace {

TEST(StallSelfTest, OnlyDecimalMillisecondsThatFit32BitsRunIt) {
  struct Case {
    const char* text;
    std::uint32_t ms;
  } cases[] = {
      {nullptr, 0},          {"", 0},           {"0", 0},        {"3000", 3000},
      {"1", 1},              {"4294967295", 4294967295u},      {"4294967296", 0},
      {"-1", 0},             {"-3000", 0},      {"+5", 0},       {" 5", 0},
      {"5ms", 0},            {"3e3", 0},        {"99999999999999999999999", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(parseStallMs(c.text), c.ms) << (c.text ? c.text : "(missing)");
}

TEST(StallSelfTest, RunsOnceAfterSixSecondsAndNeverWhenOff) {
  StallSelfTest off(0, 1000);
  EXPECT_FALSE(off.runIfDue(100000));
  StallSelfTest test(1, 1000);
  EXPECT_FALSE(test.runIfDue(1000 + kStallTestDelayMs));  // "more than" 6 s
  EXPECT_TRUE(test.runIfDue(1001 + kStallTestDelayMs));
  EXPECT_FALSE(test.runIfDue(100000));
}

TEST(InitialPresentation, TrayWinsOverMinimised) {
  LaunchOptions options;
  EXPECT_FALSE(startsInTray(options, false));
  EXPECT_TRUE(startsInTray(options, true));
  options.startMinimized = true;
  EXPECT_FALSE(startsInTray(options, false));
  options.startInTray = true;
  EXPECT_TRUE(startsInTray(options, false));
}

}  // namespace
}  // namespace vl
