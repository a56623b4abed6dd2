// SendInput for real: an absolute move lands the cursor on the mapped pixel.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "echo/input_injector.h"

namespace vl {
namespace {

TEST(SendInputInjection, MoveSetsTheCursorPosition) {
  const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int vw = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int vh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (vw < 2 || vh < 2) GTEST_SKIP() << "no desktop to move on";
  const MonitorInfo desktop{vx, vy, vw, vh, true, {}};
  auto injector = createPlatformInjector();
  const float targets[][2] = {{0.5f, 0.5f}, {0.25f, 0.75f}};
  for (const auto& t : targets) {
    injector->moveTo(t[0], t[1], desktop);
    POINT p = {};
    bool landed = false;
    // The cursor position follows the injected event asynchronously.
    for (int i = 0; i < 100 && !landed; ++i) {
      Sleep(10);
      ASSERT_TRUE(GetCursorPos(&p));
      landed = std::abs(p.x - (vx + static_cast<int>(vw * t[0]))) <= 1 &&
               std::abs(p.y - (vy + static_cast<int>(vh * t[1]))) <= 1;
    }
    EXPECT_TRUE(landed) << "cursor at " << p.x << "," << p.y;
  }
}

}  // namespace
}  // namespace vl
