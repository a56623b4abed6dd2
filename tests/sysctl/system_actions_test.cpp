#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "fake_system_platform.h"
#include "support/test_support.h"
#include "sysctl/system_actions.h"
#include "sysctl_test_support.h"

namespace vl {
namespace {

using test::FakeSystemPlatform;

const char kNoPrivilege[] = "没有关机权限（“关闭系统”权限被组策略收走了，需要管理员运行被控端）";

TEST(VolumeChange, StepsClampTheTargetStaysWithin0To100AndTheEndpointIsUnmuted) {
  struct Case {
    const char* op;
    float start;
    int step;
    float expectedSet;
    int expectedPercent;
    bool mutedBefore = false;
    HResult setMuteResult = kHrOk;
  } cases[] = {
      {"volup", 0.50f, 2, 0.52f, 52},   {"volup", 0.99f, 2, 1.00f, 100}, {"voldown", 0.01f, 2, 0.0f, 0},
      {"volup", 0.50f, 0, 0.51f, 51},   {"volup", 0.50f, -5, 0.51f, 51}, {"volup", 0.10f, 80, 0.60f, 60},
      {"voldown", 0.90f, 51, 0.40f, 40}, {"voldown", 0.30f, 50, 0.0f, 0}, {"volup", 1.0f, 2, 1.0f, 100},
      {"voldown", 0.30f, 4, 0.26f, 26, true},
      // The unmute is attempted and its failure ignored; the text shows it.
      {"volup", 0.50f, 2, 0.52f, 52, true, kHrFail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " step " + std::to_string(c.step) + (c.mutedBefore ? " muted" : ""));
    test::LogCapture log;
    FakeSystemPlatform fake;
    fake.level = c.start;
    fake.muted = c.mutedBefore;
    fake.setMuteResult = c.setMuteResult;
    const test::Outcome r = test::run(fake, c.op, c.step);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(fake.volumeSets.size(), 1u);
    EXPECT_FLOAT_EQ(fake.volumeSets[0], c.expectedSet);
    EXPECT_EQ(r.volume, c.expectedPercent);
    EXPECT_EQ(fake.muteSets, c.mutedBefore ? std::vector<bool>{false} : std::vector<bool>{});
    const bool stillMuted = !hrSucceeded(c.setMuteResult);
    EXPECT_EQ(r.muted, stillMuted ? 1 : 0);
    EXPECT_EQ(r.message, "音量 " + std::to_string(c.expectedPercent) + "%" + (stillMuted ? "（静音中）" : ""));
    const int s = clampVolumeStep(c.step);
    EXPECT_TRUE(log.contains(formatString("系统控制：音量 %s %d%% ⇒ %d%%",
                                          std::string(c.op) == "volup" ? "+" : "-", s,
                                          c.expectedPercent)));
  }
}

TEST(VolumeChange, UnreadableVolumeCountsAsZero) {
  FakeSystemPlatform fake;
  fake.getVolumeResult = kHrFail;
  const test::Outcome r = test::run(fake, "volup", 2);
  EXPECT_TRUE(r.ok);
  ASSERT_EQ(fake.volumeSets.size(), 1u);
  EXPECT_FLOAT_EQ(fake.volumeSets[0], 0.02f);
  // The level after the change is unreadable too: no "vol", neutral text.
  EXPECT_EQ(r.volume, -1);
  EXPECT_EQ(r.message, "已执行");
}

TEST(VolumePercent, RoundsHalvesAwayFromZeroAndClampsStrangeReadings) {
  struct Case {
    float level;
    int percent;
  } cases[] = {{0.125f, 13}, {0.124f, 12}, {0.005f, 1}, {0.0f, 0}, {-0.3f, 0}, {1.7f, 100},
               {std::numeric_limits<float>::quiet_NaN(), 0}, {std::numeric_limits<float>::infinity(), 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    FakeSystemPlatform fake;
    fake.level = c.level;
    AudioEndpoint endpoint(fake);
    ASSERT_TRUE(endpoint.open(nullptr));
    EXPECT_EQ(endpoint.volumePercent(), c.percent);
  }
}

TEST(MuteChange, SetsTheWantedStateAndReportsTheLevels) {
  struct Case {
    const char* op;
    bool mutedBefore;
    bool muteReadable;
    bool wanted;
    const char* text;
    const char* logLine;
  } cases[] = {
      {"mute", false, true, true, "已静音", "系统控制：静音"},
      {"mute", true, true, true, "已静音", "系统控制：静音"},
      {"unmute", true, true, false, "已取消静音", "系统控制：取消静音"},
      {"unmute", false, true, false, "已取消静音", "系统控制：取消静音"},
      {"mutetoggle", false, true, true, "已静音", "系统控制：静音"},
      {"mutetoggle", true, true, false, "已取消静音", "系统控制：取消静音"},
      {"mutetoggle", true, false, true, "已静音", "系统控制：静音"},  // unreadable: toggle mutes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.op) + (c.mutedBefore ? " muted" : " audible") +
                 (c.muteReadable ? "" : " unreadable"));
    test::LogCapture log;
    FakeSystemPlatform fake;
    fake.level = 0.125f;
    fake.muted = c.mutedBefore;
    if (!c.muteReadable) fake.getMuteResult = kHrFail;
    const test::Outcome r = test::run(fake, c.op, 40);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(fake.muteSets, std::vector<bool>{c.wanted});
    EXPECT_TRUE(fake.volumeSets.empty());  // the step never touches the volume here
    EXPECT_EQ(r.message, c.text);
    EXPECT_EQ(r.volume, 13);
    EXPECT_EQ(r.muted, c.muteReadable ? (c.wanted ? 1 : 0) : -1);
    EXPECT_EQ(log.messages(), std::vector<std::string>{c.logLine});
  }
}

TEST(AudioChange, FailedSetReportsTheResultCodeAndNoLevels) {
  for (const bool volume : {true, false}) {
    FakeSystemPlatform fake;
    fake.muted = true;
    (volume ? fake.setVolumeResult : fake.setMuteResult) = static_cast<HResult>(0x88890004u);
    const test::Outcome r = test::run(fake, volume ? "volup" : "unmute");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, volume ? "设置音量失败（0x88890004）" : "设置静音失败（0x88890004）");
    EXPECT_EQ(r.volume, -1);
    EXPECT_EQ(r.muted, -1);
    // A failed volume change goes no further: the endpoint stays muted.
    if (volume) {
      EXPECT_TRUE(fake.muteSets.empty());
    }
  }
}

TEST(AudioEndpointScope, EachOpenFailureHasItsTextAndReleasesWhatWasObtained) {
  struct Case {
    const char* name;
    void (*setup)(FakeSystemPlatform&);
    const char* text;
    std::vector<std::string> releases;
  } cases[] = {
      {"com", [](FakeSystemPlatform& f) { f.comInitResult = static_cast<HResult>(0x8007000Eu); },
       "初始化 COM 失败（0x8007000E）", {}},
      {"enumerator", [](FakeSystemPlatform& f) { f.enumeratorResult = static_cast<HResult>(0x80040154u); f.enumeratorNull = true; },
       "打开音频设备枚举失败（0x80040154）", {"comUninitialize"}},
      {"null enumerator", [](FakeSystemPlatform& f) { f.enumeratorNull = true; },
       "打开音频设备枚举失败（0x00000000）", {"comUninitialize"}},
      {"device", [](FakeSystemPlatform& f) { f.deviceResult = kHrNotFound; f.deviceNull = true; },
       test::kNoDevice, {"releaseEnumerator", "comUninitialize"}},
      {"null device", [](FakeSystemPlatform& f) { f.deviceNull = true; },
       test::kNoDevice, {"releaseEnumerator", "comUninitialize"}},
      {"device failed but returned", [](FakeSystemPlatform& f) { f.deviceResult = kHrFail; },
       test::kNoDevice, {"releaseDevice", "releaseEnumerator", "comUninitialize"}},
      {"activate", [](FakeSystemPlatform& f) { f.activateResult = static_cast<HResult>(0x80070005u); f.volumeNull = true; },
       "打开主音量接口失败（0x80070005）", {"releaseDevice", "releaseEnumerator", "comUninitialize"}},
      {"null volume", [](FakeSystemPlatform& f) { f.volumeNull = true; },
       "打开主音量接口失败（0x00000000）", {"releaseDevice", "releaseEnumerator", "comUninitialize"}},
  };
  for (const auto& c : cases) {
    for (const char* op : test::kAudioOps) {
      SCOPED_TRACE(std::string(c.name) + " / " + op);
      FakeSystemPlatform fake;
      c.setup(fake);
      const test::Outcome r = test::run(fake, op);
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.message, c.text);
      EXPECT_EQ(r.volume, -1);
      EXPECT_EQ(r.muted, -1);
      EXPECT_EQ(fake.comDepth, 0);
      EXPECT_TRUE(fake.volumeSets.empty());
      EXPECT_TRUE(fake.muteSets.empty());
      std::vector<std::string> releases;
      for (const auto& call : fake.calls) {
        if (call.rfind("release", 0) == 0 || call == "comUninitialize") releases.push_back(call);
      }
      EXPECT_EQ(releases, c.releases);
    }
  }
}

