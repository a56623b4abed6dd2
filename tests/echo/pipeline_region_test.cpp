// Region resolution and the monitor-list fallback, through the pure
// functions with made-up desktops.
#include <gtest/gtest.h>

#include <climits>

#include "echo/capture.h"

namespace vl {
namespace {

MonitorInfo monitor(int x, int y, int w, int h, bool primary, const char* name) {
  MonitorInfo m;
  m.x = x;
  m.y = y;
  m.width = w;
  m.height = h;
  m.primary = primary;
  m.name = name;
  return m;
}

DesktopMetrics desktop(int vx, int vy, int vw, int vh, int sw, int sh) {
  DesktopMetrics d;
  d.virtualX = vx;
  d.virtualY = vy;
  d.virtualWidth = vw;
  d.virtualHeight = vh;
  d.screenWidth = sw;
  d.screenHeight = sh;
  return d;
}

void expectRect(const MonitorInfo& m, int x, int y, int w, int h) {
  EXPECT_EQ(m.x, x);
  EXPECT_EQ(m.y, y);
  EXPECT_EQ(m.width, w);
  EXPECT_EQ(m.height, h);
}

const std::vector<MonitorInfo> kSingle = {monitor(0, 0, 1920, 1080, true, "\\\\.\\DISPLAY1")};
const DesktopMetrics kSingleDesktop = desktop(0, 0, 1920, 1080, 1920, 1080);

TEST(MonitorFallback, EmptyListGetsOnePrimaryEntryOnlyWhenThereIsAScreen) {
  const struct {
    DesktopMetrics desktop;
    bool entry;
  } cases[] = {
      {desktop(-100, 0, 3000, 900, 1366, 768), true},  // a screen but no monitor list
      {DesktopMetrics{}, false},                       // no display at all
      {desktop(0, 0, 1920, 1080, 0, 1080), false},
      {desktop(0, 0, 1920, 1080, 1920, -1), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.desktop.screenWidth * 100000 + c.desktop.screenHeight);
    std::vector<MonitorInfo> list;
    applyMonitorFallback(list, c.desktop);
    if (!c.entry) {
      EXPECT_TRUE(list.empty());
      // Nothing to index: a monitor region resolves to an empty rectangle.
      EXPECT_EQ(resolveCaptureRegion(CaptureRegion::monitor(0), list, c.desktop).width, 0);
      continue;
    }
    ASSERT_EQ(list.size(), 1u);
    expectRect(list[0], 0, 0, c.desktop.screenWidth, c.desktop.screenHeight);
    EXPECT_TRUE(list[0].primary);
    EXPECT_EQ(list[0].name, "主显示器");
  }

  std::vector<MonitorInfo> two = {monitor(1920, 0, 1280, 1024, false, "B"), monitor(0, 0, 1920, 1080, true, "A")};
  applyMonitorFallback(two, kSingleDesktop);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].name, "B");  // order as reported, primary not moved
}

TEST(ResolveMonitor, IndexOutOfRangeFallsBackToTheFirstAsReported) {
  const std::vector<MonitorInfo> list = {monitor(1920, 0, 1280, 1024, false, "second-listed-first"),
                                         monitor(0, 0, 1920, 1080, true, "primary")};
  const DesktopMetrics d = desktop(0, 0, 3200, 1080, 1920, 1080);
  for (int index : {-1, 2, 99, INT_MIN, INT_MAX}) {
    const MonitorInfo m = resolveCaptureRegion(CaptureRegion::monitor(index), list, d);
    EXPECT_EQ(m.name, "second-listed-first") << index;
    expectRect(m, 1920, 0, 1280, 1024);
    EXPECT_FALSE(m.primary);
  }
  const MonitorInfo p = resolveCaptureRegion(CaptureRegion::monitor(1), list, d);
  EXPECT_EQ(p.name, "primary");
  EXPECT_TRUE(p.primary);
  expectRect(p, 0, 0, 1920, 1080);
}

TEST(ResolveMonitor, UnnamedMonitorGetsANumberedDisplayName) {
  const std::vector<MonitorInfo> list = {monitor(0, 0, 800, 600, true, "A"), monitor(800, 0, 800, 600, false, "")};
  EXPECT_EQ(resolveCaptureRegion(CaptureRegion::monitor(1), list, kSingleDesktop).name, "显示器 2");
  EXPECT_EQ(resolveCaptureRegion(CaptureRegion::monitor(0), list, kSingleDesktop).name, "A");
  // Mode values other than 0 all mean a custom rectangle.
  CaptureRegion odd = CaptureRegion::custom(10, 10, 100, 100);
  odd.mode = 7;
  EXPECT_EQ(resolveCaptureRegion(odd, list, kSingleDesktop).name, "自定义区域");
}

