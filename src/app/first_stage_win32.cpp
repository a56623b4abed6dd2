#include <windows.h>
#include <shellapi.h>

#include "app/first_stage.h"
#include "log/helpers.h"

namespace vl {

std::vector<std::string> commandLineArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 0; i < count; ++i) args.push_back(toNarrow(argv[i]));
  LocalFree(argv);
  return args;
}

void showLaunchInfo(const std::string& text) {
  MessageBoxW(nullptr, toWide(text).c_str(), L"Velmora Agent", MB_OK | MB_ICONINFORMATION);
}

void makeProcessDpiAware() {
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  auto fn = reinterpret_cast<SetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  if (fn) fn(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));  // per-monitor v2
}

}  // namespace vl
