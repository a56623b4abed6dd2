// The control panel: its actions without a GUI, then the drawn panel in a
// real ImGui context (default font, no backend) over the agent's states.
#include <gtest/gtest.h>

#include <cstring>

#include <imgui.h>
#include <imgui_internal.h>

#include "agent_fixture.h"

namespace vl::test {
namespace {

std::vector<MonitorInfo> threeMonitors() {
  return {MonitorInfo{0, 0, 1920, 1080, true, "A"}, MonitorInfo{1920, 0, 1280, 1024, false, "B"},
          MonitorInfo{3200, 0, 1024, 768, false, "C"}};
}

class PanelTest : public AgentTest {
 protected:
  PanelTest() {
    monitors_ = threeMonitors();
    desktop_ = DesktopMetrics{0, 0, 4224, 1080, 1920, 1080};
  }
  const EventLogEntry& lastEvent() { return agent_->eventLog().entries().back(); }
};

TEST_F(PanelTest, RegionModeSwitchFillsTheMonitorRectAndEditsArePulledBack) {
  Agent& a = startAgent();
  a.chooseMonitor(1);
  a.settingsDirty = false;
  a.setRegionMode(kRegionModeCustom);
  EXPECT_EQ(a.settings.region, (CaptureRegion{1, 1, 1920, 0, 1280, 1024}));
  EXPECT_EQ(a.echo()->requestedRegion(), a.settings.region);
  EXPECT_TRUE(a.settingsDirty);
  EXPECT_EQ(lastEvent().text, "推流区域 → 自定义 1280x1024 @ (1920,0)");

  a.settingsDirty = false;
  a.setRegionMode(kRegionModeCustom);  // the same item again: nothing happens
  EXPECT_FALSE(a.settingsDirty);

  a.settings.region.x = 100000;  // typed into "位置 X"
  a.customRegionEdited();
  EXPECT_EQ(a.settings.region.x, 4224 - 1280);
  EXPECT_EQ(a.resolvedRegion().x, 4224 - 1280);
  EXPECT_EQ(lastEvent().text, "推流区域 → 自定义 1280x1024 @ (2944,0)");

  a.setRegionMode(kRegionModeMonitor);
  a.settings.region.monitorIndex = 7;  // out of range: the first monitor stands in
  a.setRegionMode(kRegionModeCustom);
  EXPECT_EQ(a.settings.region, (CaptureRegion{1, 0, 0, 0, 1920, 1080}));
}

TEST_F(PanelTest, ChooserListsEveryMonitorAndEveryClickApplies) {
  const char* const expected[] = {"显示器 1  1920x1080 @ (0,0)", "显示器 2  1280x1024 @ (1920,0)",
                                  "显示器 3  1024x768 @ (3200,0)"};
  std::string label;
  for (std::size_t i = 0; i < 3; ++i) {
    formatMonitorLabel(label, i, threeMonitors()[i]);
    EXPECT_EQ(label, expected[i]);
  }
  formatMonitorLabel(label, 11, MonitorInfo{-800, -600, 800, 600, false, ""});
  EXPECT_EQ(label, "显示器 12  800x600 @ (-800,-600)");

  Agent& a = startAgent();
  for (int round = 0; round < 2; ++round) {  // clicking the chosen entry again applies again
    a.settingsDirty = false;
    log_.clear();
    a.chooseMonitor(2);
    EXPECT_TRUE(a.settingsDirty);
    EXPECT_TRUE(log_.contains("推流区域 → 显示器 3（1024x768 @ 3200,0）"));
    EXPECT_EQ(a.echo()->requestedRegion(), CaptureRegion::monitor(2));
  }
}

TEST_F(PanelTest, SlidersKeepTypedValuesWhileTheStreamClamps) {
  Agent& a = startAgent();
  struct Case {
    void (Agent::*set)(int);
    int typed, used;
    int AgentSettings::*kept;
    int (EchoService::*read)() const;
  };
  const Case cases[] = {
      {&Agent::setMaxWidth, 100, 320, &AgentSettings::maxW, &EchoService::maxWidth},
      {&Agent::setMaxWidth, 5000, 3840, &AgentSettings::maxW, &EchoService::maxWidth},
      {&Agent::setMaxWidth, 1280, 1280, &AgentSettings::maxW, &EchoService::maxWidth},
      {&Agent::setQuality, 5, 10, &AgentSettings::quality, &EchoService::quality},
      {&Agent::setQuality, 200, 95, &AgentSettings::quality, &EchoService::quality},
      {&Agent::setFps, 0, 1, &AgentSettings::fps, &EchoService::fps},
      {&Agent::setFps, 120, 60, &AgentSettings::fps, &EchoService::fps},
  };
  for (const Case& c : cases) {
    a.settingsDirty = false;
    (a.*c.set)(c.typed);
    EXPECT_EQ(a.settings.*c.kept, c.typed);
    EXPECT_EQ((a.echo()->*c.read)(), c.used) << c.typed;
    EXPECT_TRUE(a.settingsDirty);
  }
}

TEST_F(PanelTest, ConnectTrimsTriesAtOnceAndIgnoresABlankBox) {
  FakePad pad;
  ASSERT_TRUE(pad.listen());
  Agent& a = startAgent();
  a.settings.autoDiscover = false;
  a.settings.hubPort = pad.port;
  a.linkFailures = 2;
  a.lastFailureMs = 12345;
  a.settingsDirty = false;
  a.typeHubAddress(" \t127.0.0.1  ");
  a.connectToTypedAddress(a.hubAddressBox());
  EXPECT_EQ(a.settings.hubIp, "127.0.0.1");
  EXPECT_EQ(a.connectHost, "127.0.0.1");
  EXPECT_EQ(a.connectPort, pad.port);
  EXPECT_TRUE(a.linkConnecting || a.linkConnected);  // not left to the next retry
  EXPECT_EQ(a.linkFailures, 0);
  EXPECT_EQ(a.lastFailureMs, 0u);
  EXPECT_TRUE(a.settingsDirty);
  for (int i = 0; i < 200 && pad.client == 0; ++i, sleepMs(2)) {
    a.agentTick();
    pad.poll();
  }
  EXPECT_NE(pad.client, 0u);

  for (const char* blank : {"", "  \t "}) {
    const bool connected = a.linkConnected;
    a.linkFailures = 2;
    a.lastFailureMs = 777;
    a.settingsDirty = false;
    a.connectToTypedAddress(blank);
    EXPECT_EQ(a.settings.hubIp, "127.0.0.1");
    EXPECT_EQ(a.linkFailures, 2);
    EXPECT_EQ(a.lastFailureMs, 777u);
    EXPECT_FALSE(a.settingsDirty);
    EXPECT_EQ(a.linkConnected, connected);
  }
}

TEST_F(PanelTest, AddressBoxTakesHubIpOnlyWhileEmpty) {
  Agent& a = startAgent();
  EXPECT_STREQ(a.hubAddressBox(), "");
  a.settings.hubIp = "127.0.0.5";  // as discovery sets it
  EXPECT_STREQ(a.hubAddressBox(), "127.0.0.5");
  a.settings.hubIp = "127.0.0.6";
  EXPECT_STREQ(a.hubAddressBox(), "127.0.0.5");
  a.typeHubAddress("10.1.2.3");
  EXPECT_STREQ(a.hubAddressBox(), "10.1.2.3");
  a.typeHubAddress("");  // cleared by the user: filled again
  EXPECT_STREQ(a.hubAddressBox(), "127.0.0.6");
  std::string wide = "a";
  for (int i = 0; i < 30; ++i) wide += "中";
  a.typeHubAddress(wide);  // 63 bytes would end inside the 21st character
  EXPECT_EQ(std::string(a.hubAddressBox()), wide.substr(0, 61));
}

TEST(PanelReverseControl, SecondsSinceTheLastInputNeverWrap) {
  struct Case {
    std::uint64_t now, last, seconds;
  };
  const Case cases[] = {
      {66900, 1000, 65}, {2000, 1000, 1}, {1999, 1000, 0}, {1000, 1000, 0},
      {999, 1000, 0},  // stamped by the echo thread after the panel read the clock
      {0, ~std::uint64_t{0}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(secondsSinceInput(c.now, c.last), c.seconds) << c.now << " " << c.last;
}

TEST_F(PanelTest, SwitchesReachTheStreamAndLog) {
  Agent& a = startAgent();  // no window: the exclusion cannot succeed
  a.setExcludeSelf(true);
  EXPECT_TRUE(a.settings.excludeSelf);
  EXPECT_EQ(lastEvent().level, 2);
  EXPECT_EQ(lastEvent().text, "系统不支持排除本窗口（需 Win10 2004+）");
  a.settingsDirty = false;
  a.setExcludeSelf(false);
  EXPECT_TRUE(a.settingsDirty);
  EXPECT_EQ(lastEvent().text, "已允许本窗口出现在推流画面里");
  a.setStaticSkip(true);
  EXPECT_TRUE(a.echo()->staticSkip.load());
  EXPECT_EQ(lastEvent().text, "已开启静帧省流（带宽优先）");
  a.setStaticSkip(false);
  EXPECT_FALSE(a.echo()->staticSkip.load());
  EXPECT_EQ(lastEvent().text, "已关闭静帧省流（延迟优先，随时跟手）");
  a.settingsDirty = false;
  a.setCaptureOn(true);
  EXPECT_TRUE(a.echo()->captureOn.load() && a.settings.captureOn && a.settingsDirty);
}

TEST_F(PanelTest, SavedExclusionIsAppliedAtStartOnlyWithAWindow) {
  int fakeWindow = 0;  // no real window: the request fails on every platform
  auto countOf = [&](const char* text) {
    int n = 0;
    for (const EventLogEntry& e : agent_->eventLog().entries()) n += e.text == text;
    return n;
  };
  const char* warning = "系统不支持排除本窗口（需 Win10 2004+）";
  writeSettings(R"({"excludeSelf":true})");
  startAgent(0, nullptr).stop();
  EXPECT_EQ(countOf(warning), 0);
  startAgent(0, &fakeWindow).stop();
  EXPECT_EQ(countOf(warning), exclusionFailureWarnsAtStart() ? 1 : 0);
  EXPECT_TRUE(exclusionFailureWarnsAtStart() || log_.contains("本平台不支持排除本窗口，已跳过"));
  EXPECT_TRUE(agent_->settings.excludeSelf);
  agent_.reset();  // its destructor saves the settings once more
  writeSettings(R"({"excludeSelf":false})");
  log_.clear();
  startAgent(0, &fakeWindow).stop();
  EXPECT_EQ(countOf(warning), 0);
  EXPECT_FALSE(log_.contains("排除本窗口"));
}

// ---- drawn ----

class PanelRenderTest : public PanelTest {
 protected:
  void SetUp() override {
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.Fonts->AddFontDefault();
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    io.DisplaySize = ImVec2(1080, 720);
    io.DeltaTime = 1.0f / 60.0f;
  }
  void TearDown() override { ImGui::DestroyContext(); }

  int frames(Agent& a, int count = 4) {
    for (int i = 0; i < count; ++i) {
      ImGui::NewFrame();
      a.drawPanel();
      ImGui::Render();
    }
    return ImGui::GetDrawData()->TotalVtxCount;
  }
  static ImGuiWindow* logWindow() {
    for (ImGuiWindow* w : GImGui->Windows)
      if (std::strstr(w->Name, "/##log_")) return w;
    return nullptr;
  }
};

TEST_F(PanelRenderTest, DrawsEveryStateWithBalancedCalls) {
  char text[32];
  ImFormatString(text, sizeof text, "%zu|%llu", std::size_t{3}, 5ull);  // the panel's formats, on this C library
  EXPECT_STREQ(text, "3|5");

  Agent unstarted;
  EXPECT_GT(frames(unstarted), 0);
  Agent& a = startAgent();
  EXPECT_GT(frames(a), 0);
  a.setRegionMode(kRegionModeCustom);
  EXPECT_GT(frames(a), 0);
  a.linkConnected = true;
  a.hubName = "大厅";
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect(a.echoPort()));
  for (int i = 0; i < 500 && a.echo()->lastInputMs() == 0; ++i, sleepMs(2))
    if (!viewer.sendText(R"({"t":"input","type":"move","u":0.5,"v":0.5})")) printf("send failed %d\n", i);
  EXPECT_NE(a.echo()->lastInputMs(), 0u);
  for (auto& m : log_.messages()) printf("MSG %s\n", m.c_str());
  for (int i = 0; i < 300; ++i) a.logEvent(i % 4, formatString("第 %d 行", i));
  EXPECT_GT(frames(a), 0);
  ImGui::GetIO().DisplaySize = ImVec2(200, 150);  // columns at their 80 px minimum, footer off-centre
  EXPECT_GT(frames(a), 0);
  a.linkConnected = false;
  a.stop();
  monitors_.clear();
  EXPECT_GT(frames(startAgent()), 0);
}

TEST_F(PanelRenderTest, LogViewFollowsOnlyWhileAtTheBottom) {
  Agent& a = startAgent();
  for (int i = 0; i < 100; ++i) a.logEvent(1, formatString("行 %d", i));
  frames(a, 5);
  ImGuiWindow* view = logWindow();
  ASSERT_NE(view, nullptr);
  ASSERT_GT(view->ScrollMax.y, 0.0f);
  EXPECT_FLOAT_EQ(view->Scroll.y, view->ScrollMax.y);

  ImGui::SetScrollY(view, 0.0f);  // the reader scrolls back, as the wheel does
  frames(a);
  for (int i = 0; i < 20; ++i) a.logEvent(1, "新");
  frames(a);
  EXPECT_EQ(view->Scroll.y, 0.0f);
  EXPECT_FALSE(a.logFollowsNewest());

  ImGui::SetScrollY(view, view->ScrollMax.y);  // back at the bottom
  frames(a);
  const float before = view->ScrollMax.y;
  for (int i = 0; i < 20; ++i) a.logEvent(1, "新");
  frames(a);
  EXPECT_GT(view->ScrollMax.y, before);
  EXPECT_FLOAT_EQ(view->Scroll.y, view->ScrollMax.y);
  EXPECT_TRUE(a.logFollowsNewest());
}

}  // namespace
}  // namespace vl::test
