// The UI scale on Windows: the system DPI of a DPI-aware process.
#include <windows.h>

#include "agent/theme.h"

namespace vl {

float systemDpiScale() {
  // GetDpiForSystem exists from Windows 10 1607 on; older systems answer
  // through the screen's device context.
  using GetDpiForSystemFn = UINT(WINAPI*)();
  if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
    auto fn = reinterpret_cast<GetDpiForSystemFn>(reinterpret_cast<void*>(GetProcAddress(user32, "GetDpiForSystem")));
    if (fn) {
      const UINT dpi = fn();
      if (dpi >= 72) return static_cast<float>(dpi) / 96.0f;
    }
  }
  if (HDC screen = GetDC(nullptr)) {
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    if (dpi >= 72) return static_cast<float>(dpi) / 96.0f;
  }
  return 1.0f;
}

}  // namespace vl
