// Reverse input through the echo service: mapping to the region in effect,
// the log limit, the button watchdog and letting go at disconnect.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "echo/viewer_input.h"
#include "service_fixture.h"

namespace vl::test {
namespace {

using Calls = std::vector<std::string>;

class EchoInputTest : public EchoServiceTest {
 protected:
  void SetUp() override {
    EchoServiceTest::SetUp();
    source_->monitors = {MonitorInfo{0, 0, 1920, 1080, true, "A"}, MonitorInfo{1920, 0, 1280, 1024, false, "B"}};
    useFakeClock();
    ASSERT_TRUE(connect(viewer_));
  }
  // Moves the fake clock on, then delivers an input message.
  void input(const std::string& members, std::uint64_t advanceMs = 1) {
    fakeNow_ += advanceMs;
    deliver(viewer_, R"({"t":"input",)" + members + "}");
  }
  void advanceAndPump(std::uint64_t ms) {
    fakeNow_ += ms;
    service_->pumpOnce();
  }
  TestViewer viewer_;
};

TEST_F(EchoInputTest, InputBeforeAnyCaptureMapsToMonitorZeroAndIsLoggedAtMostEvery800ms) {
  input(R"("type":"mv","u":0.5,"v":0.25)");
  EXPECT_EQ(service_->lastInputMs(), fakeNow_.load());
  EXPECT_EQ(log_.count("反控输入: move (0.500, 0.250)"), 1);
  input(R"("type":"move","u":0.75,"x":0.25,"v":0.5)", 800);  // exactly 800 ms later: not logged
  input(R"("type":"md","x":1.5,"y":-2,"btn":1)", 1);
  EXPECT_EQ(log_.count("反控输入: "), 2);
  EXPECT_TRUE(log_.contains("反控输入: down (1.500, -2.000)"));
  EXPECT_EQ(injector_->calls, (Calls{"move 0.500 0.250 @1920x1080+0+0", "move 0.250 0.500 @1920x1080+0+0",
                                       "move 1.500 -2.000 @1920x1080+0+0", "button 1 down"}));
  EXPECT_EQ(service_->viewers().at(1).buttonMask, 2u);
}

TEST_F(EchoInputTest, AViewerCannotForgeLogLinesThroughTheEventType) {
  input(R"("type":"x\n[12:00:00.000][AGENT][ERROR] forged","u":0.5,"v":0.5)");
  EXPECT_EQ(log_.count("反控输入: x?[12:00:00.000][AGENT][ERROR] forged (0.500, 0.500)"), 1);
  for (const auto& line : log_.lines()) EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
}

TEST_F(EchoInputTest, EveryEventKindReachesTheInjector) {
  input(R"("type":"down","btn":7)");
  input(R"("type":"up","btn":7)");
  input(R"("type":"click","btn":2,"u":0.1,"v":0.2)");
  input(R"("type":"dbl","u":1,"v":1)");
  input(R"("type":"wheel","delta":-2,"ctrl":"yes","u":0.5,"v":0.5)");
  input(R"("type":"wheel","delta":3,"ctrl":"0")");
  input(R"("type":"key","vk":37)");
  input(R"("type":"key","vk":37,"down":false)");
  input(R"("type":"text","s":"a😀\r\n")");
  input(R"("type":"launch","u":0.3)");
  input(R"("u":0.3)");
  EXPECT_EQ(injector_->calls,
            (Calls{"move 0.000 0.000 @1920x1080+0+0", "button 0 down", "move 0.000 0.000 @1920x1080+0+0",
                   "button 0 up", "click 2 0.100 0.200 @1920x1080+0+0", "dbl 0 1.000 1.000 @1920x1080+0+0",
                   "move 0.500 0.500 @1920x1080+0+0", "wheel -2 ctrl", "move 0.000 0.000 @1920x1080+0+0",
                   "wheel 3", "key 0x25 down", "key 0x25 up", "text a😀\r\n"}));
  EXPECT_EQ(service_->viewers().at(1).buttonMask, 0u);
  EXPECT_TRUE(service_->viewers().at(1).heldKeys.empty());
}

TEST_F(EchoInputTest, WatchdogReleasesButtonsAfterMoreThan1500msOfSilence) {
  input(R"("type":"md","btn":1)");
  injector_->calls.clear();
  advanceAndPump(1500);
  EXPECT_TRUE(injector_->calls.empty());
  advanceAndPump(1);
  EXPECT_EQ(injector_->calls, (Calls{"button 1 up"}));
  EXPECT_EQ(log_.count("反控按键看门狗: 静默超过 1.5s ⇒ 自动松开按键(mask=2)。"), 1);
  EXPECT_EQ(service_->viewers().at(1).buttonMask, 0u);
  // Nothing is held any more: neither the watchdog nor the disconnect acts.
  advanceAndPump(5000);
  viewer_.close();
  ASSERT_TRUE(pumpUntil([&] { return service_->viewers().empty(); }));
  EXPECT_EQ(injector_->calls.size(), 1u);
  EXPECT_EQ(log_.count("反控按键看门狗"), 1);
}

TEST_F(EchoInputTest, AnyInputKeepsButtonsHeldButKeysAreNeverReleasedForSilence) {
  input(R"("type":"down","btn":0)");
  input(R"("type":"key","vk":16)");
  for (int i = 0; i < 4; ++i) input(R"("type":"text","s":"x")", 1000);
  advanceAndPump(1000);
  EXPECT_EQ(service_->viewers().at(1).buttonMask, 1u);
  advanceAndPump(10000);
  const Calls calls = injector_->calls;
  EXPECT_EQ(calls.back(), "button 0 up");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "key 0x10 up"), 0);
  EXPECT_EQ(service_->viewers().at(1).heldKeys, (std::vector<std::uint16_t>{0x10}));
}

