// The operating-system calls behind the power and audio actions, one
// interface so the actions can run against a recording fake in tests.
// Windows: process token, InitiateSystemShutdownExW, COM and Core Audio.
// Linux: systemctl for power, the PulseAudio server's default sink for audio.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vl {

// COM-style result code: negative (bit 31 set) means failure.
using HResult = std::int32_t;
inline bool hrSucceeded(HResult hr) { return hr >= 0; }

inline constexpr HResult kHrOk = 0;
inline constexpr HResult kHrFalse = 1;
inline constexpr HResult kHrNotImplemented = static_cast<HResult>(0x80004001u);
inline constexpr HResult kHrFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kHrOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kHrNotFound = static_cast<HResult>(0x80070490u);
inline constexpr HResult kHrTimeout = static_cast<HResult>(0x800705B4u);
inline constexpr HResult kHrChangedMode = static_cast<HResult>(0x80010106u);

inline constexpr std::uint32_t kErrorNotAllAssigned = 1300;

// An open token of this process; destroying it closes the handle.
class ProcessToken {
 public:
  virtual ~ProcessToken() = default;
  // Enables the privilege `luid`; returns whether the call itself succeeded
  // and gives the thread's last error read right after it.
  virtual bool enablePrivilege(std::uint64_t luid, std::uint32_t& lastError) = 0;
};

// The master volume of one endpoint; destroying it releases the interface.
class EndpointVolume {
 public:
  virtual ~EndpointVolume() = default;
  virtual HResult getMasterVolumeLevelScalar(float& level) = 0;
  virtual HResult setMasterVolumeLevelScalar(float level) = 0;
  virtual HResult getMute(bool& muted) = 0;
  virtual HResult setMute(bool muted) = 0;
};

class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  virtual HResult activateEndpointVolume(std::unique_ptr<EndpointVolume>& out) = 0;
};

class AudioDeviceEnumerator {
 public:
  virtual ~AudioDeviceEnumerator() = default;
  // The default playback (render, console role) device.
  virtual HResult getDefaultRenderDevice(std::unique_ptr<AudioDevice>& out) = 0;
};

class SystemPlatform {
 public:
  virtual ~SystemPlatform() = default;

  // Failures give the system's error number (GetLastError, errno or an exit status).
  virtual bool openProcessToken(std::unique_ptr<ProcessToken>& token, std::uint32_t& error) = 0;
  virtual bool lookupShutdownPrivilege(std::uint64_t& luid, std::uint32_t& error) = 0;
  // Forced, immediate, no message; true once the system has accepted it, or
  // once the request is under way where finding out would block (Linux).
  virtual bool requestPowerOff(bool reboot, std::uint32_t& error) = 0;
  // A request accepted under way that then failed, each reported once:
  // true with its reboot flag and error. Never blocks; polled from the tick.
  virtual bool takeLatePowerFailure(bool& reboot, std::uint32_t& error) {
    (void)reboot;
    (void)error;
    return false;
  }
  // Whether a request handed over may still report through
  // takeLatePowerFailure (its caller then checks again soon).
  virtual bool powerRequestsOutstanding() const { return false; }

  // Apartment-threaded on the calling thread; kHrChangedMode when the thread
  // already belongs to another apartment.
  virtual HResult comInitialize() = 0;
  virtual void comUninitialize() = 0;
  virtual HResult createDeviceEnumerator(std::unique_ptr<AudioDeviceEnumerator>& out) = 0;
};

// The real platform of this build (a process-wide object).
SystemPlatform& defaultSystemPlatform();

#if !defined(_WIN32)
struct LinuxPlatformOptions {
  // PulseAudio server address ("unix:/path/native"); empty: the usual lookup.
  std::string pulseServer;
  // Program run for power requests, with "poweroff" or "reboot" appended.
  std::vector<std::string> powerCommand = {"systemctl", "--no-ask-password", "-i"};
  // Upper bound for every PulseAudio exchange.
  int pulseTimeoutMs = 1000;
  // Upper bound for the power command to finish; it is then killed and the
  // request reported as failed.
  int powerCommandTimeoutMs = 10000;
};

std::unique_ptr<SystemPlatform> makeLinuxSystemPlatform(const LinuxPlatformOptions& options);
#endif

}  // namespace vl
