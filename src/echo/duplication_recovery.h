// Keeps desktop duplication coming back. Duplication fails in the field for
// passing reasons: a UAC prompt, the lock screen or Ctrl+Alt+Del switch to the
// secure desktop, a mode change or a full-screen program ends it, a driver
// reset removes the device. The recovery decides, pass by pass, where the
// picture comes from and when to set duplication up again; the platform
// layer behind DuplicationBackend does the calls. No platform types here,
// so both builds test the decisions against a scripted backend.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "echo/capture.h"
#include "log/log.h"

namespace vl {

// Failed duplication is set up again this often while GDI serves.
inline constexpr std::uint64_t kDuplicationRetryMs = 2000;
// While the secure desktop is up nothing is lost by waiting, but the way
// back should be quick once it is gone.
inline constexpr std::uint64_t kSecureDesktopRetryMs = 500;

// What a call into the platform's duplication reported.
enum class DuplicationFault {
  None,
  AccessLost,  // duplication ended: desktop switch, mode change, full-screen program
  Refused,     // set-up refused with access denied / unsupported (the secure desktop, after AccessLost)
  DeviceLost,  // the graphics device was removed or reset
  Rotated,     // the output is rotated: the duplicated image would come sideways
  Unavailable, // the system has no duplication at all (Windows 7, Wine): not retried
  Other,       // anything else; the reason says what
};

// The platform half. Slots name the two staging textures: a copy is queued
// into one while the other may still be read.
class DuplicationBackend {
 public:
  virtual ~DuplicationBackend() = default;
  // Duplicates the output again (checking rotation and size each time);
  // with newDevice the graphics device is made afresh first.
  virtual DuplicationFault setUp(bool newDevice, std::string& reason) = 0;
  // Releases the duplication (and with it any acquired frame).
  virtual void tearDown() = 0;
  // Takes the next desktop frame without waiting. `queued` is set when a
  // change of the picture was copied into `slot` (not when only the pointer
  // moved, the wait timed out, no frame was presented, or nothing changed
  // inside the region).
  virtual DuplicationFault acquire(int slot, bool& queued, std::string& reason) = 0;
  // Reads `slot` into the capture buffer; `damage` receives what of the
  // picture that changed (frame pixels; whole after a set-up). Without
  // `wait` a copy the GPU has not finished sets `stillDrawing` and reads
  // nothing.
  virtual DuplicationFault read(int slot, bool wait, bool& stillDrawing, FrameDamage& damage,
                                std::string& reason) = 0;
};

// Where this pass's picture comes from.
enum class PictureSource {
  NewPicture,  // the capture buffer holds a new desktop picture
  Unchanged,   // nothing new on the desktop: the last picture stands
  Gdi,         // copy with GDI this pass (duplication failing, or no picture yet)
  KeepLast,    // the secure desktop is up: keep the last picture rather than black
};

class DuplicationRecovery {
 public:
  using LogSink = std::function<void(LogLevel, const std::string&)>;
  // `log` receives the user-facing lines (logWrite when empty).
  DuplicationRecovery(DuplicationBackend& backend, LogSink log = {});

  // One capture pass at `nowMs`. `hadPicture`: the capture buffer holds a
  // picture served earlier (from either source).
  PictureSource step(std::uint64_t nowMs, bool hadPicture);
  // The capturer opened again (a new region): set up at the next pass. What
  // was logged, the secure desktop and a lost device are remembered.
  void restart();

  // What the last NewPicture changed in the capture buffer.
  const FrameDamage& damage() const { return damage_; }

  // Whether duplication is set up at the moment.
  bool active() const { return active_; }
  bool onSecureDesktop() const { return secureDesktop_; }

 private:
  PictureSource trySetUp(std::uint64_t nowMs, bool hadPicture);
  PictureSource acquireAndRead(std::uint64_t nowMs, bool hadPicture, bool fresh);
  PictureSource stop(std::uint64_t nowMs, bool hadPicture, bool fresh, DuplicationFault fault,
                     const std::string& reason);
  PictureSource fallBack(std::uint64_t nowMs, bool hadPicture, DuplicationFault fault, const std::string& reason);
  PictureSource pictureRead();
  void log(LogLevel level, const std::string& text);

  DuplicationBackend& backend_;
  LogSink log_;
  bool active_ = false;
  bool everActive_ = false;      // set up at least once since construction
  bool accessLost_ = false;      // the last duplication ended with AccessLost
  bool newDevice_ = false;       // the device is gone: make a new one at the next set-up
  bool secureDesktop_ = false;
  bool unavailable_ = false;     // GDI for good
  bool announceSecureEnd_ = false;  // left the secure desktop; said at the first picture
  bool havePicture_ = false;     // a duplicated picture was read since the last set-up
  int writeSlot_ = 0;            // the staging texture the next copy goes into
  int pendingSlot_ = -1;         // a queued copy not read yet
  std::uint64_t retryAtMs_ = 0;
  std::string lastReason_;       // the GDI fallback reason logged last
  FrameDamage damage_;
};

}  // namespace vl
