// The control panel: its actions without a GUI, then the drawn panel in a
// real ImGui context (default font, no backend) over the agent's states.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <imgui.h>
#include <imgui_internal.h>

#include "agent/fonts.h"
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

// An entry wider than the column is drawn on several lines, none wider
// than the column, and the view still follows the newest line.
TEST_F(PanelRenderTest, LongLogLinesWrapAtTheColumn) {
  Agent& a = startAgent();
  const std::string longLine = "连接 Pad 端失败 192.168.100.200:24690，稍后重试 " + std::string(40, 'x');
  for (int i = 0; i < 30; ++i) a.logEvent(i % 3 + 1, longLine);
  frames(a, 5);
  ImGuiWindow* view = nullptr;
  for (ImGuiWindow* w : GImGui->Windows)
    if (std::strstr(w->Name, "/##log_")) view = w;
  ASSERT_NE(view, nullptr);
  const float column = view->WorkRect.GetWidth();
  EXPECT_LE(view->ContentSize.x, column + 0.5f);
  EXPECT_GT(ImGui::CalcTextSize(longLine.c_str()).x, column);  // it would not have fitted on one line
  const float lineStep = ImGui::GetTextLineHeight();
  EXPECT_GT(view->ContentSize.y, 30 * 2 * lineStep);  // at least two lines each
  EXPECT_FLOAT_EQ(view->Scroll.y, view->ScrollMax.y);
  EXPECT_TRUE(a.logFollowsNewest());
}

// Characters of Pad text beyond the atlas, with the real fonts: they wait
// after the messages arrive, one rebuild between frames takes them all in,
// and the panel draws on.
class PanelGlyphTest : public PanelRenderTest {
 protected:
  void SetUp() override {
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(1080, 720);
    io.DeltaTime = 1.0f / 60.0f;
    haveFonts_ = loadFonts(1.0f, fonts_, false, 0.0f, findFontPaths(), {});
  }
  void TearDown() override {
    releaseFontSourceData();
    ImGui::DestroyContext();
  }
  bool drawnFontHas(const char* utf8) {
    const ImFont* font = ImGui::GetIO().Fonts->Fonts[0];
    for (const char* p = utf8; *p;) {
      unsigned c = 0;
      p += ImTextCharFromUtf8(&c, p, nullptr);
      if (c >= 0x80 && !font->FindGlyphNoFallback(static_cast<ImWchar>(c))) return false;
    }
    return true;
  }
  FontSet fonts_;
  bool haveFonts_ = false;
};

TEST_F(PanelGlyphTest, PadTextBeyondTheAtlasIsDrawnAfterOneRebuild) {
  if (!haveFonts_) GTEST_SKIP() << "no Chinese font on this machine";
  Agent& a = startAgent();
  EXPECT_GT(frames(a, 2), 0);
  const char* const arriving[] = {"展覽廳中控", "臺北 さくら会議室", "김민준 님이 연결을 끊었습니다", "會議室"};
  for (const char* text : arriving) EXPECT_FALSE(drawnFontHas(text)) << text;
  const int rebuilds = fontAtlasRebuildCount();
  a.handlePadMessage(R"({"t":"welcome","hubName":"展覽廳中控"})");
  a.handlePadMessage(R"({"t":"toast","msg":"臺北 さくら会議室"})");
  a.linkConnected = true;  // a kick of a live link
  a.handlePadMessage(R"({"t":"kick","reason":"김민준 님이 연결을 끊었습니다"})");
  a.typeHubAddress("會議室");  // typed by the operator
  EXPECT_EQ(fontAtlasRebuildCount(), rebuilds);  // nothing is built where the text arrives
  EXPECT_GE(pendingGlyphCount(), 12u);
  ASSERT_TRUE(fontAtlasRebuildDue(monotonicMs()));
  ASSERT_TRUE(rebuildFontAtlas(monotonicMs()));
  EXPECT_EQ(fontAtlasRebuildCount(), rebuilds + 1);
  for (const char* text : arriving) EXPECT_TRUE(drawnFontHas(text)) << text;
  EXPECT_EQ(pendingGlyphCount(), 0u);
  EXPECT_GT(frames(a, 2), 0);
  EXPECT_EQ(pendingGlyphCount(), 0u);  // drawing the same text notes nothing new
}

