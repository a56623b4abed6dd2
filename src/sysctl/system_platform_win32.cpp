// Windows side of the system operations: advapi32 for the shutdown
// privilege and request, COM and Core Audio for the master volume.
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>

#include "sysctl/system_platform.h"

namespace vl {
namespace {

// Spelled out here so the build does not depend on which GUIDs the
// toolchain's uuid library happens to carry.
constexpr GUID kClsidMMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr GUID kIidIMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr GUID kIidIAudioEndpointVolume = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};

constexpr DWORD kShutdownReason = 0x80040000;  // planned, major application, minor 0

class Win32Token final : public ProcessToken {
 public:
  explicit Win32Token(HANDLE handle) : handle_(handle) {}
  ~Win32Token() override { CloseHandle(handle_); }

  bool enablePrivilege(std::uint64_t luid, std::uint32_t& lastError) override {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid & 0xFFFFFFFFu);
    tp.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const BOOL ok = AdjustTokenPrivileges(handle_, FALSE, &tp, sizeof(tp), nullptr, nullptr);
    lastError = GetLastError();
    return ok != 0;
  }

 private:
  HANDLE handle_;
};

class Win32EndpointVolume final : public EndpointVolume {
 public:
  explicit Win32EndpointVolume(IAudioEndpointVolume* p) : p_(p) {}
  ~Win32EndpointVolume() override { p_->Release(); }

  HResult getMasterVolumeLevelScalar(float& level) override {
    return p_->GetMasterVolumeLevelScalar(&level);
  }
  HResult setMasterVolumeLevelScalar(float level) override {
    return p_->SetMasterVolumeLevelScalar(level, nullptr);
  }
  HResult getMute(bool& muted) override {
    BOOL value = FALSE;
    const HRESULT hr = p_->GetMute(&value);
    muted = value != FALSE;
    return hr;
  }
  HResult setMute(bool muted) override { return p_->SetMute(muted ? TRUE : FALSE, nullptr); }

 private:
  IAudioEndpointVolume* p_;
};

class Win32AudioDevice final : public AudioDevice {
 public:
  explicit Win32AudioDevice(IMMDevice* p) : p_(p) {}
  ~Win32AudioDevice() override { p_->Release(); }

  HResult activateEndpointVolume(std::unique_ptr<EndpointVolume>& out) override {
    void* raw = nullptr;
    const HRESULT hr = p_->Activate(kIidIAudioEndpointVolume, CLSCTX_ALL, nullptr, &raw);
    if (raw) out = std::make_unique<Win32EndpointVolume>(static_cast<IAudioEndpointVolume*>(raw));
    return hr;
  }

 private:
  IMMDevice* p_;
};

class Win32DeviceEnumerator final : public AudioDeviceEnumerator {
 public:
  explicit Win32DeviceEnumerator(IMMDeviceEnumerator* p) : p_(p) {}
  ~Win32DeviceEnumerator() override { p_->Release(); }

  HResult getDefaultRenderDevice(std::unique_ptr<AudioDevice>& out) override {
    IMMDevice* device = nullptr;
    const HRESULT hr = p_->GetDefaultAudioEndpoint(eRender, eConsole, &device);
    if (device) out = std::make_unique<Win32AudioDevice>(device);
    return hr;
  }

 private:
  IMMDeviceEnumerator* p_;
};

class Win32SystemPlatform final : public SystemPlatform {
 public:
  bool openProcessToken(std::unique_ptr<ProcessToken>& token, std::uint32_t& error) override {
    HANDLE handle = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &handle)) {
      error = GetLastError();
      return false;
    }
    token = std::make_unique<Win32Token>(handle);
    return true;
  }

  bool lookupShutdownPrivilege(std::uint64_t& luid, std::uint32_t& error) override {
    LUID value{};
    if (!LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &value)) {
      error = GetLastError();
      return false;
    }
    luid = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(value.HighPart)) << 32) |
           value.LowPart;
    return true;
  }

  bool requestPowerOff(bool reboot, std::uint32_t& error) override {
    if (InitiateSystemShutdownExW(nullptr, nullptr, 0, TRUE, reboot ? TRUE : FALSE,
                                  kShutdownReason)) {
      return true;
    }
    error = GetLastError();
    return false;
  }

  HResult comInitialize() override { return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  void comUninitialize() override { CoUninitialize(); }

  HResult createDeviceEnumerator(std::unique_ptr<AudioDeviceEnumerator>& out) override {
    void* raw = nullptr;
    const HRESULT hr =
        CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL, kIidIMMDeviceEnumerator, &raw);
    if (raw) out = std::make_unique<Win32DeviceEnumerator>(static_cast<IMMDeviceEnumerator*>(raw));
    return hr;
  }
};

}  // namespace

SystemPlatform& defaultSystemPlatform() {
  static Win32SystemPlatform platform;
  return platform;
}

}  // namespace vl
