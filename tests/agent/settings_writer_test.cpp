// Settings writes that fail: the replace retried while another program
// holds the file, what the user is told while writes fail and after, and a
// real full file system (run inside a private mount namespace by
// full_disk.sh; skipped elsewhere).
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/settings_writer.h"
#include "agent_fixture.h"
#include "log/helpers.h"

namespace vl::test {
namespace {

constexpr unsigned long kHeld = 32;  // what the fake replace reports while "held"
constexpr unsigned long kOther = 5;

// A replace that fails `failures` times with `code`, then does the real one.
struct FlakyReplace {
  int failures = 0;
  unsigned long code = kHeld;
  int calls = 0;
  int pauses = 0;
  SettingsFileOps ops() {
    SettingsFileOps o = platformSettingsFileOps();
    const SettingsFileOps real = o;
    o.replace = [this, real](const std::string& from, const std::string& to) {
      return ++calls <= failures ? code : real.replace(from, to);
    };
    o.isTransient = [](unsigned long c) { return c == kHeld; };
    o.pause = [this](int ms) {
      EXPECT_EQ(ms, kSettingsReplaceRetryMs);
      ++pauses;
    };
    return o;
  }
};

TEST(SettingsReplace, RetriedWhileHeldThenGivenUpWithTheOldFileKept) {
  struct Case {
    const char* name;
    int failures;
    unsigned long code;
    bool ok;
    int attempts;
  };
  const Case cases[] = {
      {"free at once", 0, kHeld, true, 1},
      {"held for two tries", 2, kHeld, true, 3},
      {"free at the last try", kSettingsReplaceAttempts - 1, kHeld, true, kSettingsReplaceAttempts},
      {"held throughout", kSettingsReplaceAttempts, kHeld, false, kSettingsReplaceAttempts},
      {"another error is not retried", 1, kOther, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("settings.json");
    ASSERT_TRUE(writeWholeFile(path, std::string("old")));
    FlakyReplace flaky{c.failures, c.code};
    const SettingsWriteResult r = writeSettingsFile(path, "{\"new\": 1}", flaky.ops());
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.replaceAttempts, c.attempts);
    EXPECT_EQ(flaky.pauses, c.attempts - 1);
    EXPECT_EQ(r.code, c.ok ? 0ul : c.code);
    std::string text;
    ASSERT_TRUE(readWholeFile(path, text));
    EXPECT_EQ(text, c.ok ? "{\"new\": 1}" : "old");
    // No temporary file is left behind either way.
    EXPECT_FALSE(fileExists(detail::temporaryPathFor(path)));
  }
}

#ifdef _WIN32
// The real replace against a settings.json another program holds open
// without sharing (as an antivirus scan does): retried, and done once the
// file is let go; given up with the error while it is held throughout.
TEST(SettingsReplace, RealReplaceWaitsForAHeldFile) {
  for (const int releaseAfter : {2, -1}) {
    SCOPED_TRACE(releaseAfter);
    TempDir dir;
    const std::string path = dir.file("settings.json");
    ASSERT_TRUE(writeWholeFile(path, std::string("old")));
    HANDLE held = CreateFileW(toWide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SettingsFileOps ops = platformSettingsFileOps();
    int pauses = 0;
    ops.pause = [&](int) {
      if (++pauses == releaseAfter) {
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
      }
    };
    const SettingsWriteResult r = writeSettingsFile(path, "new", ops);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    std::string text;
    ASSERT_TRUE(readWholeFile(path, text));
    if (releaseAfter > 0) {
      EXPECT_TRUE(r.ok);
      EXPECT_EQ(r.replaceAttempts, releaseAfter + 1);
      EXPECT_EQ(text, "new");
    } else {
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.replaceAttempts, kSettingsReplaceAttempts);
      EXPECT_TRUE(r.code == ERROR_SHARING_VIOLATION || r.code == ERROR_ACCESS_DENIED) << r.code;
      EXPECT_EQ(text, "old");
    }
  }
}
#endif

TEST(SettingsSaveReporter, FailureToldOnceThenNowAndThenAndRecoveryOnce) {
  struct Step {
    std::uint64_t atMs;
    bool ok;
    unsigned long code;
    int level;             // 0: nothing told
    const char* contains;  // part of the text told
  };
  const Step steps[] = {
      {1000, true, 0, 0, ""},
      {2000, false, 28, 2, "设置保存失败：P（"},
      {2700, false, 28, 0, ""},
      {30000, false, 28, 0, ""},
      {62000, false, 28, 2, "（此前另有 2 次失败未记）"},
      {62700, false, 13, 2, "错误 13）"},  // a new reason is news
      {63400, true, 0, 1, "设置已保存：P（此前保存失败）"},
      {64100, true, 0, 0, ""},
      {64800, false, 28, 2, "错误 28）"},  // a new episode
  };
  SettingsSaveReporter reporter;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.atMs);
    SettingsWriteResult r;
    r.ok = s.ok;
    r.code = s.code;
    const SettingsNotice n = reporter.onResult("P", r, s.atMs);
    EXPECT_EQ(n.level, s.level) << n.text;
    EXPECT_NE(n.text.find(s.contains), std::string::npos) << n.text;
    EXPECT_EQ(reporter.failing(), !s.ok);
  }
}

