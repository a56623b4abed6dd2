// The Linux back ends for Wayland compositors, reached without the desktop
// portal so that an unattended PC needs nobody to approve a session:
// GNOME through mutter's own D-Bus interfaces (frames over PipeWire), and
// wlroots compositors through screencopy and the virtual input protocols.
// Linux only.
#pragma once

#include <memory>
#include <string>

#include "echo/desktop_backend.h"

namespace vl {

// What a wlroots-style compositor offers, from one registry round trip on
// WAYLAND_DISPLAY.
struct WlrootsOffer {
  bool connected = false;       // the compositor answered
  bool screencopy = false;      // zwlr_screencopy_manager_v1
  bool virtualPointer = false;  // zwlr_virtual_pointer_manager_v1
  bool virtualKeyboard = false; // zwp_virtual_keyboard_manager_v1
  bool outputLayout = false;    // zxdg_output_manager_v1
};
WlrootsOffer probeWlroots();

// Whether org.gnome.Mutter.RemoteDesktop has an owner on the session bus.
bool gnomeRemoteDesktopOnBus();

// Open the back end; nullptr with `why` (a sentence for the log) when the
// compositor refuses or is gone.
std::shared_ptr<DesktopBackend> openGnomeBackend(std::string& why);
std::shared_ptr<DesktopBackend> openWlrootsBackend(std::string& why);

}  // namespace vl
