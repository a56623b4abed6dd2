#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "log/helpers.h"
#include "log/utf.h"
#include "support/test_support.h"

namespace vl {
namespace {

TEST(Paths, JoinUsesThePlatformSeparatorAndAcceptsBoth) {
#if defined(_WIN32)
  EXPECT_EQ(joinPath("C:\\app\\", "data"), "C:\\app\\data");
  EXPECT_EQ(joinPath("C:\\app", "\\data"), "C:\\app\\data");
  EXPECT_EQ(joinPath("C:/app", "data"), "C:/app\\data");
#else
  EXPECT_EQ(joinPath("/opt/app/", "data"), "/opt/app/data");
  EXPECT_EQ(joinPath("/opt/app", "\\data"), "/opt/app/data");
  EXPECT_EQ(joinPath("/opt/app\\", "//data"), "/opt/app\\data");
#endif
  EXPECT_EQ(joinPath("", "data"), "data");
  EXPECT_EQ(joinPath("base", ""), "base");
  EXPECT_EQ(joinPath("a", "b"), formatString("a%cb", kPathSeparator));
}

TEST(Paths, ParentDirectoryKeepsTheSeparator) {
  EXPECT_EQ(parentDirectory("C:\\app\\agent.exe"), "C:\\app\\");
  EXPECT_EQ(parentDirectory("/usr/bin/x"), "/usr/bin/");
  EXPECT_EQ(parentDirectory("file"), "");
  EXPECT_EQ(parentDirectory(exePath()), exeDirectory());
  EXPECT_TRUE(directoryExists(exeDirectory()));
}

TEST(Paths, CreateDirectoriesBuildsTheChainWithEitherSeparator) {
  test::TempDir dir;
  const std::string target = dir.path() + "/a\\b/c";
  ASSERT_TRUE(createDirectories(target));
  EXPECT_TRUE(directoryExists(joinPath(dir.path(), "a")));
  EXPECT_TRUE(directoryExists(joinPath(joinPath(dir.path(), "a"), "b")));
  EXPECT_TRUE(directoryExists(joinPath(joinPath(joinPath(dir.path(), "a"), "b"), "c")));
  EXPECT_TRUE(createDirectories(target));  // already there
  EXPECT_TRUE(createDirectories(""));
}

TEST(Paths, CreateDirectoriesFailsWhenAFileIsInTheWay) {
  test::TempDir dir;
  ASSERT_TRUE(writeWholeFile(dir.file("blocker"), std::string_view("x")));
  EXPECT_FALSE(createDirectories(joinPath(dir.file("blocker"), "sub")));
}

TEST(Files, WriteWholeFileReplacesContentAndLeavesNoTemporaryFile) {
  test::TempDir dir;
  const std::string path = joinPath(dir.file("nested"), "settings.json");
  ASSERT_TRUE(writeWholeFile(path, std::string_view("first version, longer")));
  ASSERT_TRUE(writeWholeFile(path, std::string_view("second")));
  std::string content;
  ASSERT_TRUE(readWholeFile(path, content));
  EXPECT_EQ(content, "second");
  ASSERT_TRUE(writeWholeFile(path, std::string_view()));
  EXPECT_EQ(fileSize(path), 0);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.file("nested"))) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(Files, WriteWholeFileReportsFailureAndKeepsTheOldState) {
  test::TempDir dir;
  // The target is a directory: nothing may replace it.
  ASSERT_TRUE(createDirectories(dir.file("target")));
  ASSERT_TRUE(writeWholeFile(joinPath(dir.file("target"), "inside"), std::string_view("keep")));
  EXPECT_FALSE(writeWholeFile(dir.file("target"), std::string_view("data")));
  EXPECT_TRUE(directoryExists(dir.file("target")));
  std::string content;
  EXPECT_TRUE(readWholeFile(joinPath(dir.file("target"), "inside"), content));
  EXPECT_EQ(content, "keep");
  // The directory cannot be written: its "parent" is a file.
  ASSERT_TRUE(writeWholeFile(dir.file("plain"), std::string_view("old")));
  EXPECT_FALSE(writeWholeFile(joinPath(dir.file("plain"), "x.json"), std::string_view("data")));
  EXPECT_TRUE(readWholeFile(dir.file("plain"), content));
  EXPECT_EQ(content, "old");
#if !defined(_WIN32)
  // A directory no one may create files in, even root.
  EXPECT_FALSE(writeWholeFile("/proc/self/vl-settings.json", std::string_view("data")));
#endif
}

TEST(Text, FormatStringTruncatesAt4095Bytes) {
  const std::string big(6000, 'z');
  EXPECT_EQ(formatString("%s", big.c_str()).size(), 4095u);
  EXPECT_EQ(formatString("%d-%s", 42, "x"), "42-x");
}

TEST(Text, TrimSpacesRemovesControlBytesAtBothEnds) {
  EXPECT_EQ(trimSpaces("  \t\r\n 192.168.1.5 \n"), "192.168.1.5");
  EXPECT_EQ(trimSpaces("a b"), "a b");
  EXPECT_EQ(trimSpaces(" \x01\x1f "), "");
  EXPECT_EQ(trimSpaces(""), "");
  EXPECT_EQ(trimSpaces(" 中文 "), "中文");
}

TEST(Text, PrintableForLogNeutralisesLineBreaksAndControls) {
  EXPECT_EQ(printableForLog("move\n[00:00:00.000][AGENT][ERROR] x\r\t\x7f"),
            "move?[00:00:00.000][AGENT][ERROR] x???");
  EXPECT_EQ(printableForLog("点击 ok"), "点击 ok");  // UTF-8 stays
}

TEST(Text, Utf8AndUtf16RoundTrip) {
  const std::string text = "héllo 中文 😀";
  const std::wstring wide = toWide(text);
  EXPECT_EQ(toNarrow(wide), text);
  const std::wstring emoji = toWide("😀");
  ASSERT_EQ(emoji.size(), 2u);
  EXPECT_EQ(static_cast<unsigned>(emoji[0]), 0xD83Du);
  EXPECT_EQ(static_cast<unsigned>(emoji[1]), 0xDE00u);
  EXPECT_EQ(toWide("").size(), 0u);
  EXPECT_EQ(toNarrow(L""), "");
}

TEST(Text, InvalidInputBecomesReplacementCharacters) {
  const std::wstring bad = toWide("a\xff" "b");
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(static_cast<unsigned>(bad[1]), 0xFFFDu);
  std::wstring lone;
  lone.push_back(static_cast<wchar_t>(0xD800));
  lone.push_back(L'x');
  EXPECT_EQ(toNarrow(lone), "\xEF\xBF\xBDx");
  // The portable converter (used on Linux) agrees with the same rules.
  EXPECT_EQ(detail::utf8ToUtf16("\xE4\xB8"), u"\uFFFD");  // truncated sequence
  EXPECT_EQ(detail::utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate: each byte
  EXPECT_EQ(detail::utf16ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
}

TEST(Clocks, MonotonicNeverGoesBackAndRandomVaries) {
  const auto a = monotonicMs();
  test::sleepMs(5);
  const auto b = monotonicMs();
  EXPECT_GE(b, a + 4);
  std::set<std::uint64_t> values;
  for (int i = 0; i < 16; ++i) values.insert(random64());
  EXPECT_EQ(values.size(), 16u);
  EXPECT_GT(unixTimeMs(), 1700000000000LL);
}

#if !defined(_WIN32)
TEST(DataDirectory, BesideTheProgramWhenWritableElseTheUsersStateDirectory) {
  struct Case {
    bool writable;
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {true, "/x/state", "/home/u", "/opt/va/data"},  // portable copy wins
      {false, "/x/state", "/home/u", "/x/state/velmora-agent"},
      {false, "", "/home/u", "/home/u/.local/state/velmora-agent"},
      {false, "rel/state", "/home/u/", "/home/u/.local/state/velmora-agent"},  // relative: ignored
      {false, "", "", "/opt/va/data"},  // nowhere better: the log still goes somewhere
      {false, "", "relative", "/opt/va/data"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(chooseDataDirectory("/opt/va/", c.writable, c.xdg, c.home), c.expected) << c.xdg << " | " << c.home;
}
#endif

}  // namespace
}  // namespace vl
