#include <windows.h>
#include <timeapi.h>

#include "echo/fine_timer.h"
#include "log/log.h"

namespace vl {

namespace {

// From processthreadsapi.h, spelled out: older headers lack them.
struct PowerThrottlingState {
  ULONG Version;
  ULONG ControlMask;
  ULONG StateMask;
};
constexpr int kProcessPowerThrottling = 4;  // PROCESS_INFORMATION_CLASS
constexpr ULONG kPowerThrottlingVersion = 1;
constexpr ULONG kIgnoreTimerResolution = 0x4;

}  // namespace

void holdFineTimer(bool hold) {
  if (hold) {
    timeBeginPeriod(1);
  } else {
    timeEndPeriod(1);
  }
}

bool keepFineTimerWhenHidden() {
  static const bool kept = [] {
    using SetInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    // Looked up at run time: Windows 7 lacks the call.
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto setInformation = kernel32 ? reinterpret_cast<SetInformationFn>(reinterpret_cast<void*>(
                                               GetProcAddress(kernel32, "SetProcessInformation")))
                                         : nullptr;
    if (!setInformation) return false;
    // The flag in the control mask with the state bit clear: the process's
    // timer resolution requests are always honoured.
    PowerThrottlingState state{kPowerThrottlingVersion, kIgnoreTimerResolution, 0};
    if (!setInformation(GetCurrentProcess(), kProcessPowerThrottling, &state, sizeof state)) {
      logWrite(LogLevel::Info, "系统未接受保留计时器精度（错误 %lu），隐藏到托盘时推流节奏可能变粗",
               GetLastError());
      return false;
    }
    return true;
  }();
  return kept;
}

}  // namespace vl
