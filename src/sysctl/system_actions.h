// Power and audio actions: shutdown and restart with the shutdown privilege,
// master volume and mute of the default playback device. Stateless; every
// audio call opens and closes its own endpoint scope.
#pragma once

#include <memory>
#include <string>

#include "sysctl/system_platform.h"

namespace vl {

// Step 0 and below -> 1, above 50 -> 50.
int clampVolumeStep(int step);

// "音量 %d%%", "音量 %d%%（静音中）", "静音中" or "已执行".
std::string volumeResultText(int percent, int muteState);

// Runs one operation ("shutdown", "restart", "volup", "voldown",
// "mutetoggle", "mute", "unmute"). The outputs that are given are set to -1
// first; volume and mute operations fill them with the state that holds
// afterwards. Power operations honour VL_POWER_DRY_RUN.
bool executeSystemOp(SystemPlatform& platform, const std::string& op, int step,
                     std::string* message, int* volume, int* muteState);
bool executeSystemOp(const std::string& op, int step, std::string* message, int* volume,
                     int* muteState);

// "系统拒绝了关机请求（错误 N）" / "…重启…": the system turned a power request down.
std::string powerRequestRefusedText(bool reboot, std::uint32_t code);

bool enableShutdownPrivilege(SystemPlatform& platform, std::string* error);
bool initiatePowerOff(SystemPlatform& platform, bool reboot, std::string& error,
                      std::string* message);

// A scoped hold on the default render endpoint. Released in reverse order
// (volume control, device, enumerator, then COM) when the scope ends,
// whether the open succeeded or not.
class AudioEndpoint {
 public:
  explicit AudioEndpoint(SystemPlatform& platform) : platform_(platform) {}
  ~AudioEndpoint();
  AudioEndpoint(const AudioEndpoint&) = delete;
  AudioEndpoint& operator=(const AudioEndpoint&) = delete;

  bool open(std::string* error);
  // 0..100, or -1 when unreadable.
  int volumePercent();
  // 1 muted, 0 not muted, -1 unreadable.
  int muteState();
  HResult setMasterVolume(float level);
  HResult setMute(bool muted);

 private:
  SystemPlatform& platform_;
  bool comInitialised_ = false;
  std::unique_ptr<AudioDeviceEnumerator> enumerator_;
  std::unique_ptr<AudioDevice> device_;
  std::unique_ptr<EndpointVolume> endpointVolume_;
};

}  // namespace vl
