// The Windows platform for real (under Wine in the automated runs). The
// audio expectations depend on whether a PulseAudio server was started for
// the run: VL_SYSCTL_TEST_AUDIO is "none" or "pulse" (set by the test
// registration); without it the audio cases are skipped.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <thread>

#include "fake_system_platform.h"
#include "log/helpers.h"
#include "support/test_support.h"
#include "sysctl/system_actions.h"
#include "sysctl_test_support.h"

namespace vl {
namespace {


std::string audioSetting() { return envValue("VL_SYSCTL_TEST_AUDIO"); }

TEST(Win32Power, PrivilegeIsEnabledAndDryRunRequestsNothing) {
  test::ScopedDryRun dry(true);
  test::LogCapture log;
  std::string error;
  ASSERT_TRUE(enableShutdownPrivilege(defaultSystemPlatform(), &error)) << error;
  test::PowerGuard guard(defaultSystemPlatform());
  for (const char* op : {"shutdown", "restart"}) {
    const test::Outcome o = test::run(guard, op);
    EXPECT_TRUE(o.ok) << o.message;
    EXPECT_EQ(o.message, std::string(op) == "restart" ? "正在重启" : "正在关机");
    EXPECT_EQ(o.volume, -1);
  }
  EXPECT_TRUE(guard.powerRequests.empty());
  EXPECT_EQ(log.count("系统控制：演练模式，未执行关机"), 1);
  EXPECT_EQ(log.count("系统控制：演练模式，未执行重启"), 1);
}

class Win32Audio : public ::testing::Test {
 protected:
  void SetUp() override {
    if (audioSetting() != "none" && audioSetting() != "pulse") {
      GTEST_SKIP() << "VL_SYSCTL_TEST_AUDIO is not set: the audio environment is unknown";
    }
  }
  // What an audio operation answers in this environment.
  void expectEnvironmentAnswer(const std::string& op, const test::Outcome& o) {
    SCOPED_TRACE(op);
    if (audioSetting() == "none") {
      EXPECT_FALSE(o.ok);
      EXPECT_EQ(o.message, test::kNoDevice);
      EXPECT_EQ(o.volume, -1);
      EXPECT_EQ(o.muted, -1);
    } else if (op == "volup" || op == "voldown") {
      // Wine's endpoint volume reads the level but does not implement setting it.
      EXPECT_FALSE(o.ok);
      EXPECT_EQ(o.message, "设置音量失败（0x80004001）");
      EXPECT_EQ(o.volume, -1);
      EXPECT_EQ(o.muted, -1);
    } else {
      EXPECT_TRUE(o.ok) << o.message;
      EXPECT_GE(o.volume, 0);
      EXPECT_LE(o.volume, 100);
      if (op != "mutetoggle") {
        EXPECT_EQ(o.muted, op == "mute" ? 1 : 0);
      }
      ASSERT_TRUE(o.muted == 0 || o.muted == 1);
      EXPECT_EQ(o.message, o.muted == 1 ? "已静音" : "已取消静音");
    }
  }
  test::LogCapture log;
};

TEST_F(Win32Audio, EveryOperationGivesTheEnvironmentsAnswer) {
  for (const char* op : test::kAudioOps) expectEnvironmentAnswer(op, test::run(defaultSystemPlatform(), op));
}

TEST_F(Win32Audio, WorksInsideAMultithreadedApartmentAndLeavesItInitialised) {
  std::vector<std::pair<std::string, test::Outcome>> results;
  HRESULT again = E_FAIL;
  std::thread worker([&] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
    for (const char* op : test::kAudioOps) results.emplace_back(op, test::run(defaultSystemPlatform(), op));
    again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // S_FALSE: still initialised
    if (SUCCEEDED(again)) CoUninitialize();
    CoUninitialize();
  });
  worker.join();
  ASSERT_EQ(results.size(), 5u);
  for (const auto& [op, o] : results) expectEnvironmentAnswer(op, o);
  EXPECT_EQ(again, S_FALSE);
}

}  // namespace
}  // namespace vl
