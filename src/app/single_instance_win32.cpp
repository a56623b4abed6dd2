#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "app/single_instance.h"
#include "log/helpers.h"

namespace vl {
namespace {
// Held for the life of the process; the system releases it at exit.
HANDLE g_instanceMutex = nullptr;

std::uint32_t thisExecutableKey() {
  wchar_t path[260] = {};
  GetModuleFileNameW(nullptr, path, 260);
  return singleInstanceKey(path);
}

struct AgentWindow {
  HWND window;
  DWORD pid;
};

// Top-level windows of the agent's two classes (hidden ones included) whose
// process runs the executable with this key; this process is left out.
std::vector<AgentWindow> findAgentWindows(std::uint32_t key) {
  struct Search {
    std::uint32_t key;
    std::vector<AgentWindow> found;
  } search{key, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(param);
        wchar_t cls[64] = {};
        GetClassNameW(window, cls, 64);
        if (toNarrow(cls) != kWindowClassName && toNarrow(cls) != kHeadlessWindowClassName) return TRUE;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == 0 || pid == GetCurrentProcessId()) return TRUE;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!process) return TRUE;
        wchar_t image[1024] = {};
        DWORD size = 1024;
        const bool named = QueryFullProcessImageNameW(process, 0, image, &size) != FALSE;
        CloseHandle(process);
        if (named && singleInstanceKey(image) == s.key) s.found.push_back({window, pid});
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

class WindowsRunningAgents final : public RunningAgents {
 public:
  WindowsRunningAgents() : key_(thisExecutableKey()), mutexName_(toWide(singleInstanceName(key_))) {}
  ~WindowsRunningAgents() override {
    for (const Asked& a : asked_)
      if (a.process) CloseHandle(a.process);
  }

  bool running() override {
    if (HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, mutexName_.c_str())) {
      CloseHandle(mutex);
      return true;
    }
    for (const Asked& a : asked_)
      if (a.process && WaitForSingleObject(a.process, 0) == WAIT_TIMEOUT) return true;
    // Copies started with --allow-multi hold no mutex but lock the exe all the same.
    return !findAgentWindows(key_).empty();
  }

  void askToQuit() override {
    const UINT message = quitRequestMessage();
    for (const AgentWindow& w : findAgentWindows(key_)) {
      auto it = std::find_if(asked_.begin(), asked_.end(), [&](const Asked& a) { return a.pid == w.pid; });
      if (it != asked_.end() && it->posted) continue;
      if (it == asked_.end()) {
        asked_.push_back({w.pid, OpenProcess(SYNCHRONIZE, FALSE, w.pid), false});
        it = asked_.end() - 1;
      }
      it->posted = PostMessageW(w.window, message, 0, 0) != FALSE;
    }
  }

  std::vector<unsigned long> asked() const override {
    std::vector<unsigned long> pids;
    for (const Asked& a : asked_) pids.push_back(a.pid);
    return pids;
  }

 private:
  struct Asked {
    DWORD pid;
    HANDLE process;  // waited on: the window goes before the process has ended
    bool posted;
  };
  std::uint32_t key_;
  std::wstring mutexName_;
  std::vector<Asked> asked_;
};

}  // namespace

std::string singleInstanceName(std::uint32_t key) {
  return formatString("Local\\VL_SingleInstance_%08X", static_cast<unsigned>(key));
}

bool anotherInstanceRunning() {
  g_instanceMutex = CreateMutexW(nullptr, FALSE, toWide(singleInstanceName(thisExecutableKey())).c_str());
  if (!g_instanceMutex || GetLastError() != ERROR_ALREADY_EXISTS) return false;

  const std::wstring className = toWide(kWindowClassName);
  if (HWND window = FindWindowW(className.c_str(), nullptr)) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
  }
  const std::wstring title = toWide(kAppTitle);
  const std::wstring text = toWide(formatString(kAlreadyRunningFormat, kAppTitle));
  MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST);
  return true;
}

std::unique_ptr<RunningAgents> runningAgentsOfThisExecutable() { return std::make_unique<WindowsRunningAgents>(); }

unsigned quitRequestMessage() {
  static const UINT message = RegisterWindowMessageW(toWide(kQuitMessageName).c_str());
  return message;
}

void acceptQuitRequests(void* window) {
  // Looked up at run time, as the other newer user32 calls are.
  using FilterFn = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  auto filter = user32 ? reinterpret_cast<FilterFn>(reinterpret_cast<void*>(
                             GetProcAddress(user32, "ChangeWindowMessageFilterEx")))
                       : nullptr;
  if (filter && window) filter(static_cast<HWND>(window), quitRequestMessage(), 1 /* MSGFLT_ALLOW */, nullptr);
}

void writeErrorLine(const std::string& line) {
  // A GUI program has standard handles only when they were redirected (an
  // installer's pipe, "2> file"); started in a console, it writes there.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  bool opened = false;
  if ((!err || err == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    err = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    opened = err != INVALID_HANDLE_VALUE;
  }
  if (!err || err == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(err, &mode)) {
    const std::wstring text = toWide(line + "\r\n");
    WriteConsoleW(err, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
  } else {
    const std::string text = line + "\r\n";
    WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  if (opened) CloseHandle(err);
}

}  // namespace vl