TEST(ResolveCustom, SmallRegionsGrowToSixteenAndMoveIntoTheDesktop) {
  const MonitorInfo m = resolveCaptureRegion(CaptureRegion::custom(-5000, 0, 10, 10), kSingle, kSingleDesktop);
  expectRect(m, 0, 0, 16, 16);
  EXPECT_FALSE(m.primary);
  EXPECT_EQ(m.name, "自定义区域");
  expectRect(resolveCaptureRegion(CaptureRegion::custom(50, 60, 0, -3), kSingle, kSingleDesktop), 50, 60, 16, 16);
}

TEST(ResolveCustom, RegionsStickingOutRightOrBelowAreShiftedNotShrunk) {
  expectRect(resolveCaptureRegion(CaptureRegion::custom(1900, 1000, 100, 100), kSingle, kSingleDesktop), 1820, 980, 100, 100);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(100, 0, 5000, 500), kSingle, kSingleDesktop), 0, 0, 1920, 500);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(0, 0, 1920, 1080), kSingle, kSingleDesktop), 0, 0, 1920, 1080);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(-10, -10, 4000, 4000), kSingle, kSingleDesktop), 0, 0, 1920, 1080);
}

TEST(ResolveCustom, DesktopWithAMonitorAtNegativeCoordinates) {
  // Left monitor at -1280; virtual desktop -1280 … 1920 wide, 0 … 1080 high.
  const std::vector<MonitorInfo> list = {monitor(0, 0, 1920, 1080, true, "P"),
                                         monitor(-1280, 56, 1280, 1024, false, "L")};
  const DesktopMetrics d = desktop(-1280, 0, 3200, 1080, 1920, 1080);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(-1200, 100, 640, 480), list, d), -1200, 100, 640, 480);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(-5000, -50, 100, 100), list, d), -1280, 0, 100, 100);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(1900, 10, 300, 100), list, d), 1620, 10, 300, 100);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(0, 0, 9999, 9999), list, d), -1280, 0, 3200, 1080);
  // Monitors above the primary give a negative virtual top.
  const DesktopMetrics above = desktop(0, -1080, 1920, 2160, 1920, 1080);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(10, -2000, 50, 50), list, above), 10, -1080, 50, 50);
}

TEST(ResolveCustom, EmptyVirtualDesktopFallsBackToThePrimaryScreen) {
  const DesktopMetrics d = desktop(-500, -500, 0, 1080, 1024, 768);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(1000, 700, 100, 100), kSingle, d), 924, 668, 100, 100);
  // A desktop smaller than 16 pixels limits the minimum size.
  const DesktopMetrics tiny = desktop(0, 0, 10, 8, 10, 8);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(3, 3, 1, 1), kSingle, tiny), 0, 0, 10, 8);
  // No screen at all still gives a positive size rather than zero.
  const MonitorInfo none = resolveCaptureRegion(CaptureRegion::custom(5, 5, 50, 50), kSingle, DesktopMetrics{});
  EXPECT_GE(none.width, 1);
  EXPECT_GE(none.height, 1);
}

TEST(ResolveCustom, ExtremeStoredValuesDoNotOverflow) {
  expectRect(resolveCaptureRegion(CaptureRegion::custom(INT_MAX, INT_MAX, INT_MAX, INT_MAX), kSingle, kSingleDesktop), 0, 0, 1920,
             1080);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(INT_MAX - 5, INT_MIN, 100, 100), kSingle, kSingleDesktop), 1820, 0, 100,
             100);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(INT_MIN, INT_MAX, INT_MIN, INT_MIN), kSingle, kSingleDesktop), 0, 1064, 16,
             16);
  // Virtual desktop touching the int32 limit.
  const DesktopMetrics edge = desktop(INT_MAX - 1000, 0, 1000, 1000, 1000, 1000);
  expectRect(resolveCaptureRegion(CaptureRegion::custom(INT_MAX - 10, 0, 500, 500), kSingle, edge), INT_MAX - 500, 0, 500, 500);
}

}  // namespace
}  // namespace vl
