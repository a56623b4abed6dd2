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

namespace {

// One ":"-separated entry of XDG_CURRENT_DESKTOP is `name` ("ubuntu:GNOME").
bool desktopListNames(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const std::size_t colon = list.find(':');
    if (equalsIgnoringCase(list.substr(0, colon), name)) return true;
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return false;
}

const char* kindName(DesktopBackendKind kind) {
  switch (kind) {
    case DesktopBackendKind::X11: return "X11";
    case DesktopBackendKind::Gnome: return "GNOME（mutter）";
    case DesktopBackendKind::Wlroots:
    case DesktopBackendKind::WlrootsViewOnly: return "wlroots";
    case DesktopBackendKind::XWayland: return "XWayland（只有 X11 程序的窗口）";
    case DesktopBackendKind::None: return "无";
  }
  return "";
}

bool isCompositorBackend(DesktopBackendKind kind) {
  return kind == DesktopBackendKind::Gnome || kind == DesktopBackendKind::Wlroots ||
         kind == DesktopBackendKind::WlrootsViewOnly;
}

std::string servingName(const DesktopStartup& startup) {
  return startup.backendName.empty() ? kindName(startup.kind) : startup.backendName;
}

}  // namespace

bool shouldProbeCompositors(const SessionFacts& facts) { return classifySession(facts) != DesktopSession::X11; }

DesktopBackendKind fallbackAfterFailedOpen(const SessionFacts& facts) {
  return facts.x11Display.empty() ? DesktopBackendKind::None : DesktopBackendKind::XWayland;
}

DesktopBackendKind chooseDesktopBackend(const BackendFacts& facts) {
  // Also without any session variables (a user service started early):
  // a compositor that answers tells more than the environment.
  if (!shouldProbeCompositors(facts.session)) return DesktopBackendKind::X11;
  const bool wlroots = facts.wlroots.connected && facts.wlroots.screencopy;
  // One of the two virtual devices still operates part of the desktop (the
  // back end tells which is missing); with neither, only watching is left.
  const DesktopBackendKind wlrootsKind = facts.wlroots.virtualPointer || facts.wlroots.virtualKeyboard
                                             ? DesktopBackendKind::Wlroots
                                             : DesktopBackendKind::WlrootsViewOnly;
  if (wlroots && facts.gnomeRemoteDesktop)
    return desktopListNames(facts.currentDesktop, "GNOME") ? DesktopBackendKind::Gnome : wlrootsKind;
  if (wlroots) return wlrootsKind;
  if (facts.gnomeRemoteDesktop) return DesktopBackendKind::Gnome;
  return fallbackAfterFailedOpen(facts.session);
}

std::vector<StartupLine> desktopStartupLines(const DesktopStartup& startup) {
  std::vector<StartupLine> lines;
  if (!startup.chosen) return lines;
  if (startup.openFailed)
    lines.push_back({3, std::string("桌面后端 ") + kindName(startup.failedKind) + " 无法打开：" + startup.why});
  lines.push_back({1, "桌面后端：" + servingName(startup)});
  if (startup.kind == DesktopBackendKind::WlrootsViewOnly)
    lines.push_back({2, "合成器没有提供虚拟指针和虚拟键盘（zwlr_virtual_pointer_manager_v1、"
                        "zwp_virtual_keyboard_manager_v1），只能观看，不能反控"});
  return lines;
}

std::string desktopBackendStatus(const DesktopStartup& startup) {
  if (!startup.chosen || !isCompositorBackend(startup.kind)) return {};
  std::string text = "Wayland：" + servingName(startup);
  if (startup.kind == DesktopBackendKind::WlrootsViewOnly) text += "（只能观看）";
  return text;
}

}  // namespace vl
