// The parts of the windowed run both platforms share.
#include "app/window.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
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

bool StallSelfTest::runIfDue(std::uint64_t nowMs) {
  if (stallMs_ == 0 || ran_ || nowMs - startMs_ <= kStallTestDelayMs) return false;
  ran_ = true;
  logWrite(LogLevel::Warn, "【自检】界面线程阻塞 %llu ms（模拟拖动窗口）—— 推流应当不受影响",
           static_cast<unsigned long long>(stallMs_));
  std::this_thread::sleep_for(std::chrono::milliseconds(stallMs_));
  logWrite(LogLevel::Warn, "【自检】界面线程恢复");
  return true;
}

bool startsInTray(const LaunchOptions& options, bool trayOnStart) { return options.startInTray || trayOnStart; }

void startAgentForWindow(Agent& agent, const LaunchOptions& options, void* window) {
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
