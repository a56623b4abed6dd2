// The desktop changing under a running agent: the stored region is resolved
// again against the new monitors, the settings keep what the user chose, and
// one line tells of each change.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <string>
#include <vector>

#include "agent_fixture.h"
#include "echo/display_watch.h"

namespace vl::test {
namespace {

const MonitorInfo kWide{0, 0, 1920, 1080, true, "A"};
const MonitorInfo kRight{1920, 0, 1280, 1024, false, "B"};
const MonitorInfo kSmall{0, 0, 1280, 720, true, "A"};
const DesktopMetrics kWideDesk{0, 0, 1920, 1080, 1920, 1080};
const DesktopMetrics kTwoDesk{0, 0, 3200, 1080, 1920, 1080};
const DesktopMetrics kSmallDesk{0, 0, 1280, 720, 1280, 720};

std::string settingsWith(const CaptureRegion& r) {
  return formatString(R"({"autoDiscover": false, "regionMode": %d, "monitor": %d, "regionX": %d, "regionY": %d,)"
                      R"( "regionW": %d, "regionH": %d})",
                      r.mode, r.monitorIndex, r.x, r.y, r.width, r.height);
}

using DisplayChangeTest = AgentTest;

TEST_F(DisplayChangeTest, StoredRegionIsResolvedAgainAgainstTheNewDesktop) {
  const struct {
    const char* name;
    std::vector<MonitorInfo> before;
    DesktopMetrics beforeDesk;
    std::vector<MonitorInfo> after;
    DesktopMetrics afterDesk;
    CaptureRegion stored;
    struct {
      int x, y, width, height;
    } expected;
    const char* line;      // the one line written; empty: none
  } cases[] = {
      {"screen grows", {kSmall}, kSmallDesk, {kWide}, kWideDesk, CaptureRegion::monitor(0), {0, 0, 1920, 1080},
       "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（1920x1080 @ 0,0）"},
      {"chosen monitor unplugged", {kWide, kRight}, kTwoDesk, {kWide}, kWideDesk, CaptureRegion::monitor(1),
       {0, 0, 1920, 1080},
       "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（1920x1080 @ 0,0），所选显示器 2 不在，暂用显示器 1"},
      {"rotated", {kWide}, kWideDesk, {{0, 0, 1080, 1920, true, "A"}}, {0, 0, 1080, 1920, 1080, 1920},
       CaptureRegion::monitor(0), {0, 0, 1080, 1920},
       "显示器配置已变化：1 个显示器，推流区域 → 显示器 1（1080x1920 @ 0,0）"},
      {"custom region shifted into a smaller desktop", {kWide, kRight}, kTwoDesk, {kSmall}, kSmallDesk,
       CaptureRegion::custom(1800, 600, 400, 300), {880, 420, 400, 300},
       "显示器配置已变化：1 个显示器，推流区域 → 自定义 400x300 @ (880,420)"},
      {"custom region larger than the new desktop", {kWide}, kWideDesk, {kSmall}, kSmallDesk,
       CaptureRegion::custom(0, 0, 1920, 1080), {0, 0, 1280, 720},
       "显示器配置已变化：1 个显示器，推流区域 → 自定义 1280x720 @ (0,0)"},
      {"only a monitor left of the origin remains", {kWide}, kWideDesk, {{-1280, 0, 1280, 1024, false, "L"}},
       {-1280, 0, 1280, 1024, 1920, 1080}, CaptureRegion::custom(100, 100, 400, 300), {-400, 100, 400, 300},
       "显示器配置已变化：1 个显示器，推流区域 → 自定义 400x300 @ (-400,100)"},
      {"nothing changed", {kWide, kRight}, kTwoDesk, {kWide, kRight}, kTwoDesk, CaptureRegion::monitor(1),
       {1920, 0, 1280, 1024}, ""},
      {"display gone", {kWide, kRight}, kTwoDesk, {}, {}, CaptureRegion::monitor(1), {0, 0, 0, 0},
       "显示器已不可用（显示服务断开？），推流暂停，恢复后自动继续"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    monitors_ = c.before;
    desktop_ = c.beforeDesk;
    writeSettings(settingsWith(c.stored));
    Agent& agent = startAgent();
    const CaptureRegion stored = agent.settings.region;
    const CaptureRegion handed = agent.echo()->requestedRegion();

    monitors_ = c.after;
    desktop_ = c.afterDesk;
    log_.clear();
    EXPECT_EQ(agent.refreshDisplays(), c.line[0] != '\0');
    const MonitorInfo rect = agent.resolvedRegion();
    EXPECT_EQ(rect.x, c.expected.x);
    EXPECT_EQ(rect.y, c.expected.y);
    EXPECT_EQ(rect.width, c.expected.width);
    EXPECT_EQ(rect.height, c.expected.height);
    EXPECT_EQ(agent.monitors().size(), c.after.size());
    // The choice stays: the echo service resolves it afresh when it reopens.
    EXPECT_EQ(agent.settings.region, stored);
    EXPECT_EQ(agent.echo()->requestedRegion(), handed);
    EXPECT_FALSE(agent.settingsDirty);
    const int lines = log_.count("显示器配置已变化") + log_.count("显示器已不可用");
    EXPECT_EQ(lines, c.line[0] != '\0' ? 1 : 0);
    if (c.line[0] != '\0') {
      EXPECT_EQ(log_.count(c.line), 1);
    }
    // Told once: reading the same desktop again changes nothing.
    EXPECT_FALSE(agent.refreshDisplays());
    agent.stop();
    agent_.reset();
  }
}

TEST_F(DisplayChangeTest, MonitorThatComesBackIsStreamedAgainAndTheFileKeepsTheChoice) {
  writeSettings(settingsWith(CaptureRegion::monitor(1)));
  Agent& agent = startAgent();
  monitors_ = {kWide};
  desktop_ = kWideDesk;
  ASSERT_TRUE(agent.refreshDisplays());
  EXPECT_EQ(agent.resolvedRegion().x, 0);
  agent.saveSettings();
  EXPECT_NE(readSettings().find("\"monitor\": 1"), std::string::npos) << readSettings();
  monitors_ = twoMonitors();
  desktop_ = kTwoDesk;
  ASSERT_TRUE(agent.refreshDisplays());
  EXPECT_EQ(agent.resolvedRegion().x, 1920);
  EXPECT_EQ(log_.count("显示器配置已变化"), 2);
}

// A watch that tells of a change makes the next tick read the desktop again.
struct CountingWatch final : DisplayWatch {
  explicit CountingWatch(int* pending) : pending_(pending) {}
  bool changed() override { return (*pending_)-- > 0; }
  int* pending_;
};

TEST_F(DisplayChangeTest, TickReadsTheDesktopOnlyWhenTheWatchTellsOfAChange) {
  int pending = 0;
  int reads = 0;
  AgentEnvironment env = environment(freePortPair());
  auto fake = env.desktop;
  env.desktop = [&](std::vector<MonitorInfo>& m, DesktopMetrics& d) {
    ++reads;
    fake(m, d);
  };
  env.makeDisplayWatch = [&] { return std::make_unique<CountingWatch>(&pending); };
  agent_ = std::make_unique<Agent>(std::move(env));
  agent_->start(nullptr);
  const int atStart = reads;
  tickFor(5);
  EXPECT_EQ(reads, atStart);
  monitors_ = {kSmall};
  desktop_ = kSmallDesk;
  pending = 1;
  tickFor(3);
  EXPECT_EQ(reads, atStart + 1);
  EXPECT_EQ(agent_->monitors().size(), 1u);
  EXPECT_EQ(agent_->resolvedRegion().width, 1280);
}

#if defined(_WIN32)
// The window procedures hand display messages to the watch; the agent then
// reads the monitors again at its next tick.
LRESULT CALLBACK displayTestProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  noteDisplayMessage(message, wParam);
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(DisplayChangeTest, PostedDisplayMessagesMakeTheAgentReadTheMonitorsAgain) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = displayTestProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VelmoraDisplayTest";
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  int reads = 0;
  AgentEnvironment env = environment(freePortPair());
  auto fake = env.desktop;
  env.desktop = [&](std::vector<MonitorInfo>& m, DesktopMetrics& d) {
    ++reads;
    fake(m, d);
  };
  env.makeDisplayWatch = [] { return createDisplayWatch(); };
  agent_ = std::make_unique<Agent>(std::move(env));
  agent_->start(nullptr);
  const auto pump = [] {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  };
  const struct {
    UINT message;
    WPARAM wParam;
    int reads;  // desktop reads the message causes
  } cases[] = {
      {WM_DISPLAYCHANGE, 32, 1},
      {WM_SETTINGCHANGE, SPI_SETWORKAREA, 1},
      {WM_SETTINGCHANGE, SPI_SETDESKWALLPAPER, 0},
      {WM_DPICHANGED, 0x00780078, 1},
      {WM_SIZE, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const int before = reads;
    // WM_SETTINGCHANGE carries a string and cannot be posted: the system sends it.
    if (c.message == WM_SETTINGCHANGE) {
      SendMessageW(window, c.message, c.wParam, 0);
    } else {
      ASSERT_TRUE(PostMessageW(window, c.message, c.wParam, 0));
    }
    pump();
    tickFor(2);
    EXPECT_EQ(reads - before, c.reads);
  }
  monitors_ = {kSmall};
  desktop_ = kSmallDesk;
  ASSERT_TRUE(PostMessageW(window, WM_DISPLAYCHANGE, 32, MAKELPARAM(1280, 720)));
  pump();
  tickFor(1);
  EXPECT_EQ(agent_->resolvedRegion().width, 1280);
  EXPECT_EQ(log_.count("显示器配置已变化：1 个显示器"), 1);
  DestroyWindow(window);
  UnregisterClassW(wc.lpszClassName, wc.hInstance);
}
#endif

}  // namespace
}  // namespace vl::test
