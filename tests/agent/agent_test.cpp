// The agent with fake screen, injector and system, loopback sockets and an
// injected clock: start-up and ports, regions, settings, discovery, Pad link.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent_fixture.h"
#include "log/event_log.h"
#include "log/helpers.h"
#include "log/json_bounded.h"
#include "net/frame.h"
#include "net/frame_server.h"

namespace vl::test {
namespace {


TEST_F(AgentTest, StartsEveryServiceAndStopsInOrder) {
  Agent& a = startAgent();
  EXPECT_TRUE(a.echoReady());
  EXPECT_TRUE(a.sysCtlReady());
  EXPECT_TRUE(a.discoveryOpen());
  EXPECT_TRUE(a.echoThreadRunning());
  ASSERT_EQ(a.agentId().size(), 14u);
  EXPECT_EQ(a.agentId().find_first_not_of("0123456789ABCDEF", 6), std::string::npos) << a.agentId();
  EXPECT_TRUE(log_.contains("被控端启动: " + a.displayName() + "  标识 " + a.agentId()));
  a.stop();
  EXPECT_FALSE(a.echoThreadRunning());
  EXPECT_FALSE(a.echo()->running());
  EXPECT_FALSE(a.sysCtlReady());
  EXPECT_FALSE(a.discoveryOpen());
  EXPECT_TRUE(fileExists(dir_.file("settings.json")));
  // The destructor stops again: that call writes nothing.
  std::string saved, after;
  ASSERT_TRUE(readWholeFile(dir_.file("settings.json"), saved));
  a.settings.fps = a.settings.fps == 10 ? 20 : 10;
  a.stop();
  ASSERT_TRUE(readWholeFile(dir_.file("settings.json"), after));
  EXPECT_EQ(after, saved);
}

TEST_F(AgentTest, TakenPortsMoveTheStreamAndLeaveSystemControlOff) {
  const std::uint16_t base = freePortPair();
  ASSERT_NE(base, 0);
  net::FrameServer first, second;
  ASSERT_TRUE(first.listen(base, "127.0.0.1"));
  ASSERT_TRUE(second.listen(base + 1, "127.0.0.1"));
  Agent& a = startAgent(base);
  EXPECT_EQ(a.echoPort(), base + 2);
  EXPECT_TRUE(log_.contains(formatString("标准端口 %u 被占用，改用 %u 推流", base, base + 2)));
  EXPECT_FALSE(a.sysCtlReady());
  EXPECT_EQ(log_.count(formatString("系统控制端口 %u 被占用", base + 1)), 1);
}

TEST_F(AgentTest, EchoThreadThatCannotStartLeavesNoPortOpen) {
  const std::uint16_t base = freePortPair();
  agent_ = std::make_unique<Agent>([&] {
    AgentEnvironment env = environment(base);
    env.startThread = [](std::thread&, std::function<void()>) { return false; };
    return env;
  }());
  agent_->start(nullptr);
  EXPECT_FALSE(agent_->echoReady());
  EXPECT_FALSE(agent_->echo()->running());
  EXPECT_TRUE(log_.contains("推流线程创建失败"));
  EXPECT_TRUE(agent_->sysCtlReady());
}

TEST_F(AgentTest, SavedCaptureOnStreamsFromStart) {
  writeSettings(R"({"captureOn":true,"quality":5,"fps":0})");
  Agent& a = startAgent();
  EXPECT_TRUE(a.echo()->captureOn.load());
  EXPECT_EQ(a.echo()->quality(), 10);
  EXPECT_EQ(a.echo()->fps(), 1);
  EXPECT_EQ(a.settings.quality, 5);  // kept as stored
}

TEST_F(AgentTest, PointerFollowsTheFileUnlessTheCommandLineTurnsItOff) {
  writeSettings(R"({"drawCursor":false})");
  EXPECT_FALSE(startAgent().echo()->drawCursor.load());
  agent_.reset();
  writeSettings("{}");
  agent_ = std::make_unique<Agent>(environment(freePortPair()));
  agent_->noCursorOnCommandLine = true;
  agent_->start(nullptr);
  EXPECT_FALSE(agent_->echo()->drawCursor.load());
  agent_->stop();  // this run's switch is not written back
  std::string text;
  ASSERT_TRUE(readWholeFile(dir_.file("settings.json"), text));
  EXPECT_EQ(text.find("drawCursor"), std::string::npos);
}

TEST_F(AgentTest, RegionsAreNormalised) {
  struct Case {
    CaptureRegion in;
    bool noMonitors;
    CaptureRegion out;
  };
  const Case cases[] = {
      {{2, 1, 0, 0, 0, 0}, false, {0, 1, 0, 0, 0, 0}},
      {{0, 5, 0, 0, 0, 0}, false, {0, 0, 0, 0, 0, 0}},
      {{1, 1, 100, 50, 0, 0}, false, {1, 1, 100, 50, 1280, 1024}},  // size of monitor 2
      {{1, 0, 3000, 900, 800, 600}, false, {1, 0, 2400, 480, 800, 600}},  // pushed inside
      {{1, 0, 0, 0, -5, 0}, true, {1, 0, 0, 0, 1, 1}},  // 1280x720 clamped to no desktop
  };
  for (const Case& c : cases) {
    monitors_ = c.noMonitors ? std::vector<MonitorInfo>{} : twoMonitors();
    Agent& a = startAgent();
    a.settings.region = c.in;
    a.normalizeRegion();
    EXPECT_EQ(a.settings.region, c.out) << c.in.mode << " " << c.in.monitorIndex << " " << c.in.width;
    a.stop();
  }
  EXPECT_TRUE(log_.contains("未检测到显示器，无法推流"));
}

TEST_F(AgentTest, MessagesPostedFromOtherThreadsReachThePanelAtTheNextTick) {
  Agent& a = startAgent();
  takePostedEvents();
  std::thread echoSide([] { postEvent(2, "目标窗口以更高权限运行（Taskmgr.exe），Windows 不允许本程序操作它"); });
  echoSide.join();
  a.agentTick();
  ASSERT_FALSE(a.eventLog().entries().empty());
  EXPECT_EQ(a.eventLog().entries().back().level, 2);
  EXPECT_NE(a.eventLog().entries().back().text.find("Taskmgr.exe"), std::string::npos);
  EXPECT_EQ(log_.count("Taskmgr.exe"), 1);  // into agent.log once, through the event log
}

TEST_F(AgentTest, SaveIsDebouncedTo700Ms) {
  Agent& a = startAgent();
  auto saves = [&] {
    a.finishSettingsWrites();
    return log_.count("设置已保存");
  };
  const int before = saves();
  a.settingsDirty = true;
  a.agentTick();
  EXPECT_EQ(saves(), before + 1);
  clock_ += 100;
  a.settingsDirty = true;
  a.agentTick();
  clock_ += 599;
  a.agentTick();
  EXPECT_EQ(saves(), before + 1);
  clock_ += 2;
  a.agentTick();
  EXPECT_EQ(saves(), before + 2);
}

// ---- settings ----

TEST(AgentSettingsFile, DefaultFileHasExactBytes) {
  const std::string expected =
      "{\n \"autoDiscover\": true,\n \"captureOn\": false,\n \"excludeSelf\": true,\n \"fps\": 25,\n"
      " \"hubIp\": \"\",\n \"hubPort\": 24690,\n \"maxW\": 1600,\n \"monitor\": 0,\n \"quality\": 62,\n"
      " \"regionH\": 0,\n \"regionMode\": 0,\n \"regionW\": 0,\n \"regionX\": 0,\n \"regionY\": 0,\n"
      " \"staticSkip\": false,\n \"trayOnStart\": false\n}";
  EXPECT_EQ(serializeSettings(AgentSettings{}), expected);
  AgentSettings s;
  s.hubIp = "大厅";
  EXPECT_NE(serializeSettings(s).find("\"hubIp\": \"大厅\""), std::string::npos);
  // The pointer key appears only when it differs from the default, and reads back.
  s.drawCursor = false;
  EXPECT_NE(serializeSettings(s).find("\"drawCursor\": false,\n \"excludeSelf\""), std::string::npos);
  AgentSettings back;
  EXPECT_EQ(parseSettings(serializeSettings(s), true, back), SettingsParse::Loaded);
  EXPECT_FALSE(back.drawCursor);
}

TEST(AgentSettingsFile, MalformedFilesAndMembers) {
  struct Case {
    const char* text;
    SettingsParse result;
    int quality;
    bool captureOn;
    std::uint16_t hubPort;
  };
  const Case cases[] = {
      {"", SettingsParse::Corrupt, 62, false, 24690},
      {"[]", SettingsParse::Corrupt, 62, false, 24690},
      {"{", SettingsParse::Corrupt, 62, false, 24690},
      {"{\"quality\": 5, ", SettingsParse::Corrupt, 62, false, 24690},
      {"{}", SettingsParse::Loaded, 62, false, 24690},
      {R"({"quality":"high","captureOn":1,"fps":30})", SettingsParse::Loaded, 62, false, 24690},
      {R"({"quality":1e300,"captureOn":true})", SettingsParse::Loaded, 2147483647, true, 24690},
      {R"({"quality":4294967297})", SettingsParse::Loaded, 2147483647, false, 24690},
      {R"({"quality":-1e300})", SettingsParse::Loaded, -2147483647 - 1, false, 24690},
      {R"({"hubPort":1234})", SettingsParse::Loaded, 62, false, 24690},  // no hubIp: port unread
      {R"({"hubIp":"10.0.0.7","hubPort":90000})", SettingsParse::Loaded, 62, false, 24464},
      {R"({"hubIp":7,"hubPort":1234})", SettingsParse::Loaded, 62, false, 24690},
  };
  for (const Case& c : cases) {
    AgentSettings s;
    EXPECT_EQ(parseSettings(c.text, true, s), c.result) << c.text;
    EXPECT_EQ(s.quality, c.quality) << c.text;
    EXPECT_EQ(s.captureOn, c.captureOn) << c.text;
    EXPECT_EQ(s.hubPort, c.hubPort) << c.text;
  }
  AgentSettings s;
  parseSettings(R"({"quality":"high","fps":30})", true, s);
  EXPECT_EQ(s.fps, 30);  // the rest of the file still loads
}

TEST_F(AgentTest, CorruptAndEmptyFilesAtStart) {
  writeSettings("[]");
  startAgent().stop();
  EXPECT_TRUE(log_.contains("设置文件损坏，已忽略"));
  EXPECT_FALSE(log_.contains("已恢复上次设置"));
  writeSettings("{}");
  startAgent().stop();
  EXPECT_TRUE(log_.contains("已恢复上次设置： Pad 端 （未指定） / 自动发现 开 / 推流区域 显示器 1 / 1600px / 质量 62 / 25 fps"));
}

TEST_F(AgentTest, CommandLineRegionIsNotWrittenBackButHubIs) {
  writeSettings(R"({"regionMode":0,"monitor":1})");
  Agent& a = startAgent();
  a.setRegionOverride(CaptureRegion::custom(100, 50, 640, 480));
  a.useCommandLineHub("127.0.0.9");
  a.settings.region = CaptureRegion::monitor(0);  // the panel changes it during the run
  a.saveSettings();
  const nlohmann::json j = nlohmann::json::parse(readSettings());
  EXPECT_EQ(j["monitor"], 1);
  EXPECT_EQ(j["regionMode"], 0);
  EXPECT_EQ(j["hubIp"], "127.0.0.9");
  EXPECT_EQ(j["hubPort"], 24690);
  EXPECT_EQ(j["autoDiscover"], false);
  EXPECT_TRUE(log_.contains("命令行指定了推流区域（只影响本次运行，不写回设置）"));
}

// ---- discovery ----

TEST(AgentDiscoveryReply, ParsesOnlyWellFormedReplies) {
  struct Case {
    std::string datagram;
    bool ok;
    std::string address;
    std::uint16_t port;
    std::string name;
  };
  const Case cases[] = {
      {R"(VL-HUB!V1|{"ip":"10.0.0.7","port":24690,"name":"大厅中控"})", true, "10.0.0.7", 24690, "大厅中控"},
      {"VL-HUB!V1|{}", true, "192.168.1.50", 24690, "192.168.1.50"},
      {R"(VL-HUB!V1|{"port":90000})", true, "192.168.1.50", 24464, "192.168.1.50"},
      {R"(VL-HUB!V1xx|{"port":7.9})", true, "192.168.1.50", 7, "192.168.1.50"},
      {"VL-HUB!V1", false, "", 0, ""},
      {R"(VL-HUB!V1{"ip":"1.2.3.4"})", false, "", 0, ""},
      {R"(vl-hub!v1|{})", false, "", 0, ""},
      {"VL-HUB!V1|[1]", false, "", 0, ""},
      {R"(VL-HUB!V1|{"ip":7})", false, "", 0, ""},
      {R"(VL-HUB!V1|{"port":"24690"})", false, "", 0, ""},
      {R"(VL-HUB!V1|{"port":true})", false, "", 0, ""},
      {R"(VL-HUB!V1|{"name":[]})", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    PadReply r;
    ASSERT_EQ(parseDiscoveryReply(c.datagram, "192.168.1.50", r), c.ok) << c.datagram;
    if (!c.ok) continue;
    EXPECT_EQ(r.address, c.address);
    EXPECT_EQ(r.port, c.port);
    EXPECT_EQ(r.name, c.name);
  }
}

TEST_F(AgentTest, FirstAnsweringPadIsAdoptedAndLoggedOnce) {
  net::UdpSocket pad;
  ASSERT_TRUE(pad.open(0, false, "127.0.0.1"));
  probeTargets_ = {{"127.0.0.1", pad.localPort()}};
  Agent& a = startAgent();
  clock_ = 20000;
  for (int round = 0; round < 3; ++round) {
    clock_ += 2600;
    a.agentTick();  // probes
    char buffer[64];
    std::string from;
    std::uint16_t fromPort = 0;
    int n = 0;
    for (int i = 0; i < 200 && n <= 0; ++i, sleepMs(5)) n = pad.receiveFrom(buffer, sizeof buffer, from, fromPort);
    ASSERT_EQ(std::string(buffer, static_cast<std::size_t>(std::max(n, 0))), "VL-FIND?V1");
    const std::string bad = R"(VL-HUB!V1|{"ip":"127.0.0.2","port":"x"})";
    const std::string good = "VL-HUB!V1|{\"ip\":\"127.0.0.3\",\"port\":1,\"name\":\"大厅\\n中控\"}";
    pad.sendTo(from, fromPort, bad.data(), static_cast<int>(bad.size()));
    pad.sendTo(from, fromPort, good.data(), static_cast<int>(good.size()));
    sleepMs(20);
    a.settingsDirty = false;
    a.readReplies();
    if (round == 0) {
      EXPECT_TRUE(a.settingsDirty);
    }
  }
  EXPECT_EQ(a.settings.hubIp, "127.0.0.3");
  EXPECT_EQ(a.settings.hubPort, 1);
  EXPECT_EQ(a.hubName, "大厅?中控");
  EXPECT_EQ(log_.count("发现 Pad 端: 大厅?中控 (127.0.0.3:1)"), 1);
  EXPECT_EQ(a.discoveredPads.size(), 1u);
}

// ---- Pad link ----


class PadLinkTest : public AgentTest {
 protected:
  void linkUp() {
    ASSERT_TRUE(pad_.listen());
    Agent& a = startAgent();
    a.settings.autoDiscover = false;
    a.settings.hubIp = "127.0.0.1";
    a.settings.hubPort = pad_.port;
    for (int i = 0; i < 200 && !(a.linkConnected && pad_.count("hello") > 0); ++i) {
      a.agentTick();
      pad_.poll();
      sleepMs(2);
    }
    ASSERT_TRUE(a.linkConnected);
    ASSERT_EQ(pad_.count("hello"), 1);
  }
  void exchange(int passes = 20) {
    for (int i = 0; i < passes; ++i) {
      pad_.poll();
      agent_->agentTick();
      sleepMs(2);
    }
  }
  FakePad pad_;
};

TEST_F(PadLinkTest, HelloWelcomeAndHeartbeat) {
  linkUp();
  const nlohmann::json hello = nlohmann::json::parse(pad_.received.front());
  EXPECT_EQ(hello["id"], agent_->agentId());
  EXPECT_EQ(hello["echoPort"], agent_->echoPort());
  EXPECT_EQ(hello["w"], 1920);
  EXPECT_EQ(hello["caps"], nlohmann::json::array({"echo", "push"}));
  EXPECT_EQ(pad_.received.front().rfind("{\"caps\":[\"echo\",\"push\"],\"echoPort\":", 0), 0u);
  pad_.send({R"({"t":"welcome","hubName":"大厅中控"})"});
  exchange();
  EXPECT_EQ(agent_->linkStatus, "已连接 大厅中控");
  EXPECT_TRUE(log_.contains("Pad 端握手完成: 大厅中控"));
  clock_ += 1001;
  exchange();
  EXPECT_EQ(pad_.count("hb"), 1);
}

TEST_F(PadLinkTest, EchoConfigClampsAndSwitchesStreaming) {
  linkUp();
  pad_.send({R"({"t":"echo.cfg","quality":200,"maxW":100,"fps":0,"on":true})"});
  exchange();
  EchoService& e = *agent_->echo();
  EXPECT_EQ(e.quality(), 95);
  EXPECT_EQ(e.maxWidth(), 320);
  EXPECT_EQ(e.fps(), 1);
  EXPECT_TRUE(e.captureOn.load());
  EXPECT_TRUE(log_.contains("Pad 端下发推流参数：质量 95 / 宽 320 / 帧率 1 / 开播"));
  pad_.send({R"({"t":"echo.cfg","quality":50})", R"({"t":"echo.cfg","quality":"x","on":1})"});
  exchange();
  EXPECT_EQ(e.quality(), 50);
  EXPECT_TRUE(e.captureOn.load());  // the second: wrong-typed quality ignored, on=1
  EXPECT_TRUE(log_.contains("质量 50 / 宽 320 / 帧率 1 / 停播"));
  EXPECT_EQ(agent_->settings.quality, 50);
}

TEST_F(PadLinkTest, KickAmongSeveralMessagesEndsHandlingAndReconnectsLater) {
  linkUp();
  const std::string huge(1 << 20, 'x');
  pad_.send({R"({"t":"toast","msg":"第一\n条"})", R"({"t":"kick","reason":"重复登录"})",
             R"({"t":"toast","msg":"after"})"});
  exchange();
  EXPECT_TRUE(log_.contains("Pad 端提示: 第一?条"));
  EXPECT_FALSE(log_.contains("Pad 端提示: after"));
  EXPECT_TRUE(log_.contains("断开 Pad 端：被 Pad 端断开: 重复登录"));
  EXPECT_EQ(agent_->linkStatus, "未连接（被 Pad 端断开: 重复登录）");
  clock_ += 3000;
  exchange();
  EXPECT_FALSE(agent_->linkConnected || agent_->linkConnecting);
  clock_ += 1;
  exchange(100);
  EXPECT_TRUE(agent_->linkConnected);
  EXPECT_EQ(pad_.count("hello"), 2);
  pad_.send({"{\"t\":\"toast\",\"msg\":\"" + huge + "\"}"});
  exchange(50);
  const auto& last = agent_->eventLog().entries().back().text;
  EXPECT_LE(last.size(), std::string("Pad 端提示: ").size() + kPadTextMax);
}

// A megabyte-scale run of "[" once took gigabytes to parse; a message over
// the text limit is not parsed at all, and neither ends the link.
TEST_F(PadLinkTest, OversizedAndDeepMessagesAreIgnoredAndTheLinkStays) {
  linkUp();
  std::string padded = R"({"t":"toast","msg":"too big"})";
  padded.resize(kMaxTextFrameBytes + 1, ' ');
  pad_.send({std::string(4 << 20, '['), padded, R"({"t":"toast","msg":"after"})"});
  exchange(100);
  EXPECT_FALSE(log_.contains("Pad 端提示: too big"));
  EXPECT_TRUE(log_.contains("Pad 端提示: after"));
  EXPECT_TRUE(agent_->linkConnected);
}

TEST_F(AgentTest, ThreeFailuresFallBackToDiscoveryUnlessFromCommandLine) {
  for (bool commandLine : {false, true}) {
    Agent& a = startAgent();
    a.settings.hubIp = "127.0.0.1";
    a.settings.hubPort = 1;  // refused
    if (commandLine) a.hubGivenOnCommandLine = true;
    for (int attempt = 0; attempt < 3; ++attempt) {
      clock_ += 3001;
      for (int i = 0; i < 100 && !a.linkConnecting && a.lastFailureMs != clock_; ++i) a.agentTick();
      for (int i = 0; i < 200 && a.linkConnecting; ++i, sleepMs(2)) a.agentTick();
    }
    if (commandLine) {
      EXPECT_EQ(a.settings.hubIp, "127.0.0.1");
    } else {
      EXPECT_EQ(a.settings.hubIp, "");
      EXPECT_TRUE(log_.contains("记住的 Pad 端 127.0.0.1:1 连续 3 次连不上，改为自动发现"));
      EXPECT_TRUE(a.settingsDirty);
    }
    a.stop();
  }
}

TEST(AgentPadText, CutAtCharacterBoundaryWithoutControlBytes) {
  EXPECT_EQ(padTextForDisplay("a\r\nb\x7f"), "a??b?");
  std::string chinese;
  for (int i = 0; i < 200; ++i) chinese += "中";  // 600 bytes
  const std::string cut = padTextForDisplay(chinese);
  EXPECT_EQ(cut.size(), 510u);
  EXPECT_EQ(cut, chinese.substr(0, 510));
  EXPECT_EQ(padTextForDisplay(std::string(100000, 'x')).size(), kPadTextMax);
}


// The headless loop sleeps until the earliest of the agent's timers: each
// component's own, alone and together, on the fake clock (now 10000).
TEST_F(AgentTest, TheTicksWaitEndsAtTheEarliestDueTimer) {
  Agent& a = startAgent();
  struct Case {
    const char* name;
    std::function<void(Agent&)> arrange;
    std::uint64_t due;
  };
  constexpr std::uint64_t kNever = net::WaitSet::kNever;
  const Case cases[] = {
      {"nothing to do", [](Agent&) {}, kNever},
      {"settings changed at 9800: the debounce", [](Agent& g) {
         g.settingsDirty = true;
         g.lastSaveMs = 9800;
       }, 10501},
      {"discovery, last probe 9000", [](Agent& g) {
         g.settings.autoDiscover = true;
         g.lastProbeMs = 9000;
       }, 11501},
      {"debounce before the probe", [](Agent& g) {
         g.settings.autoDiscover = true;
         g.lastProbeMs = 9000;
         g.settingsDirty = true;
         g.lastSaveMs = 9800;
       }, 10501},
      {"a Pad address never tried: now", [](Agent& g) { g.settings.hubIp = "10.9.9.9"; }, 10000},
      {"a Pad address that failed at 9500: the retry", [](Agent& g) {
         g.settings.hubIp = "10.9.9.9";
         g.lastFailureMs = 9500;
       }, 12501},
      {"linked, last heartbeat 9900: the next, not a retry", [](Agent& g) {
         g.settings.hubIp = "10.9.9.9";
         g.linkConnected = true;
         g.lastHeartbeatMs = 9900;
       }, 10901},
      {"a probe overdue", [](Agent& g) {
         g.settings.autoDiscover = true;
         g.lastProbeMs = 1000;
       }, 3501},
  };
  for (const Case& c : cases) {
    a.settings.autoDiscover = false;
    a.settings.hubIp.clear();
    a.settingsDirty = false;
    a.linkConnected = false;
    a.lastFailureMs = 0;
    c.arrange(a);
    net::WaitSet waits;
    a.planWait(waits);
    EXPECT_EQ(waits.dueMs(), c.due) << c.name;
    // The agent's wake signal and the system-control port, whatever the case.
    EXPECT_GE(waits.entries().size(), 2u) << c.name;
  }
  a.linkConnected = false;
}

// Another thread's news (a settings write that failed, a posted event) ends
// the tick's wait instead of waiting for the next timer.
TEST_F(AgentTest, PostedEventsWakeTheTick) {
  Agent& a = startAgent();
  a.settings.autoDiscover = false;
  a.settings.hubIp.clear();
  a.settingsDirty = false;
  net::WaitSet waits;
  a.agentTick();
  a.planWait(waits);
  EXPECT_EQ(waits.wait(clock_, 0), 0);
  std::thread other([] { postEvent(2, "from the echo thread"); });
  other.join();
  EXPECT_EQ(waits.wait(clock_), 1);  // no timer: only the notice ends it
  a.agentTick();
  EXPECT_EQ(waits.wait(clock_, 0), 0);  // drained by the tick
}

}  // namespace
}  // namespace vl::test
