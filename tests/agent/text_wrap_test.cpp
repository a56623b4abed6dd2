// The log view's line breaking and the desktop-session check: pure functions
// over tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/desktop_session.h"
#include "agent/text_wrap.h"

namespace vl::test {
namespace {

// Every character is one unit wide, except the wide ones (two), so the
// widths below count columns of a monospaced terminal.
float columns(unsigned c) { return c >= 0x1100 ? 2.0f : 1.0f; }

std::string wrapped(const std::string& text, float width) {
  std::vector<WrappedLine> lines;
  wrapText(text, width, columns, lines);
  std::string out;
  for (const WrappedLine& line : lines) {
    EXPECT_LE(line.begin, line.end);
    EXPECT_LE(line.end, text.size());
    out += (out.empty() ? "" : "|") + text.substr(line.begin, line.end - line.begin);
  }
  return out;
}

TEST(LogWrap, BreaksWhereTheScriptAllows) {
  const struct {
    const char* text;
    float width;
    const char* want;  // lines joined by "|"
  } cases[] = {
      {"", 10, ""},
      {"short line", 10, "short line"},
      {"short line", 9, "short|line"},
      {"two  blanks   between", 8, "two|blanks|between"},  // blanks at a break are dropped
      {"abcdefghijkl", 5, "abcde|fghij|kl"},               // a word wider than the column is cut
      {"at 192.168.1.20 now", 12, "at|192.168.1.20|now"},  // an address stays whole
      {"系统控制服务就绪", 6, "系统控|制服务|就绪"},       // Chinese breaks between any two characters
      {"中文，标点。", 4, "中|文，|标|点。"},              // closing punctuation never starts a line
      {"端口（中控", 6, "端口|（中控"},                    // opening punctuation never ends one
      {"连接 Pad 端失败 127.0.0.1:24690，稍后重试", 18,
       "连接 Pad 端失败|127.0.0.1:24690，|稍后重试"},  // the comma stays with the address
      {"连接 Pad 端失败 127.0.0.1:24690，稍后重试", 16,
       "连接 Pad 端失败|127.0.0.1:24690|，稍后重试"},  // unless the two are wider than the column
      {"Pad 端提示: 臺北 さくら会議室", 12, "Pad 端提示:|臺北 さくら|会議室"},
      {"김민준 님이 연결을", 6, "김민준|님이|연결을"},
      {"line\nnext", 20, "line|next"},  // a line feed ends a line
      {"宽", 1, "宽"},                  // narrower than one character: still one per line
      {"ab", 0, "a|b"},
      {"\xE5\xBB\x20\xFF", 2, "\xE5|\xBB|\xFF"},  // each broken byte is a character of its own
      {"   ", 2, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(wrapped(c.text, c.width), c.want) << c.text << " @" << c.width;
}

TEST(LogWrap, EveryLineFitsAndNothingIsLost) {
  const std::string text = "系统控制服务就绪，端口 24693（中控端可远程关机/重启/音量/静音） and some words";
  for (float width = 1; width <= 80; width += 1) {
    std::vector<WrappedLine> lines;
    wrapText(text, width, columns, lines);
    std::string joined;
    for (const WrappedLine& line : lines) {
      float w = 0;
      for (std::size_t i = line.begin; i < line.end; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80) w += b >= 0xE1 ? 2.0f : 1.0f;  // this text's wide ones are 3-byte
      }
      EXPECT_TRUE(w <= width || line.end - line.begin <= 3) << width;
      joined += text.substr(line.begin, line.end - line.begin);
    }
    std::string compact;
    for (char ch : text)
      if (ch != ' ') compact += ch;
    std::string joinedCompact;
    for (char ch : joined)
      if (ch != ' ') joinedCompact += ch;
    EXPECT_EQ(joinedCompact, compact) << width;
  }
}

TEST(DesktopSession, SessionFactsGiveTheSessionKind) {
  const struct {
    const char* type;
    const char* wayland;
    const char* display;
    DesktopSession want;
  } cases[] = {
      {"x11", "", ":0", DesktopSession::X11},
      {"", "", ":0", DesktopSession::X11},                 // startx from a console
      {"tty", "", ":1", DesktopSession::X11},
      {"wayland", "wayland-0", ":0", DesktopSession::XWayland},  // GNOME's default
      {"Wayland", "", ":0", DesktopSession::XWayland},
      {"x11", "wayland-1", ":0", DesktopSession::XWayland},     // WAYLAND_DISPLAY alone is enough
      {"wayland", "wayland-0", "", DesktopSession::WaylandOnly},
      {"", "", "", DesktopSession::NoDisplay},
      {"tty", "", "", DesktopSession::NoDisplay},
      {"waylandx", "", ":0", DesktopSession::X11},
  };
  for (const auto& c : cases)
    EXPECT_EQ(classifySession({c.type, c.wayland, c.display}), c.want) << c.type << "|" << c.wayland << "|" << c.display;

  for (DesktopSession s : {DesktopSession::X11, DesktopSession::NoDisplay})
    EXPECT_TRUE(!sessionLogLine(s) && !sessionStatusText(s));
  for (DesktopSession s : {DesktopSession::XWayland, DesktopSession::WaylandOnly})
    EXPECT_TRUE(sessionLogLine(s) && sessionStatusText(s));
}

}  // namespace
}  // namespace vl::test
