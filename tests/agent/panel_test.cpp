// The control panel: its actions without a GUI, then the drawn panel in a
// real ImGui context (default font, no backend) over the agent's states.
#include <gtest/gtest.h>

#include <cstring>

#include <imgui.h>
#include <imgui_internal.h>

#include "agent_fixture.h"

namespace vl::test {
namespace {

class PanelTest : public AgentTest {
 protected:
  PanelTest() {
    monitors_.push_back(MonitorInfo{3200, 0, 1024, 768, false, "C"});
    desktop_ = DesktopMetrics{0, 0, 4224, 1080, 1920, 1080};
  }
  const std::string& lastEvent() { return agent_->eventLog().entries().back().text; }
};

TEST_F(PanelTest, RegionChoicesApplyAndAreMarkedForSaving) {
  std::string label[3];
  for (std::size_t i = 0; i < 3; ++i) formatMonitorLabel(label[i], i, monitors_[i]);
  EXPECT_EQ(label[1] + "|" + label[2], "显示器 2  1280x1024 @ (1920,0)|显示器 3  1024x768 @ (3200,0)");
  Agent& a = startAgent();
  a.chooseMonitor(2);
  a.settingsDirty = false;
  a.chooseMonitor(2);  // the chosen entry again applies again
  EXPECT_TRUE(a.settingsDirty);
  EXPECT_EQ(lastEvent(), "推流区域 → 显示器 3（1024x768 @ 3200,0）");
  a.chooseMonitor(1);
  a.setRegionMode(kRegionModeCustom);  // takes the monitor's rectangle
  EXPECT_EQ(a.settings.region, (CaptureRegion{1, 1, 1920, 0, 1280, 1024}));
  EXPECT_EQ(a.echo()->requestedRegion(), a.settings.region);
  a.settings.region.x = 100000;  // typed into "位置 X": pulled back inside the desktop
  a.customRegionEdited();
  EXPECT_EQ(a.settings.region.x, 2944);
}

TEST_F(PanelTest, AddressBoxAndConnect) {
  FakePad pad;
  ASSERT_TRUE(pad.listen());
  Agent& a = startAgent();
  a.settings.hubPort = pad.port;
  a.linkFailures = 2;
  a.lastFailureMs = 12345;
  a.settings.hubIp = "127.0.0.5";  // as discovery sets it: shown while the box is empty
  EXPECT_STREQ(a.hubAddressBox(), "127.0.0.5");
  a.typeHubAddress(" \t127.0.0.1  ");
  a.connectToTypedAddress(a.hubAddressBox());
  EXPECT_EQ(a.settings.hubIp, "127.0.0.1");
  EXPECT_EQ(a.connectPort, pad.port);  // tried at once, not at the next retry
  EXPECT_EQ(a.linkFailures + a.lastFailureMs, 0u);
  EXPECT_TRUE(a.settingsDirty);
  a.settingsDirty = false;
  a.connectToTypedAddress("  \t ");  // a blank box does nothing
  EXPECT_FALSE(a.settingsDirty);

  a.settings.hubIp = "127.0.0.6";  // a later discovery leaves the typed text alone
  EXPECT_STREQ(a.hubAddressBox(), " \t127.0.0.1  ");
  a.typeHubAddress("");  // cleared by the user: filled again
  EXPECT_STREQ(a.hubAddressBox(), "127.0.0.6");
}

TEST(PanelReverseControl, SecondsSinceTheLastInputNeverWrap) {
  EXPECT_EQ(secondsSinceInput(66900, 1000), 65u);
  EXPECT_EQ(secondsSinceInput(1999, 1000), 0u);
  EXPECT_EQ(secondsSinceInput(999, 1000), 0u);  // stamped after the panel read the clock
}

TEST_F(PanelTest, SwitchesAndSliders) {
  int fakeWindow = 0;  // not a real window: the request fails everywhere
  const std::string warning = "系统不支持排除本窗口（需 Win10 2004+）";
  writeSettings(R"({"excludeSelf":true})");
  Agent& a = startAgent(0, &fakeWindow);  // the saved value is applied at start
  const bool warned = log_.contains(warning);
  EXPECT_EQ(warned, exclusionFailureWarnsAtStart());
  EXPECT_TRUE(warned || log_.contains("本平台不支持排除本窗口，已跳过"));
  a.setExcludeSelf(false);
  EXPECT_EQ(lastEvent(), "已允许本窗口出现在推流画面里");
  a.setExcludeSelf(true);
  EXPECT_EQ(lastEvent(), warning);
  EXPECT_TRUE(a.settings.excludeSelf);
  a.setMaxWidth(100);  // typed into the slider: kept, the stream uses 320
  a.setFps(0);
  EXPECT_EQ(std::make_pair(a.settings.maxW, a.echo()->maxWidth()), std::make_pair(100, 320));
  EXPECT_EQ(std::make_pair(a.settings.fps, a.echo()->fps()), std::make_pair(0, 1));
}

class PanelRenderTest : public PanelTest {
 protected:
  void SetUp() override {
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.Fonts->AddFontDefault();
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);  // builds the atlas
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
};

TEST_F(PanelRenderTest, DrawsEveryStateWithBalancedCalls) {
  char text[16];
  ImFormatString(text, sizeof text, "%zu|%llu", std::size_t{3}, 5ull);  // the panel's formats here
  EXPECT_STREQ(text, "3|5");
  Agent& a = startAgent();
  EXPECT_GT(frames(a), 0);
  a.setRegionMode(kRegionModeCustom);
  a.linkConnected = true;
  a.hubName = "大厅";
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect(a.echoPort()));
  const std::uint64_t giveUp = monotonicMs() + 10000;  // the echo thread reads it
  for (; a.echo()->lastInputMs() == 0 && monotonicMs() < giveUp; sleepMs(20))
    viewer.sendText(R"({"t":"input","type":"move","u":0.5,"v":0.5})");
  EXPECT_NE(a.echo()->lastInputMs(), 0u);
  for (int i = 0; i < 300; ++i) a.logEvent(i % 4, formatString("第 %d 行", i));
  EXPECT_GT(frames(a), 0);
  ImGui::GetIO().DisplaySize = ImVec2(200, 150);  // columns at their minimum, footer off-centre
  EXPECT_GT(frames(a), 0);
  a.stop();
  monitors_.clear();
  EXPECT_GT(frames(startAgent()), 0);
}

TEST_F(PanelRenderTest, LogViewFollowsOnlyWhileAtTheBottom) {
  Agent& a = startAgent();
  for (int i = 0; i < 100; ++i) a.logEvent(1, "行");
  frames(a, 5);
  ImGuiWindow* view = nullptr;
  for (ImGuiWindow* w : GImGui->Windows)
    if (std::strstr(w->Name, "/##log_")) view = w;
  ASSERT_TRUE(view && view->ScrollMax.y > 0.0f);
  EXPECT_FLOAT_EQ(view->Scroll.y, view->ScrollMax.y);
  auto scrollThenLog = [&](float y) {  // the reader scrolls as the wheel does, then lines come
    ImGui::SetScrollY(view, y);
    frames(a);
    for (int i = 0; i < 20; ++i) a.logEvent(1, "新");
    frames(a);
  };
  scrollThenLog(0.0f);
  EXPECT_EQ(view->Scroll.y, 0.0f);
  const float before = view->ScrollMax.y;
  scrollThenLog(before);  // back at the bottom: follows again
  EXPECT_GT(view->ScrollMax.y, before);
  EXPECT_FLOAT_EQ(view->Scroll.y, view->ScrollMax.y);
}

}  // namespace
}  // namespace vl::test
