#include "sysctl/system_actions.h"

#include <cmath>

#include "log/helpers.h"
#include "log/log.h"

namespace vl {
namespace {

constexpr char kDryRunVariable[] = "VL_POWER_DRY_RUN";

std::string hrText(const char* prefix, HResult hr) {
  return formatString("%s（0x%08X）", prefix, static_cast<unsigned>(hr));
}

bool isAudioOp(const std::string& op) {
  return op == "volup" || op == "voldown" || op == "mutetoggle" || op == "mute" ||
         op == "unmute";
}

bool changeVolume(AudioEndpoint& endpoint, bool up, int step, std::string& message, int* volume,
                  int* muteState) {
  const int s = clampVolumeStep(step);
  const int current = endpoint.volumePercent();
  const int base = current >= 0 ? current : 0;
  int target = up ? base + s : base - s;
  if (target <= 0) target = 0;
  if (target > 100) target = 100;
  const HResult hr = endpoint.setMasterVolume(static_cast<float>(target) / 100.0f);
  if (!hrSucceeded(hr)) {
    message = hrText("设置音量失败", hr);
    return false;
  }
  // A volume change always leaves the endpoint audible.
  if (endpoint.muteState() == 1) endpoint.setMute(false);
  const int now = endpoint.volumePercent();
  if (volume) *volume = now;
  if (muteState) *muteState = endpoint.muteState();
  message = volumeResultText(now, endpoint.muteState());
  logWrite(LogLevel::Info, "系统控制：音量 %s %d%% ⇒ %d%%", up ? "+" : "-", s, now);
  return true;
}

bool changeMute(AudioEndpoint& endpoint, const std::string& op, std::string& message, int* volume,
                int* muteState) {
  bool wanted = op == "mute";
  if (op == "mutetoggle") wanted = endpoint.muteState() != 1;
  const HResult hr = endpoint.setMute(wanted);
  if (!hrSucceeded(hr)) {
    message = hrText("设置静音失败", hr);
    return false;
  }
  if (volume) *volume = endpoint.volumePercent();
  if (muteState) *muteState = endpoint.muteState();
  message = wanted ? "已静音" : "已取消静音";
  logWrite(LogLevel::Info, "系统控制：%s", wanted ? "静音" : "取消静音");
  return true;
}

}  // namespace

int clampVolumeStep(int step) {
  if (step <= 0) return 1;
  if (step > 50) return 50;
  return step;
}

std::string volumeResultText(int percent, int muteState) {
  if (muteState == 1) {
    return percent < 0 ? std::string("静音中") : formatString("音量 %d%%（静音中）", percent);
  }
  return percent < 0 ? std::string("已执行") : formatString("音量 %d%%", percent);
}

AudioEndpoint::~AudioEndpoint() {
  endpointVolume_.reset();
  device_.reset();
  enumerator_.reset();
  if (comInitialised_) platform_.comUninitialize();
}

bool AudioEndpoint::open(std::string* error) {
  const HResult init = platform_.comInitialize();
  if (hrSucceeded(init)) {
    comInitialised_ = true;
  } else if (init != kHrChangedMode) {
    if (error) *error = hrText("初始化 COM 失败", init);
    return false;
  }
  HResult hr = platform_.createDeviceEnumerator(enumerator_);
  if (!hrSucceeded(hr) || !enumerator_) {
    if (error) *error = hrText("打开音频设备枚举失败", hr);
    return false;
  }
  hr = enumerator_->getDefaultRenderDevice(device_);
  if (!hrSucceeded(hr) || !device_) {
    if (error) *error = "没有默认播放设备（声卡被禁用 / 没装驱动）";
    return false;
  }
  hr = device_->activateEndpointVolume(endpointVolume_);
  if (!hrSucceeded(hr) || !endpointVolume_) {
    if (error) *error = hrText("打开主音量接口失败", hr);
    return false;
  }
  return true;
}

int AudioEndpoint::volumePercent() {
  float level = 0.0f;
  if (!endpointVolume_ || !hrSucceeded(endpointVolume_->getMasterVolumeLevelScalar(level))) return -1;
  // Written so that NaN falls to 0.
  float v = level > 0.0f ? level : 0.0f;
  if (v > 1.0f) v = 1.0f;
  return static_cast<int>(std::lround(v * 100.0f));
}

int AudioEndpoint::muteState() {
  bool muted = false;
  if (!endpointVolume_ || !hrSucceeded(endpointVolume_->getMute(muted))) return -1;
  return muted ? 1 : 0;
}

HResult AudioEndpoint::setMasterVolume(float level) {
  return endpointVolume_ ? endpointVolume_->setMasterVolumeLevelScalar(level) : kHrFail;
}

HResult AudioEndpoint::setMute(bool muted) {
  return endpointVolume_ ? endpointVolume_->setMute(muted) : kHrFail;
}

bool enableShutdownPrivilege(SystemPlatform& platform, std::string* error) {
  std::unique_ptr<ProcessToken> token;
  std::uint32_t code = 0;
  if (!platform.openProcessToken(token, code) || !token) {
    if (error) *error = formatString("拿不到本进程令牌（错误 %lu）", static_cast<unsigned long>(code));
    return false;
  }
  std::uint64_t luid = 0;
  if (!platform.lookupShutdownPrivilege(luid, code)) {
    if (error) *error = formatString("查不到关机特权（错误 %lu）", static_cast<unsigned long>(code));
    return false;  // the token closes with its holder
  }
  std::uint32_t lastError = 0;
  const bool adjusted = token->enablePrivilege(luid, lastError);
  token.reset();
  if (!adjusted || lastError == kErrorNotAllAssigned) {
    if (error) *error = "没有关机权限（“关闭系统”权限被组策略收走了，需要管理员运行被控端）";
    return false;
  }
  return true;
}

std::string powerRequestRefusedText(bool reboot, std::uint32_t code) {
  return formatString("系统拒绝了%s请求（错误 %lu）", reboot ? "重启" : "关机", static_cast<unsigned long>(code));
}

bool initiatePowerOff(SystemPlatform& platform, bool reboot, std::string& error,
                      std::string* message) {
  const char* what = reboot ? "重启" : "关机";
  if (!enableShutdownPrivilege(platform, &error)) {
    if (message) *message = error;
    return false;
  }
  if (envExists(kDryRunVariable)) {
    logWrite(LogLevel::Warn, "系统控制：演练模式，未执行%s", what);
    if (message) *message = reboot ? "正在重启" : "正在关机";
    return true;
  }
  std::uint32_t code = 0;
  if (!platform.requestPowerOff(reboot, code)) {
    error = powerRequestRefusedText(reboot, code);
    if (message) *message = error;
    return false;
  }
  if (message) *message = reboot ? "正在重启" : "正在关机";
  return true;
}

bool executeSystemOp(SystemPlatform& platform, const std::string& op, int step,
                     std::string* message, int* volume, int* muteState) {
  if (volume) *volume = -1;
  if (muteState) *muteState = -1;
  std::string text;
  bool ok = false;
  if (op == "wake") {
    text = "开机/唤醒由中控端直接发魔术包，不经被控端";
  } else if (op == "shutdown" || op == "restart") {
    std::string error;
    ok = initiatePowerOff(platform, op == "restart", error, &text);
  } else if (!isAudioOp(op)) {
    // Callers only pass table operations; anything else must not touch the device.
    text = "命令不合法：不认识的操作";
  } else {
    AudioEndpoint endpoint(platform);
    std::string error;
    if (!endpoint.open(&error)) {
      text = error.empty() ? std::string("本机没有可用的播放设备") : error;
    } else if (op == "volup" || op == "voldown") {
      ok = changeVolume(endpoint, op == "volup", step, text, volume, muteState);
    } else {
      ok = changeMute(endpoint, op, text, volume, muteState);
    }
  }
  if (message) *message = std::move(text);
  return ok;
}

bool executeSystemOp(const std::string& op, int step, std::string* message, int* volume,
                     int* muteState) {
  return executeSystemOp(defaultSystemPlatform(), op, step, message, volume, muteState);
}

}  // namespace vl
