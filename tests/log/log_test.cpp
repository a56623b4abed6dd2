#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>

#include "log/helpers.h"
#include "log/log.h"
#include "support/test_support.h"

namespace vl {
namespace {

const std::string kBanner = "[---- 日志滚动：上一份已存为同目录 .1（保留 .1/.2/.3） ----]\n";

std::string slurp(const std::string& path) {
  std::string s;
  readWholeFile(path, s);
  return s;
}

void writeSized(const std::string& path, std::size_t size, char fill = 'x') {
  ASSERT_TRUE(writeWholeFile(path, std::string(size, fill)));
}

// Every test opens the log on its own file and closes it again; the logger is
// one per process.
class LogFileTest : public ::testing::Test {
 protected:
  void TearDown() override { logClose(); }
  test::TempDir dir;
  std::string path() const { return dir.file("agent.log"); }
};

TEST(LogFormat, LineLayoutAndLevelTexts) {
  test::LogCapture capture;
  logWrite(LogLevel::Info, "hello %d", 5);
  logWrite(LogLevel::Trace, "t");
  logWrite(LogLevel::Warn, "w");
  logWrite(LogLevel::Error, "e");
  logWrite(static_cast<LogLevel>(7), "odd");
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 5u);
  const std::regex layout(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\]\[[A-Z]+\]\[(TRACE|INFO |WARN |ERROR|\?\?\?\?\?)\] .*\n$)");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, layout)) << l;
  EXPECT_NE(lines[0].find("[INFO ] hello 5\n"), std::string::npos);
  EXPECT_NE(lines[1].find("[TRACE] t\n"), std::string::npos);
  EXPECT_NE(lines[2].find("[WARN ] w\n"), std::string::npos);
  EXPECT_NE(lines[3].find("[ERROR] e\n"), std::string::npos);
  EXPECT_NE(lines[4].find("[?????] odd\n"), std::string::npos);
}

TEST(LogFormat, LongMessageIsCutAt4095Bytes) {
  test::LogCapture capture;
  const std::string big(5000, 'm');
  logWrite(LogLevel::Info, "%s", big.c_str());
  const auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], std::string(4095, 'm'));
}

TEST(LogFormatDeathTest, LinesBeforeOpenCarryVlTag) {
  // A fresh process, so nothing has opened the log yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        test::LogCapture capture;
        logWrite(LogLevel::Info, "early");
        const auto lines = capture.lines();
        std::exit(lines.size() == 1 && lines[0].find("][VL][INFO ] early") != std::string::npos ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(LogFileTest, WritesTaggedLinesWithLfOnlyAndFlushesEachLine) {
  logOpen(path(), "AGENT");
  logWrite(LogLevel::Warn, "first");
  // Flushed per line: visible to a reader while the file is still open.
  const std::string content = slurp(path());
  EXPECT_NE(content.find("[AGENT][WARN ] first\n"), std::string::npos);
  EXPECT_EQ(content.find('\r'), std::string::npos);
}

TEST_F(LogFileTest, OpenCreatesMissingDirectories) {
  const std::string nested = joinPath(joinPath(dir.path(), "data"), joinPath("logs", "agent.log"));
  logOpen(nested, "AGENT");
  logWrite(LogLevel::Info, "x");
  EXPECT_TRUE(fileExists(nested));
}

TEST_F(LogFileTest, FileJustBelowThresholdIsNotRotatedAtOpen) {
  writeSized(path(), kLogRotateBytes - 1);
  logOpen(path(), "AGENT");
  logClose();
  EXPECT_FALSE(fileExists(path() + ".1"));
  EXPECT_EQ(fileSize(path()), static_cast<std::int64_t>(kLogRotateBytes - 1));
}

TEST_F(LogFileTest, FileAtThresholdIsRotatedAtOpen) {
  writeSized(path(), kLogRotateBytes);
  logOpen(path(), "AGENT");
  logWrite(LogLevel::Info, "after");
  logClose();
  EXPECT_EQ(fileSize(path() + ".1"), static_cast<std::int64_t>(kLogRotateBytes));
  const std::string fresh = slurp(path());
  ASSERT_EQ(fresh.compare(0, kBanner.size(), kBanner), 0) << fresh.substr(0, 200);
  EXPECT_NE(fresh.find("] after\n"), std::string::npos);
}

TEST_F(LogFileTest, LineCrossingThresholdStaysAndCopiesShift) {
  writeSized(path(), kLogRotateBytes - 10);
  ASSERT_TRUE(writeWholeFile(path() + ".1", std::string_view("one")));
  ASSERT_TRUE(writeWholeFile(path() + ".2", std::string_view("two")));
  ASSERT_TRUE(writeWholeFile(path() + ".3", std::string_view("three")));
  for (int n = 4; n <= 7; ++n) ASSERT_TRUE(writeWholeFile(path() + "." + std::to_string(n), std::string_view("stray")));

  logOpen(path(), "AGENT");
  EXPECT_EQ(slurp(path() + ".1"), "one");  // not yet: below the threshold at open
  logWrite(LogLevel::Info, "crossing");
  logWrite(LogLevel::Info, "next");
  logClose();

  const std::string previous = slurp(path() + ".1");
  ASSERT_GT(previous.size(), 20u);
  EXPECT_EQ(previous.substr(previous.size() - 11), "] crossing\n");
  EXPECT_EQ(slurp(path() + ".2"), "one");
  EXPECT_EQ(slurp(path() + ".3"), "two");
  for (int n = 4; n <= 7; ++n) EXPECT_FALSE(fileExists(path() + "." + std::to_string(n))) << n;
  const std::string fresh = slurp(path());
  EXPECT_EQ(fresh.compare(0, kBanner.size(), kBanner), 0);
  EXPECT_NE(fresh.find("] next\n"), std::string::npos);
  EXPECT_EQ(fresh.find("crossing"), std::string::npos);
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveWithinALine) {
  logOpen(path(), "AGENT");
  logSetStderrEnabled(false);
  constexpr int kLines = 1500;
  auto writer = [](char c) {
    const std::string body(200, c);
    for (int i = 0; i < kLines; ++i) logWrite(LogLevel::Info, "%s", body.c_str());
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  logSetStderrEnabled(true);
  logClose();

  const std::string content = slurp(path());
  std::size_t start = 0;
  int countA = 0, countB = 0;
  while (start < content.size()) {
    const std::size_t end = content.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string message = test::logMessageOf(content.substr(start, end - start + 1));
    if (message == std::string(200, 'a')) ++countA;
    else if (message == std::string(200, 'b')) ++countB;
    else FAIL() << "mixed line: " << message.substr(0, 80);
    start = end + 1;
  }
  EXPECT_EQ(countA, kLines);
  EXPECT_EQ(countB, kLines);
}

TEST(LogLifetime, StaticObjectCanWriteAfterMainReturned) {
#if defined(_WIN32)
  const std::string program = exeDirectory() + "vl_log_exit_writer.exe";
#else
  const std::string program = exeDirectory() + "vl_log_exit_writer";
#endif
  ASSERT_TRUE(fileExists(program)) << program;
  test::TempDir dir;
  const std::string errors = dir.file("stderr.txt");
  test::ChildProcess child = test::startProcess({program, errors});
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(test::waitProcess(child, 30000), 0);
  const std::string text = slurp(errors);
  EXPECT_NE(text.find("[VelmoraExitWriterTag][INFO ] started\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[VelmoraExitWriterTag][INFO ] 设置已保存: exit-writer\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace vl
