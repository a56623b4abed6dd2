// Notice of display configuration changes: monitors plugged or unplugged,
// resolutions, rotations, the virtual-desktop size, the display server
// itself going or coming back. The agent then reads the monitors afresh.
#pragma once

#include <cstdint>
#include <memory>

namespace vl {

// Used on one thread (the agent's UI thread).
class DisplayWatch {
 public:
  virtual ~DisplayWatch() = default;
  // Non-blocking: whether the configuration may have changed since the last
  // call. Spurious true is allowed; the caller compares what it reads.
  virtual bool changed() = 0;
  // For the UI thread's wait: a handle that reads ready when changed() has
  // news (-1: none), and when changed() should be asked anyway (the
  // default: a watch with neither is asked a few times a second).
  virtual int waitHandle() const { return -1; }
  virtual std::uint64_t nextCheckMs(std::uint64_t nowMs) const { return nowMs + kDisplayRecheckMs; }

  static constexpr std::uint64_t kDisplayRecheckMs = 250;
};

// Linux: RandR screen-change, CRTC and output notifications and the root
// window's configure events (RandR 1.5 monitors added or removed) on an X
// connection of its own; a lost server counts as a change, and the display
// is tried again with a growing pause until a server answers. Windows: the
// window procedures report WM_DISPLAYCHANGE and WM_SETTINGCHANGE through
// noteDisplayChange.
std::unique_ptr<DisplayWatch> createDisplayWatch();

// Windows: called by every window procedure that receives a display or
// work-area change (any thread). Linux: unused.
void noteDisplayChange();
// Windows: for window procedures; notes WM_DISPLAYCHANGE, WM_DPICHANGED and
// the WM_SETTINGCHANGE of the work area or the DPI, and tells whether the
// message was one of them (the procedure still handles it as before).
// Linux: always false.
bool noteDisplayMessage(unsigned message, std::uintptr_t wParam);

}  // namespace vl