TEST_F(EchoInputTest, DisconnectReleasesHeldButtonsAndKeys) {
  for (const char* held : {R"("type":"down","btn":0)", R"("type":"md","btn":2)", R"("type":"down","btn":1)",
                           R"("type":"key","vk":16)", R"("type":"key","vk":162)",
                           R"("type":"key","vk":162)",  // auto-repeat
                           R"("type":"key","vk":65)", R"("type":"key","vk":65,"down":false)",
                           R"("type":"key","vk":65573)",               // tracked as 0x25
                           R"("type":"key","vk":153,"down":false)"})  // never pressed
    input(held);
  EXPECT_EQ(service_->viewers().at(1).heldKeys, (std::vector<std::uint16_t>{0x10, 0xA2, 0x25}));
  injector_->calls.clear();
  viewer_.close();
  ASSERT_TRUE(pumpUntil([&] { return service_->viewers().empty(); }));
  // Buttons left, right, middle; keys last pressed first.
  EXPECT_EQ(injector_->calls, (Calls{"button 0 up", "button 1 up", "button 2 up", "key 0x25 up", "key 0xA2 up",
                                      "key 0x10 up"}));
  EXPECT_EQ(log_.count("反控按键看门狗: 观看端断开 ⇒ 自动松开按键(mask=7)。"), 1);
  EXPECT_EQ(log_.count("反控按键看门狗: 观看端断开 ⇒ 自动松开键盘按键(vk=0x25,0xA2,0x10)。"), 1);
  const std::vector<std::string> lines = log_.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("[WARN ] 反控按键看门狗: 观看端断开") != l.npos; }),
            2);
}

TEST(ViewerInput, HeldKeyListStaysBounded) {
  RecordingInjector injector;
  ViewerState viewer;
  InputMessage m;
  m.type = "key";
  for (m.vk = 1; m.vk < 5000; ++m.vk) applyInput(viewer, m, injector);
  EXPECT_EQ(viewer.heldKeys.size(), 256u);
}

