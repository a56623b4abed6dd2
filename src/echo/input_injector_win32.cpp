#include <windows.h>

#include <string>

#include "echo/elevated_target.h"
#include "echo/input_injector.h"
#include "log/event_log.h"
#include "log/helpers.h"

namespace vl {

namespace {

// Mandatory integrity level of a process token (its label's last
// sub-authority: 0x2000 medium, 0x3000 high, 0x4000 system).
bool tokenIntegrity(HANDLE token, DWORD& level) {
  DWORD size = 0;
  GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
  if (size == 0) return false;
  std::string buffer(size, '\0');
  if (!GetTokenInformation(token, TokenIntegrityLevel, buffer.data(), size, &size)) return false;
  const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
  const UCHAR count = *GetSidSubAuthorityCount(label->Label.Sid);
  if (count == 0) return false;
  level = *GetSidSubAuthority(label->Label.Sid, count - 1u);
  return true;
}

DWORD ownIntegrity() {
  static const DWORD level = [] {
    DWORD found = SECURITY_MANDATORY_MEDIUM_RID;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      tokenIntegrity(token, found);
      CloseHandle(token);
    }
    return found;
  }();
  return level;
}

// Whether the process behind `window` runs with more rights than this one;
// `program` receives its file name. A token this process may not even read
// belongs to a process above it.
bool runsAboveUs(HWND window, std::string& program) {
  program.clear();
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == 0 || pid == GetCurrentProcessId()) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  wchar_t path[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  if (QueryFullProcessImageNameW(process, 0, path, &length)) {
    std::wstring_view full(path, length);
    const std::size_t slash = full.find_last_of(L"\\/");
    program = toNarrow(slash == std::wstring_view::npos ? full : full.substr(slash + 1));
  }
  bool above = false;
  HANDLE token = nullptr;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    DWORD level = 0;
    above = tokenIntegrity(token, level) && level > ownIntegrity();
    CloseHandle(token);
  } else {
    above = GetLastError() == ERROR_ACCESS_DENIED && ownIntegrity() < SECURITY_MANDATORY_HIGH_RID;
  }
  CloseHandle(process);
  return above;
}

// Presses, releases, the wheel and keys: what the operator expects to do
// something. Pointer moves are left out (the pointer moves regardless).
bool actsOnTarget(const InputRecord& r) {
  return r.type == InputRecord::Type::Keyboard || (r.flags & MOUSEEVENTF_MOVE) == 0;
}

class SendInputSink final : public InputRecordSink {
 public:
  void virtualDesktop(std::int32_t& x, std::int32_t& y, std::int32_t& width, std::int32_t& height) override {
    x = GetSystemMetrics(SM_XVIRTUALSCREEN);
    y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  }

  std::uint32_t scanCode(unsigned vk) override { return MapVirtualKeyW(vk, MAPVK_VK_TO_VSC); }

  void send(const InputRecord* records, std::size_t count) override {
    INPUT inputs[4] = {};
    if (count == 0 || count > 4) return;
    for (std::size_t i = 0; i < count; ++i) {
      const InputRecord& r = records[i];
      INPUT& in = inputs[i];
      if (r.type == InputRecord::Type::Mouse) {
        in.type = INPUT_MOUSE;
        in.mi.dx = r.dx;
        in.mi.dy = r.dy;
        in.mi.mouseData = r.mouseData;
        in.mi.dwFlags = r.flags;
        in.mi.time = 0;
        in.mi.dwExtraInfo = 0;
      } else {
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = r.vk;
        in.ki.wScan = r.scan;
        in.ki.dwFlags = r.flags;
        in.ki.time = 0;
        in.ki.dwExtraInfo = 0;
      }
    }
    // A refused injection has no further effect.
    SendInput(static_cast<UINT>(count), inputs, sizeof(INPUT));
    bool acts = false;
    bool keys = false;
    for (std::size_t i = 0; i < count; ++i) {
      acts = acts || actsOnTarget(records[i]);
      keys = keys || records[i].type == InputRecord::Type::Keyboard;
    }
    if (acts) checkTarget(keys);
  }

  void pause(int ms) override { Sleep(static_cast<DWORD>(ms)); }

 private:
  // SendInput reports nothing when UIPI drops the input, so look at what it
  // went to: keys go to the foreground window, buttons to the one under the
  // pointer. Worked out again only when that window changes.
  void checkTarget(bool keys) {
    HWND target = GetForegroundWindow();
    POINT at{};
    if (!keys && GetCursorPos(&at)) {
      if (HWND under = WindowFromPoint(at)) target = GetAncestor(under, GA_ROOT);
    }
    if (!target) return;
    if (target != lastTarget_) {
      lastTarget_ = target;
      targetAbove_ = runsAboveUs(target, targetProgram_);
    }
    if (targetAbove_ && notice_.shouldWarn(GetTickCount64(), targetProgram_))
      postEvent(2, formatString(kElevatedTargetText, targetProgram_.empty() ? "?" : targetProgram_.c_str()));
  }

  HWND lastTarget_ = nullptr;
  bool targetAbove_ = false;
  std::string targetProgram_;
  ElevatedTargetNotice notice_;
};

}  // namespace

std::unique_ptr<InputInjector> createPlatformInjector(const std::string&) {
  return std::make_unique<SendInputInjector>(std::make_unique<SendInputSink>());
}

}  // namespace vl
