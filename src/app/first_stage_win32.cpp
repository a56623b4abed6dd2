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

// Per-monitor v2 (Windows 10 1703 and later), else per-monitor through
// shcore (8.1 and later), else system-aware (Vista and later). Without any
// of them the coordinates are scaled and duplication refuses scaled
// displays. Each call is looked up at run time.
void makeProcessDpiAware() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  const auto setContext = reinterpret_cast<SetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  // -4: DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 (refused before 1703).
  if (setContext && setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;

  if (HMODULE shcore = LoadLibraryW(L"shcore.dll")) {
    using SetAwarenessFn = HRESULT(WINAPI*)(int);
    const auto setAwareness =
        reinterpret_cast<SetAwarenessFn>(reinterpret_cast<void*>(GetProcAddress(shcore, "SetProcessDpiAwareness")));
    // 2: PROCESS_PER_MONITOR_DPI_AWARE. Access denied: already set (a
    // manifest, or the call above did take effect after all).
    const HRESULT hr = setAwareness ? setAwareness(2) : E_NOTIMPL;
    FreeLibrary(shcore);
    if (SUCCEEDED(hr) || hr == E_ACCESSDENIED) return;
  }

  using SetAwareFn = BOOL(WINAPI*)();
  const auto setAware =
      reinterpret_cast<SetAwareFn>(reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDPIAware")));
  if (setAware) setAware();
}

}  // namespace vl
