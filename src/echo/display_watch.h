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
