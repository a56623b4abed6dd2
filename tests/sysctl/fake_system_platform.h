// A recording stand-in for the operating system: every call is appended to
// `calls`, each result can be set, and the endpoint keeps a volume and a
// mute flag like a real one would.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "log/helpers.h"
#include "sysctl/system_platform.h"

namespace vl::test {

class FakeSystemPlatform : public SystemPlatform {
 public:
  // Power.
  bool tokenOk = true;
  std::uint32_t tokenError = 5;
  bool lookupOk = true;
  std::uint32_t lookupError = 1313;
  bool adjustOk = true;
  std::uint32_t adjustLastError = 0;
  bool powerOk = true;
  std::uint32_t powerError = 1115;
  std::vector<bool> powerRequests;  // reboot flag of each request
  // Failures of requests already accepted, handed out one per call.
  struct LateFailure {
    bool reboot;
    std::uint32_t error;
  };
  std::vector<LateFailure> lateFailures;

  // Audio scope.
  HResult comInitResult = kHrOk;
  HResult enumeratorResult = kHrOk;
  bool enumeratorNull = false;
  HResult deviceResult = kHrOk;
  bool deviceNull = false;
  HResult activateResult = kHrOk;
  bool volumeNull = false;

  // Endpoint.
  float level = 0.5f;
  bool muted = false;
  HResult getVolumeResult = kHrOk;
  HResult setVolumeResult = kHrOk;
  HResult getMuteResult = kHrOk;
  HResult setMuteResult = kHrOk;
  std::vector<float> volumeSets;
  std::vector<bool> muteSets;

  std::vector<std::string> calls;
  int comDepth = 0;  // comInitialize successes minus comUninitialize calls

  bool touchedAudio() const {
    for (const auto& c : calls) {
      if (c == "comInitialize" || c == "createDeviceEnumerator") return true;
    }
    return false;
  }

  bool openProcessToken(std::unique_ptr<ProcessToken>& token, std::uint32_t& error) override {
    calls.push_back("openProcessToken");
    if (!tokenOk) {
      error = tokenError;
      return false;
    }
    token = std::make_unique<Token>(*this);
    return true;
  }

  bool lookupShutdownPrivilege(std::uint64_t& luid, std::uint32_t& error) override {
    calls.push_back("lookupShutdownPrivilege");
    if (!lookupOk) {
      error = lookupError;
      return false;
    }
    luid = 19;
    return true;
  }

  bool requestPowerOff(bool reboot, std::uint32_t& error) override {
    calls.push_back(reboot ? "requestPowerOff reboot" : "requestPowerOff");
    powerRequests.push_back(reboot);
    if (!powerOk) error = powerError;
    return powerOk;
  }

  bool takeLatePowerFailure(bool& reboot, std::uint32_t& error) override {
    if (lateFailures.empty()) return false;
    reboot = lateFailures.front().reboot;
    error = lateFailures.front().error;
    lateFailures.erase(lateFailures.begin());
    return true;
  }

  HResult comInitialize() override {
    calls.push_back("comInitialize");
    if (hrSucceeded(comInitResult)) ++comDepth;
    return comInitResult;
  }

  void comUninitialize() override {
    calls.push_back("comUninitialize");
    --comDepth;
  }

  HResult createDeviceEnumerator(std::unique_ptr<AudioDeviceEnumerator>& out) override {
    calls.push_back("createDeviceEnumerator");
    if (!enumeratorNull) out = std::make_unique<Enumerator>(*this);
    return enumeratorResult;
  }

 private:
  struct Token : ProcessToken {
    explicit Token(FakeSystemPlatform& f) : fake(f) {}
    ~Token() override { fake.calls.push_back("closeToken"); }
    bool enablePrivilege(std::uint64_t luid, std::uint32_t& lastError) override {
      fake.calls.push_back("enablePrivilege " + std::to_string(luid));
      lastError = fake.adjustLastError;
      return fake.adjustOk;
    }
    FakeSystemPlatform& fake;
  };

  struct Volume : EndpointVolume {
    explicit Volume(FakeSystemPlatform& f) : fake(f) {}
    ~Volume() override { fake.calls.push_back("releaseVolume"); }
    HResult getMasterVolumeLevelScalar(float& value) override {
      fake.calls.push_back("getVolume");
      if (hrSucceeded(fake.getVolumeResult)) value = fake.level;
      return fake.getVolumeResult;
    }
    HResult setMasterVolumeLevelScalar(float value) override {
      fake.calls.push_back("setVolume");
      fake.volumeSets.push_back(value);
      if (hrSucceeded(fake.setVolumeResult)) fake.level = value;
      return fake.setVolumeResult;
    }
    HResult getMute(bool& value) override {
      fake.calls.push_back("getMute");
      if (hrSucceeded(fake.getMuteResult)) value = fake.muted;
      return fake.getMuteResult;
    }
    HResult setMute(bool value) override {
      fake.calls.push_back(value ? "setMute 1" : "setMute 0");
      fake.muteSets.push_back(value);
      if (hrSucceeded(fake.setMuteResult)) fake.muted = value;
      return fake.setMuteResult;
    }
    FakeSystemPlatform& fake;
  };

  struct Device : AudioDevice {
    explicit Device(FakeSystemPlatform& f) : fake(f) {}
    ~Device() override { fake.calls.push_back("releaseDevice"); }
    HResult activateEndpointVolume(std::unique_ptr<EndpointVolume>& out) override {
      fake.calls.push_back("activateEndpointVolume");
      if (!fake.volumeNull) out = std::make_unique<Volume>(fake);
      return fake.activateResult;
    }
    FakeSystemPlatform& fake;
  };

  struct Enumerator : AudioDeviceEnumerator {
    explicit Enumerator(FakeSystemPlatform& f) : fake(f) {}
    ~Enumerator() override { fake.calls.push_back("releaseEnumerator"); }
    HResult getDefaultRenderDevice(std::unique_ptr<AudioDevice>& out) override {
      fake.calls.push_back("getDefaultRenderDevice");
      if (!fake.deviceNull) out = std::make_unique<Device>(fake);
      return fake.deviceResult;
    }
    FakeSystemPlatform& fake;
  };
};

// Passes everything to a real platform except the power request itself,
// which it only records: the real privilege path can be exercised without
// any chance of switching the machine off.
class PowerGuard : public SystemPlatform {
 public:
  explicit PowerGuard(SystemPlatform& real) : real_(real) {}
  std::vector<bool> powerRequests;

  bool openProcessToken(std::unique_ptr<ProcessToken>& token, std::uint32_t& error) override {
    return real_.openProcessToken(token, error);
  }
  bool lookupShutdownPrivilege(std::uint64_t& luid, std::uint32_t& error) override {
    return real_.lookupShutdownPrivilege(luid, error);
  }
  bool requestPowerOff(bool reboot, std::uint32_t&) override {
    powerRequests.push_back(reboot);
    return true;
  }
  HResult comInitialize() override { return real_.comInitialize(); }
  void comUninitialize() override { real_.comUninitialize(); }
  HResult createDeviceEnumerator(std::unique_ptr<AudioDeviceEnumerator>& out) override {
    return real_.createDeviceEnumerator(out);
  }

 private:
  SystemPlatform& real_;
};

}  // namespace vl::test
