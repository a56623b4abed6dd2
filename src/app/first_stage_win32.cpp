#include <windows.h>
#include <shellapi.h>

#include "app/first_stage.h"
#include "log/helpers.h"

namespace vl {
namespace {
HANDLE g_stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
  if (g_stopEvent) SetEvent(g_stopEvent);
  return TRUE;
}
}  // namespace

std::vector<std::string> commandLineArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 0; i < count; ++i) args.push_back(toNarrow(argv[i]));
  LocalFree(argv);
  return args;
}

void makeProcessDpiAware() {
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  auto fn = reinterpret_cast<SetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  if (fn) fn(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));  // per-monitor v2
}

void waitForStopRequest() {
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  WaitForSingleObject(g_stopEvent, INFINITE);
}

}  // namespace vl
