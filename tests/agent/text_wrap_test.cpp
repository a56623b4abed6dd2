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


// Session facts and what the bus and the compositor answered → back end.
TEST(DesktopBackendChoice, FactsGiveTheBackEnd) {
  using K = DesktopBackendKind;
  const WlrootsOffer none{};
  const WlrootsOffer full{true, true, true, true, true};
  const WlrootsOffer pointerOnly{true, true, true, false, true};
  const WlrootsOffer keyboardOnly{true, true, false, true, false};
  const WlrootsOffer noInput{true, true, false, false, false};  // cage
  const WlrootsOffer inputOnly{true, false, true, true, true};  // no screencopy: nothing to watch
  const WlrootsOffer stale{false, true, true, true, true};      // no answer: the rest means nothing
  const struct {
    const char* type;
    const char* wayland;
    const char* display;
    const char* hint;
    bool gnome;
    WlrootsOffer wlr;
    K want;
  } cases[] = {
      {"x11", "", ":0", "GNOME", true, full, K::X11},  // GNOME on Xorg also owns the name
      {"", "", ":0", "", false, none, K::X11},
      {"wayland", "wayland-0", ":0", "", false, none, K::XWayland},
      {"wayland", "wayland-0", "", "", false, none, K::None},
      {"", "", "", "", false, none, K::None},
      {"", "", "", "", true, none, K::Gnome},  // a user service started before the session's variables
      {"wayland", "wayland-0", ":0", "GNOME", true, none, K::Gnome},
      {"wayland", "wayland-0", "", "sway", true, none, K::Gnome},  // the hint never vetoes
      {"wayland", "wayland-1", "", "sway", false, full, K::Wlroots},
      {"", "wayland-1", "", "GNOME", false, full, K::Wlroots},  // nor picks what did not answer
      {"wayland", "wayland-1", "", "", false, pointerOnly, K::Wlroots},  // the pointer still serves
      {"wayland", "wayland-1", "", "", false, keyboardOnly, K::Wlroots},
      {"wayland", "wayland-1", "", "", false, noInput, K::WlrootsViewOnly},
      {"wayland", "wayland-1", ":1", "", false, inputOnly, K::XWayland},
      {"wayland", "wayland-1", "", "", false, stale, K::None},
      // Both answer (a second compositor on the same bus): the hint settles it.
      {"wayland", "wayland-1", "", "sway", true, full, K::Wlroots},
      {"wayland", "wayland-1", "", "", true, full, K::Wlroots},
      {"wayland", "wayland-0", "", "ubuntu:GNOME", true, full, K::Gnome},
      {"wayland", "wayland-0", "", "gnome", true, noInput, K::Gnome},
      {"wayland", "wayland-0", "", "GNOME-Flashback:GNOMEx", true, full, K::Wlroots},
  };
  for (const auto& c : cases) {
    BackendFacts facts;
    facts.session = {c.type, c.wayland, c.display};
    facts.currentDesktop = c.hint;
    facts.gnomeRemoteDesktop = c.gnome;
    facts.wlroots = c.wlr;
    EXPECT_EQ(chooseDesktopBackend(facts), c.want)
        << c.type << "|" << c.wayland << "|" << c.display << "|" << c.hint << "|" << c.gnome;
    EXPECT_EQ(shouldProbeCompositors(facts.session), c.want != K::X11) << c.type << "|" << c.display;
  }
  EXPECT_EQ(fallbackAfterFailedOpen({"wayland", "wayland-0", ":0"}), K::XWayland);
  EXPECT_EQ(fallbackAfterFailedOpen({"wayland", "wayland-0", ""}), K::None);
}

// What the agent tells at start for each outcome: log lines and status row.
TEST(DesktopBackendChoice, OutcomeGivesLogLinesAndStatus) {
  using K = DesktopBackendKind;
  const struct {
    DesktopStartup startup;
    std::vector<std::string> lines;  // "<level> <text>"
    std::string status;
  } cases[] = {
      {{}, {}, ""},  // nothing chosen (Windows): nothing said
      {{true, K::X11, "", false, K::X11, ""}, {"1 桌面后端：X11"}, ""},
      {{true, K::Gnome, "GNOME（mutter）", false, K::X11, ""}, {"1 桌面后端：GNOME（mutter）"}, "Wayland：GNOME（mutter）"},
      {{true, K::Wlroots, "", false, K::X11, ""}, {"1 桌面后端：wlroots"}, "Wayland：wlroots"},
      {{true, K::WlrootsViewOnly, "wlroots（cage）", false, K::X11, ""},
       {"1 桌面后端：wlroots（cage）",
        "2 合成器没有提供虚拟指针和虚拟键盘（zwlr_virtual_pointer_manager_v1、zwp_virtual_keyboard_manager_v1），只能观看，不能反控"},
       "Wayland：wlroots（cage）（只能观看）"},
      {{true, K::XWayland, "", true, K::Gnome, "会话总线上没有 org.gnome.Mutter.ScreenCast"},
       {"3 桌面后端 GNOME（mutter） 无法打开：会话总线上没有 org.gnome.Mutter.ScreenCast",
        "1 桌面后端：XWayland（只有 X11 程序的窗口）"},
       ""},
      {{true, K::None, "", true, K::Wlroots, "合成器断开"}, {"3 桌面后端 wlroots 无法打开：合成器断开", "1 桌面后端：无"}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const StartupLine& line : desktopStartupLines(c.startup)) got.push_back(std::to_string(line.level) + " " + line.text);
    EXPECT_EQ(got, c.lines) << static_cast<int>(c.startup.kind);
    EXPECT_EQ(desktopBackendStatus(c.startup), c.status) << static_cast<int>(c.startup.kind);
  }
}

}  // namespace
}  // namespace vl::test