#if !defined(_WIN32)
// Sets an environment variable ("" unsets it) for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), had_(envExists(name)), saved_(envValue(name)) {
    if (*value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_, saved_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string saved_;
};

// A Wayland session: one ERROR line in the panel's log, a status row, and
// the services start as usual.
TEST_F(PanelRenderTest, WaylandSessionIsToldInTheLogAndTheStatusBlock) {
  const struct {
    const char* type;
    const char* waylandDisplay;
    bool told;
  } cases[] = {{"wayland", "wayland-0", true}, {"x11", "", false}, {"", "wayland-1", true}};
  for (const auto& c : cases) {
    ScopedEnv type("XDG_SESSION_TYPE", c.type);
    ScopedEnv wayland("WAYLAND_DISPLAY", c.waylandDisplay);
    ScopedEnv display("DISPLAY", ":0");
    Agent& a = startAgent();
    int errors = 0;
    for (const EventLogEntry& e : a.eventLog().entries())
      errors += e.level == 3 && e.text.find("Wayland 会话") != std::string::npos ? 1 : 0;
    EXPECT_EQ(errors, c.told ? 1 : 0) << c.type;
    EXPECT_EQ(a.sessionStatus().empty(), !c.told) << c.type;
    EXPECT_TRUE(a.echoReady() && a.sysCtlReady());  // streaming is not refused
    EXPECT_GT(frames(a, 2), 0);
    a.stop();
  }
}
// A Wayland back end chosen at start: its name in the status block instead
// of the red session row, view-only when it has no input; a back end that
// failed to open: why, then the XWayland explanation as before.
TEST_F(PanelRenderTest, DesktopBackEndIsToldInTheLogAndTheStatusBlock) {
  ScopedEnv type("XDG_SESSION_TYPE", "wayland");
  ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-1");
  ScopedEnv display("DISPLAY", ":0");
  using K = DesktopBackendKind;
  const struct {
    DesktopStartup startup;
    const char* info;
    bool sessionError;  // the XWayland explanation, as without a back end
    bool viewOnly;
  } cases[] = {
      {{true, K::Gnome, "GNOME（mutter）", false, K::X11, ""}, "桌面后端：GNOME（mutter）", false, false},
      {{true, K::WlrootsViewOnly, "wlroots（cage）", false, K::X11, ""}, "桌面后端：wlroots（cage）", false, true},
      {{true, K::XWayland, "", true, K::Gnome, "mutter 已退出"}, "桌面后端：XWayland（只有 X11 程序的窗口）", true, false},
  };
  for (const auto& c : cases) {
    agent_ = std::make_unique<Agent>(environment(freePortPair()));
    agent_->desktopStartup = c.startup;
    agent_->start(nullptr);
    Agent& a = *agent_;
    int infos = 0, sessionErrors = 0, failures = 0;
    for (const EventLogEntry& e : a.eventLog().entries()) {
      infos += e.level == 1 && e.text == c.info ? 1 : 0;
      sessionErrors += e.level == 3 && e.text.find("Wayland 会话") != std::string::npos ? 1 : 0;
      failures += e.level == 3 && e.text.find("无法打开：mutter 已退出") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(infos, 1) << c.info;
    EXPECT_EQ(sessionErrors, c.sessionError ? 1 : 0) << c.info;
    EXPECT_EQ(failures, c.startup.openFailed ? 1 : 0) << c.info;
    EXPECT_EQ(a.sessionStatus().empty(), !c.sessionError) << c.info;
    EXPECT_EQ(a.desktopStatus().empty(), c.sessionError) << c.info;
    EXPECT_EQ(a.echo()->viewOnly.load(), c.viewOnly) << c.info;
    EXPECT_EQ(a.accessSummary().find("仅观看") != std::string::npos, c.viewOnly) << c.info;
    EXPECT_GT(frames(a, 2), 0);
    a.stop();
  }
}
#endif

}  // namespace
}  // namespace vl::test