TEST(AudioEndpointScope, SuccessfulCallReleasesInReverseOrderAndBalancesOnlyItsOwnCom) {
  // S_OK and S_FALSE are this scope's to balance; a thread already in
  // another apartment keeps it initialised.
  for (const HResult init : {kHrOk, kHrFalse, kHrChangedMode}) {
    SCOPED_TRACE(init);
    FakeSystemPlatform fake;
    fake.comInitResult = init;
    fake.level = 0.2f;
    const test::Outcome r = test::run(fake, "volup", 5);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.volume, 25);
    std::vector<std::string> expectedTail = {"releaseVolume", "releaseDevice", "releaseEnumerator"};
    if (init != kHrChangedMode) expectedTail.push_back("comUninitialize");
    ASSERT_GE(fake.calls.size(), expectedTail.size());
    EXPECT_EQ(std::vector<std::string>(fake.calls.end() - static_cast<std::ptrdiff_t>(expectedTail.size()),
                                       fake.calls.end()),
              expectedTail);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "comUninitialize"), init != kHrChangedMode ? 1 : 0);
    EXPECT_EQ(fake.comDepth, 0);
  }
}

TEST(PowerOff, PrivilegeFailuresStopBeforeAnyRequest) {
  struct Case {
    const char* name;
    void (*setup)(FakeSystemPlatform&);
    const char* text;
  } cases[] = {
      {"token", [](FakeSystemPlatform& f) { f.tokenOk = false; }, "拿不到本进程令牌（错误 5）"},
      {"lookup", [](FakeSystemPlatform& f) { f.lookupOk = false; }, "查不到关机特权（错误 1313）"},
      {"not all assigned", [](FakeSystemPlatform& f) { f.adjustLastError = kErrorNotAllAssigned; }, kNoPrivilege},
      {"adjust failed", [](FakeSystemPlatform& f) { f.adjustOk = false; f.adjustLastError = 6; }, kNoPrivilege},
  };
  for (const bool dryRun : {false, true}) {
    test::ScopedDryRun scope(dryRun);
    for (const auto& c : cases) {
      for (const char* op : {"shutdown", "restart"}) {
        SCOPED_TRACE(std::string(c.name) + " / " + op + (dryRun ? " / dry run" : ""));
        test::LogCapture log;
        FakeSystemPlatform fake;
        c.setup(fake);
        const test::Outcome r = test::run(fake, op);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, c.text);
        EXPECT_EQ(r.volume, -1);
        EXPECT_EQ(r.muted, -1);
        EXPECT_TRUE(fake.powerRequests.empty());
        EXPECT_FALSE(log.contains("演练模式"));
        // The token is closed on every path where it was opened.
        const bool opened = fake.tokenOk;
        EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "closeToken"), opened ? 1 : 0);
      }
    }
  }
}