// The agent tells the panel's log, from the stop's write and from the
// tick's background one.
TEST_F(AgentTest, FailedSettingsWriteIsToldInTheEventLogAndSoIsTheRecovery) {
  Agent& a = startAgent();
  const auto told = [&](int level, const std::string& part) {
    int n = 0;
    for (const auto& e : a.eventLog().entries()) n += e.level == level && e.text.find(part) != std::string::npos;
    return n;
  };
  FlakyReplace flaky{1000, kHeld};
  a.settingsWriterForTest().setFileOpsForTest(flaky.ops());
  a.settings.quality = 33;
  a.saveSettings();
  EXPECT_EQ(told(2, "设置保存失败：" + a.settingsPath() + "（"), 1);
  EXPECT_EQ(flaky.calls, kSettingsReplaceAttempts);
  EXPECT_FALSE(fileExists(a.settingsPath()));

  // Still failing: the next change tries again, quietly.
  a.settingsDirty = true;
  clock_ += 1000;
  a.agentTick();
  a.finishSettingsWrites();
  a.agentTick();
  EXPECT_EQ(flaky.calls, 2 * kSettingsReplaceAttempts);
  EXPECT_EQ(told(2, "设置保存失败"), 1);

  // Free again: the next change is saved and says so once.
  flaky.failures = 0;
  a.settings.quality = 34;
  a.settingsDirty = true;
  clock_ += 1000;
  a.agentTick();
  a.finishSettingsWrites();
  a.agentTick();
  EXPECT_EQ(told(1, "设置已保存：" + a.settingsPath() + "（此前保存失败）"), 1);
  EXPECT_NE(readSettings().find("\"quality\": 34"), std::string::npos);
  a.saveSettings();
  EXPECT_EQ(told(1, "此前保存失败"), 1);
}

// VL_TEST_FULL_DISK_DIR: an empty directory on a small file system of its
// own, which the test fills.
TEST_F(AgentTest, SettingsOnAFullDiskWarnThenSaveOnceSpaceIsFreed) {
  const char* dir = std::getenv("VL_TEST_FULL_DISK_DIR");
  if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "run by full_disk.sh";
  AgentEnvironment env = environment(freePortPair());
  env.dataDirectory = dir;
  agent_ = std::make_unique<Agent>(env);
  Agent& a = *agent_;
  a.start(nullptr);
  const std::string filler = joinPath(dir, "filler");
  {
    std::FILE* f = std::fopen(filler.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
  }
  a.settings.quality = 33;
  a.saveSettings();
  const auto& last = a.eventLog().entries().back();
  EXPECT_EQ(last.level, 2);
  EXPECT_EQ(last.text, "设置保存失败：" + a.settingsPath() + "（磁盘空间不足，错误 28）");
  EXPECT_FALSE(fileExists(a.settingsPath()));

  removeFile(filler);
  a.settings.quality = 34;
  a.saveSettings();
  EXPECT_EQ(a.eventLog().entries().back().text, "设置已保存：" + a.settingsPath() + "（此前保存失败）");
  std::string text;
  ASSERT_TRUE(readWholeFile(a.settingsPath(), text));
  EXPECT_NE(text.find("\"quality\": 34"), std::string::npos);
  a.stop();
}

}  // namespace
}  // namespace vl::test
