// Shared by the screen capture tests of both platforms.
#pragma once

#include <gtest/gtest.h>

#include "echo/capture.h"
#include "support/test_support.h"

namespace vl::test {

// A retry that reopens the same rectangle before any picture came through is
// not announced again; a reopen after pictures, or of another rectangle, is.
inline void expectRetriesNotLoggedAgain() {
  LogCapture log;
  ScreenCapturer capturer;
  const CaptureRegion region = CaptureRegion::custom(0, 0, 64, 64);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(capturer.open(region));
  EXPECT_EQ(log.count("抓屏初始化"), 1);
  PixelFrame frame;
  ASSERT_TRUE(capturer.capture(frame));
  ASSERT_TRUE(capturer.open(region));
  EXPECT_EQ(log.count("抓屏初始化"), 2);
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(8, 8, 64, 64)));
  EXPECT_EQ(log.count("抓屏初始化"), 3);
}

}  // namespace vl::test