TEST(PowerOff, RequestIsMadeOnceWithTheRebootFlagAfterThePrivilege) {
  test::ScopedDryRun scope(false);
  for (const bool reboot : {false, true}) {
    FakeSystemPlatform fake;
    const test::Outcome r = test::run(fake, reboot ? "restart" : "shutdown");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, reboot ? "正在重启" : "正在关机");
    EXPECT_EQ(fake.powerRequests, std::vector<bool>{reboot});
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"openProcessToken", "lookupShutdownPrivilege",
                                                    "enablePrivilege 19", "closeToken",
                                                    reboot ? "requestPowerOff reboot" : "requestPowerOff"}));
    EXPECT_FALSE(fake.touchedAudio());
  }
}

TEST(PowerOff, RefusedRequestCarriesTheSystemError) {
  test::ScopedDryRun scope(false);
  FakeSystemPlatform fake;
  fake.powerOk = false;
  test::Outcome r = test::run(fake, "restart");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "系统拒绝了重启请求（错误 1115）");
  std::string error;
  std::string message;
  fake.powerError = 4294967295u;
  EXPECT_FALSE(initiatePowerOff(fake, false, error, &message));
  EXPECT_EQ(error, "系统拒绝了关机请求（错误 4294967295）");
  EXPECT_EQ(message, error);
}

TEST(PowerOff, DryRunChecksThePrivilegeButRequestsNothing) {
  test::ScopedDryRun scope(true);
  for (const bool reboot : {false, true}) {
    test::LogCapture log;
    FakeSystemPlatform fake;
    const test::Outcome r = test::run(fake, reboot ? "restart" : "shutdown");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, reboot ? "正在重启" : "正在关机");
    EXPECT_TRUE(fake.powerRequests.empty());
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "enablePrivilege 19"), 1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(std::string("[WARN ] 系统控制：演练模式，未执行") + (reboot ? "重启" : "关机")),
              std::string::npos);
  }
}

TEST(ExecuteSystemOp, WakeAndUnknownOperationsTouchNothing) {
  for (const char* op : {"wake", "", "Shutdown", "VOLUP", "reboot"}) {
    SCOPED_TRACE(op);
    FakeSystemPlatform fake;
    const test::Outcome r = test::run(fake, op);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.volume, -1);
    EXPECT_EQ(r.muted, -1);
    EXPECT_TRUE(fake.calls.empty());
    if (std::string(op) == "wake") {
      EXPECT_EQ(r.message, "开机/唤醒由中控端直接发魔术包，不经被控端");
    }
  }
}

TEST(ExecuteSystemOp, OutputsAreOptional) {
  FakeSystemPlatform fake;
  EXPECT_TRUE(executeSystemOp(fake, "volup", 2, nullptr, nullptr, nullptr));
  EXPECT_TRUE(executeSystemOp(fake, "mutetoggle", 2, nullptr, nullptr, nullptr));
  EXPECT_FALSE(executeSystemOp(fake, "wake", 2, nullptr, nullptr, nullptr));
  EXPECT_TRUE(fake.muted);
  EXPECT_FLOAT_EQ(fake.level, 0.52f);
}

}  // namespace
}  // namespace vl