TEST_F(EchoInputTest, EachViewerHasItsOwnButtonsAndRegion) {
  TestViewer other;
  ASSERT_TRUE(connect(other));
  input(R"("type":"down","btn":2)");
  fakeNow_ += 1000;
  deliver(other, R"({"t":"input","type":"move"})");
  advanceAndPump(600);  // viewer 1 silent for 1600 ms, viewer 2 for 600 ms
  EXPECT_EQ(service_->viewers().at(1).buttonMask, 0u);
  EXPECT_TRUE(log_.contains("mask=4"));
  EXPECT_TRUE(service_->viewers().at(1).regionValid);
  EXPECT_TRUE(service_->viewers().at(2).regionValid);
  EXPECT_EQ(service_->viewers().at(2).inputRegion.width, 1920);
}

TEST_F(EchoInputTest, RegionThatResolvesEmptyFallsBackToTheFirstMonitor) {
  service_->setRegion(CaptureRegion{kRegionModeCustom, 0, 10, 10, 0, 0});
  service_->captureOn = true;
  advanceAndPump(1);  // applies the region
  input(R"("type":"move","u":0.5,"v":0.5)");
  EXPECT_EQ(injector_->calls, (Calls{"move 0.500 0.500 @1920x1080+0+0"}));
}

// Until the agent has noticed a changed desktop, the frames still show the
// rectangle opened before; input must land where those frames show it. Once
// the change is applied, capture and input move together, without a second
// log line besides the agent's own.
TEST_F(EchoInputTest, InputMapsToTheRectangleOfTheFramesSentAcrossADisplayChange) {
  TestViewer late;
  ASSERT_TRUE(connect(late));
  service_->captureOn = true;
  advanceAndPump(1);
  ASSERT_EQ(source_->opens, 1);
  source_->monitors = {MonitorInfo{0, 0, 1280, 720, true, "A"}};  // the screen shrank
  fakeNow_ += 1;
  deliver(late, R"({"t":"input","type":"move","u":1,"v":1})");
  EXPECT_EQ(injector_->calls.back(), "move 1.000 1.000 @1920x1080+0+0");

  log_.clear();
  service_->displayChanged();
  advanceAndPump(100);
  EXPECT_EQ(source_->opens, 2);
  EXPECT_EQ(source_->closes, 1);
  input(R"("type":"move","u":1,"v":1)");
  EXPECT_EQ(injector_->calls.back(), "move 1.000 1.000 @1280x720+0+0");
  fakeNow_ += 1;
  deliver(late, R"({"t":"input","type":"move","u":0,"v":0})");
  EXPECT_EQ(injector_->calls.back(), "move 0.000 0.000 @1280x720+0+0");
  EXPECT_FALSE(log_.contains("采集区域"));
  EXPECT_EQ(service_->currentRegion(), CaptureRegion::monitor(0));
}

