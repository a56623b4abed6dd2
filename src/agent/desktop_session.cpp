#include "agent/desktop_session.h"

#include <cctype>

namespace vl {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

DesktopSession classifySession(const SessionFacts& facts) {
  const bool wayland = equalsIgnoringCase(facts.sessionType, "wayland") || !facts.waylandDisplay.empty();
  const bool x11 = !facts.x11Display.empty();
  if (wayland) return x11 ? DesktopSession::XWayland : DesktopSession::WaylandOnly;
  return x11 ? DesktopSession::X11 : DesktopSession::NoDisplay;
}

const char* sessionLogLine(DesktopSession session) {
  switch (session) {
    case DesktopSession::XWayland:
      return "当前是 Wayland 会话，只能看到和操作 X11 程序的窗口，其余画面是黑的；请在登录界面选择 X11（Xorg）会话";
    case DesktopSession::WaylandOnly:
      return "当前是 Wayland 会话且没有 X11 显示，无法抓屏和操作；请在登录界面选择 X11（Xorg）会话";
    default:
      return nullptr;
  }
}

const char* sessionStatusText(DesktopSession session) {
  switch (session) {
    case DesktopSession::XWayland: return "Wayland：只推 X11 程序的窗口（请改用 Xorg 会话）";
    case DesktopSession::WaylandOnly: return "Wayland：无法抓屏（请改用 Xorg 会话）";
    default: return nullptr;
  }
}

}  // namespace vl
