// The parts of the windowed run both platforms share.
#include "app/window.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

#include <imgui.h>

#include "agent/agent.h"
#include "agent/fonts.h"
#include "agent/theme.h"
#include "log/log.h"

namespace vl {

std::uint32_t parseStallMs(const char* text) {
  if (!text || !*text) return 0;
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') return 0;  // no sign, no blanks, no suffix
  errno = 0;
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return 0;
  return static_cast<std::uint32_t>(value);
}

std::uint64_t StallSelfTest::dueMs() const {
  if (stallMs_ == 0 || ran_) return std::numeric_limits<std::uint64_t>::max();
  return startMs_ + kStallTestDelayMs + 1;
}

bool StallSelfTest::runIfDue(std::uint64_t nowMs) {
  if (stallMs_ == 0 || ran_ || nowMs - startMs_ <= kStallTestDelayMs) return false;
  ran_ = true;
  logWrite(LogLevel::Warn, "【自检】界面线程阻塞 %llu ms（模拟拖动窗口）—— 推流应当不受影响",
           static_cast<unsigned long long>(stallMs_));
  std::this_thread::sleep_for(std::chrono::milliseconds(stallMs_));
  logWrite(LogLevel::Warn, "【自检】界面线程恢复");
  return true;
}

bool RendererKeeper::startDevice() {
  deviceUp_ = device_.createDevice();
  return deviceUp_;
}

bool RendererKeeper::startBackend() {
  backendUp_ = deviceUp_ && device_.initBackend();
  return backendUp_;
}

void RendererKeeper::shutDownBackend() {
  if (backendUp_) device_.shutdownBackend();
  backendUp_ = false;
}

void RendererKeeper::tearDown() {
  shutDownBackend();
  if (deviceUp_) device_.destroyDevice();
  deviceUp_ = false;
}

void RendererKeeper::shutDown() { tearDown(); }

bool RendererKeeper::rebuild(std::uint64_t nowMs) {
  tried_ = true;
  lastTryMs_ = nowMs;
  tearDown();
  if (start()) {
    if (failureLogged_) logWrite(LogLevel::Info, "渲染设备已重建");
    down_ = false;
    failureLogged_ = false;
    return true;
  }
  tearDown();  // a device without its backend is of no use
  if (!failureLogged_) {
    logWrite(LogLevel::Warn, "渲染设备重建失败，每秒重试一次（推流不受影响）");
    failureLogged_ = true;
  }
  return false;
}

void RendererKeeper::lost(std::uint64_t nowMs, unsigned long code) {
  if (!down_) logWrite(LogLevel::Warn, "渲染设备丢失（0x%08lX），正在重建", code);
  down_ = true;
  rebuild(nowMs);
}

bool RendererKeeper::ready(std::uint64_t nowMs) {
  if (!down_ && deviceUp_ && backendUp_) return true;
  down_ = true;  // also a start that left half of it down
  if (tried_ && nowMs - lastTryMs_ < kDeviceRebuildRetryMs) return false;
  return rebuild(nowMs);
}

void TrayAddRetry::attempted(bool added, std::uint64_t nowMs) {
  failures_ = added ? 0 : failures_ + 1;
  lastMs_ = nowMs;
}

bool TrayAddRetry::due(std::uint64_t nowMs) const {
  return failures_ > 0 && failures_ <= kTrayAddRetries && nowMs - lastMs_ >= kTrayAddRetryMs;
}

std::uint64_t TrayAddRetry::dueMs() const {
  if (failures_ <= 0 || failures_ > kTrayAddRetries) return std::numeric_limits<std::uint64_t>::max();
  return lastMs_ + kTrayAddRetryMs;
}

bool startsInTray(const LaunchOptions& options, bool trayOnStart) { return options.startInTray || trayOnStart; }

void startAgentForWindow(Agent& agent, const LaunchOptions& options, void* window) {
  // A Wayland compositor's own back end, where one serves, replaces the X11
  // calls for monitors, capture, input and display notices from the start.
  agent.desktopStartup = startDesktopBackend();
  agent.start(window);
  if (!options.hubAddress.empty()) agent.useCommandLineHub(options.hubAddress);
  if (options.hasRegionOverride) agent.setRegionOverride(options.regionOverride);
  agent.onHideToTray = [] { requestHideToTray(); };
  agent.onExitRequest = [] { requestExit(); };
}

float createGuiContext() {
  const float scale = clampUiScale(systemDpiScale());
  IMGUI_CHECKVERSION();
  ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
  io.IniFilename = nullptr;
  static FontSet fonts;  // lives until the context is destroyed at exit
  loadFonts(scale, fonts, true, 0.0f);
  applyTheme(scale);
  return scale;
}

}  // namespace vl