TEST_F(EchoInputTest, InputOnlyViewerFollowsARegionChangedWhileNothingIsCaptured) {
  // Nobody subscribes and captureOn stays off, so no capture stage runs.
  const struct {
    CaptureRegion region;
    const char* expected;
  } cases[] = {
      {CaptureRegion::monitor(1), "move 0.500 0.500 @1280x1024+1920+0"},
      {CaptureRegion::custom(100, 200, 800, 600), "move 0.500 0.500 @800x600+100+200"},
      {CaptureRegion::monitor(0), "move 0.500 0.500 @1920x1080+0+0"},
      {CaptureRegion::custom(-640, 50, 320, 240), "move 0.500 0.500 @320x240-640+50"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    service_->setRegion(c.region);
    input(R"("type":"move","u":0.5,"v":0.5)");
    ASSERT_FALSE(injector_->calls.empty());
    EXPECT_EQ(injector_->calls.back(), c.expected);
    EXPECT_EQ(service_->currentRegion(), c.region);
  }
  EXPECT_EQ(service_->subscriberCount(), 0);
  EXPECT_EQ(source_->opens, 0);
}

// --- how much input one pass does -------------------------------------------

std::size_t codePoints(const std::string& utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

class EchoInputBudget : public EchoInputTest {
 protected:
  void message(const std::string& members) {
    const std::string text = R"({"t":"input",)" + members + "}";
    service_->deliverFrameForTest(1, net::FrameKind::Text, reinterpret_cast<const std::uint8_t*>(text.data()),
                                  text.size());
  }
  // The calls made since the last take.
  Calls take() {
    Calls calls;
    calls.swap(injector_->calls);
    return calls;
  }
  bool queueEmpty() const { return service_->viewers().at(1).pendingInput.empty(); }
};

TEST_F(EchoInputBudget, LongTextAndDoubleClickBurstsAreSpreadOverPassesInOrder) {
  std::string typed;
  for (int i = 0; i < 1000; ++i) typed += i % 3 == 0 ? std::string("é") : std::string(1, static_cast<char>('a' + i % 26));
  message(R"("type":"text","s":")" + typed + "\"");
  message(R"("type":"key","vk":16)");
  for (int i = 0; i < 5; ++i) message(R"("type":"dbl","u":0.5,"v":0.5)");
  message(R"("type":"key","vk":16,"down":false)");
  std::vector<Calls> passes{take()};
  for (int i = 0; i < 20; ++i) {
    service_->pumpOnce(0);
    passes.push_back(take());
  }
  EXPECT_TRUE(queueEmpty());
  Calls all;
  std::string joined;
  for (const Calls& pass : passes) {
    std::size_t points = 0;
    int doubles = 0;
    for (const std::string& call : pass) {
      if (call.rfind("text ", 0) == 0) {
        points += codePoints(call.substr(5));
        joined += call.substr(5);
      } else {
        doubles += call.rfind("dbl ", 0) == 0 ? 1 : 0;
        all.push_back(call);
      }
    }
    EXPECT_LE(points, kTextCodePointsPerPass);
    EXPECT_LE(doubles, kDoubleClicksPerPass);
  }
  EXPECT_EQ(joined, typed);
  const std::string dbl = "dbl 0 0.500 0.500 @1920x1080+0+0";
  EXPECT_EQ(all, (Calls{"key 0x10 down", dbl, dbl, dbl, dbl, dbl, "key 0x10 up"}));
  // The text came before everything sent after it.
  std::size_t lastText = 0, firstOther = 0;
  for (std::size_t i = 0, n = 0; i < passes.size(); ++i)
    for (const std::string& call : passes[i]) {
      if (call.rfind("text ", 0) == 0) lastText = n;
      else if (firstOther == 0) firstOther = n;
      ++n;
    }
  EXPECT_LT(lastText, firstOther);
}

TEST_F(EchoInputBudget, QueueIsCappedAndDropsAreWarnedAboutAtMostOncePerSecond) {
  const std::string chunk(60000, 'x');
  const std::string text = R"("type":"text","s":")" + chunk + "\"";
  for (int i = 0; i < 40; ++i) message(text);
  EXPECT_EQ(log_.count("反控输入积压"), 1);
  fakeNow_ += 1000;
  message(text);
  EXPECT_EQ(log_.count("反控输入积压"), 2);
  EXPECT_EQ(log_.count("条未记）"), 1);
  // Whatever was taken is typed in full.
  for (int i = 0; i < 100000 && !queueEmpty(); ++i) service_->pumpOnce(0);
  ASSERT_TRUE(queueEmpty());
  std::size_t bytes = 0;
  for (const std::string& call : take()) {
    ASSERT_EQ(call.find_first_not_of('x', 5), std::string::npos);
    bytes += call.size() - 5;
  }
  EXPECT_EQ(bytes % chunk.size(), 0u);
  EXPECT_GE(bytes + chunk.size(), kMaxQueuedInputBytes);
  EXPECT_LE(bytes, kMaxQueuedInputBytes + chunk.size());
}

}  // namespace
}  // namespace vl::test
