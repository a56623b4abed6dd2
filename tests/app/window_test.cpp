// The shared parts of the window shell that decide things on their own.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "app/window.h"
#include "support/test_support.h"

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


// Records every call; creation and initialisation answer from their scripts
// (true once a script runs out).
class ScriptedRenderer final : public RendererDevice {
 public:
  std::deque<bool> creates;
  std::deque<bool> inits;
  std::string calls;
  bool createDevice() override { return answer("create", creates); }
  void destroyDevice() override { note("destroy"); }
  bool initBackend() override { return answer("init", inits); }
  void shutdownBackend() override { note("shutdown"); }

 private:
  void note(const char* call) { calls += calls.empty() ? call : std::string(" ") + call; }
  bool answer(const char* call, std::deque<bool>& script) {
    note(call);
    const bool ok = script.empty() || script.front();
    if (!script.empty()) script.pop_front();
    return ok;
  }
};

TEST(RendererKeeper, RebuildsALostDeviceAtMostOnceASecondAndShutsDownOnlyWhatIsUp) {
  enum class Step { Start, Lost, Ready, Exit };
  struct Action {
    Step step;
    std::uint64_t nowMs;
    bool expect;  // Start and Ready: the result
  };
  struct Case {
    const char* name;
    std::deque<bool> creates;
    std::deque<bool> inits;
    std::vector<Action> actions;
    const char* calls;
    std::vector<std::string> logs;
  } cases[] = {
      {"a normal run", {}, {}, {{Step::Start, 0, true}, {Step::Ready, 10, true}, {Step::Exit, 20, false}},
       "create init shutdown destroy", {}},
      {"no device at start: the exit releases nothing", {false}, {}, {{Step::Start, 0, false}, {Step::Exit, 5, false}},
       "create", {}},
      {"the backend failed at start: only the device is released", {}, {false},
       {{Step::Start, 0, false}, {Step::Exit, 5, false}}, "create init destroy", {}},
      {"lost and rebuilt at once", {}, {},
       {{Step::Start, 0, true}, {Step::Lost, 100, false}, {Step::Ready, 100, true}, {Step::Exit, 200, false}},
       "create init shutdown destroy create init shutdown destroy", {"渲染设备丢失（0x887A0005）"}},
      {"a failed rebuild is retried once a second, then succeeds", {true, false, false, true}, {},
       {{Step::Start, 1000, true},
        {Step::Lost, 5000, false},
        {Step::Ready, 5001, false},
        {Step::Ready, 5999, false},
        {Step::Ready, 6000, false},
        {Step::Ready, 6500, false},
        {Step::Ready, 7000, true},
        {Step::Ready, 7001, true},
        {Step::Exit, 8000, false}},
       "create init shutdown destroy create create create init shutdown destroy",
       {"渲染设备丢失", "渲染设备重建失败", "渲染设备已重建"}},
      {"exit while the rebuild keeps failing touches nothing", {true, false}, {},
       {{Step::Start, 0, true}, {Step::Lost, 50, false}, {Step::Ready, 60, false}, {Step::Exit, 70, false}},
       "create init shutdown destroy create", {"渲染设备丢失", "渲染设备重建失败"}},
      {"a device without its backend is not kept", {}, {true, false}, 
       {{Step::Start, 0, true}, {Step::Lost, 50, false}, {Step::Ready, 60, false}, {Step::Ready, 1050, true},
        {Step::Exit, 1100, false}},
       "create init shutdown destroy create init destroy create init shutdown destroy",
       {"渲染设备丢失", "渲染设备重建失败", "渲染设备已重建"}},
      {"a half start is completed by the first frame", {}, {false},
       {{Step::Start, 0, false}, {Step::Ready, 10, true}, {Step::Exit, 20, false}},
       "create init destroy create init shutdown destroy", {}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedRenderer renderer;
    renderer.creates = c.creates;
    renderer.inits = c.inits;
    RendererKeeper keeper(renderer);
    test::LogCapture log;
    for (const Action& a : c.actions) {
      switch (a.step) {
        case Step::Start: EXPECT_EQ(keeper.start(), a.expect) << "start"; break;
        case Step::Lost: keeper.lost(a.nowMs, 0x887A0005ul); break;
        case Step::Ready: EXPECT_EQ(keeper.ready(a.nowMs), a.expect) << "ready at " << a.nowMs; break;
        case Step::Exit:
          keeper.shutDownBackend();
          keeper.shutDown();
          EXPECT_FALSE(keeper.deviceUp() || keeper.backendUp());
          break;
      }
    }
    EXPECT_EQ(renderer.calls, c.calls);
    const std::vector<std::string> messages = log.messages();
    ASSERT_EQ(messages.size(), c.logs.size());
    for (std::size_t i = 0; i < messages.size(); ++i)
      EXPECT_NE(messages[i].find(c.logs[i]), std::string::npos) << messages[i];
  }
}

TEST(TrayAddRetry, AFewAttemptsSecondsApartAfterAFailure) {
  TrayAddRetry retry;
  EXPECT_FALSE(retry.due(100000));  // nothing failed
  retry.attempted(false, 1000);
  EXPECT_TRUE(retry.firstFailure());
  EXPECT_FALSE(retry.due(1000 + kTrayAddRetryMs - 1));
  int attempts = 0;
  std::uint64_t now = 1000;
  while (retry.due(now + kTrayAddRetryMs) && attempts < 100) {
    now += kTrayAddRetryMs;
    retry.attempted(false, now);
    EXPECT_FALSE(retry.firstFailure());
    ++attempts;
  }
  EXPECT_EQ(attempts, kTrayAddRetries);
  EXPECT_FALSE(retry.due(now + 60000));  // given up
  retry.reset();                         // the shell restarted
  EXPECT_FALSE(retry.due(now + 60000));
  retry.attempted(false, now);
  EXPECT_TRUE(retry.firstFailure());
  EXPECT_TRUE(retry.due(now + kTrayAddRetryMs));
  retry.attempted(true, now + kTrayAddRetryMs);
  EXPECT_FALSE(retry.due(now + 10 * kTrayAddRetryMs));
}

}  // namespace
}  // namespace vl
