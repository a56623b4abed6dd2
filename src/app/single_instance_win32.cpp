#include <windows.h>

#include "app/single_instance.h"
#include "log/helpers.h"

namespace vl {
namespace {
// Held for the life of the process; the system releases it at exit.
HANDLE g_instanceMutex = nullptr;
}  // namespace

std::string singleInstanceName(std::uint32_t key) {
  return formatString("Local\\VL_SingleInstance_%08X", static_cast<unsigned>(key));
}

bool anotherInstanceRunning() {
  wchar_t path[260] = {};
  GetModuleFileNameW(nullptr, path, 260);
  const std::uint32_t key = singleInstanceKey(path);
  g_instanceMutex = CreateMutexW(nullptr, FALSE, toWide(singleInstanceName(key)).c_str());
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

}  // namespace vl
