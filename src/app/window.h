// The main window's shell: the state the UI thread keeps, the parts of the
// start-up, render loop and shutdown both platforms share, and the
// platform's windowed run.
#pragma once

#include <cstdint>
#include <string>

#include "app/launch_options.h"

namespace vl {

class Agent;

inline constexpr const char kMainWindowTitle[] = "Velmora 被控端";
inline constexpr int kMainWindowWidth = 1080;
inline constexpr int kMainWindowHeight = 720;
inline constexpr float kClearColor[4] = {0.055f, 0.071f, 0.094f, 1.0f};
inline constexpr const char kTrayTip[] = "Velmora 被控端 —— 正在后台运行（右键可显示/退出）";
inline constexpr const char kTrayMenuShow[] = "显示主界面";
inline constexpr const char kTrayMenuExit[] = "退出";
inline constexpr const char kWindowFailedText[] = "创建窗口失败。";
inline constexpr int kPausedSleepMs = 20;
inline constexpr std::uint64_t kStallTestDelayMs = 6000;

struct WindowState {
  bool running = true;
  bool renderPaused = false;
  bool hiddenInTray = false;
  bool closeHidesToTray = false;
  bool exitRequested = false;
  bool trayIconAdded = false;
  float dpiScale = 1.0f;
  int clientWidth = 1;
  int clientHeight = 1;
};

// VL_AGENT_STALL_MS as the self-test's length: 1 … 4294967295 ms; missing,
// not a decimal number, 0, negative or larger: 0 (no self-test).
std::uint32_t parseStallMs(const char* text);

// The UI-thread block of the start-up self-test: once, when stallMs is not 0
// and more than 6 s have passed since the loop began.
class StallSelfTest {
 public:
  StallSelfTest(std::uint32_t stallMs, std::uint64_t loopStartMs) : stallMs_(stallMs), startMs_(loopStartMs) {}
  // Blocks (logging before and after) when due; true when it ran now.
  bool runIfDue(std::uint64_t nowMs);

 private:
  std::uint32_t stallMs_;
  std::uint64_t startMs_;
  bool ran_ = false;
};

// Whether the window starts hidden in the tray (--tray or trayOnStart).
bool startsInTray(const LaunchOptions& options, bool trayOnStart);

// Steps shared by both platforms once the window and the GUI exist: starts
// the agent, applies the command-line overrides and fills the callbacks.
void startAgentForWindow(Agent& agent, const LaunchOptions& options, void* window);

// Creates the GUI context (no ini file, keyboard navigation), loads the
// fonts and applies the theme for the system's UI scale; returns the scale.
float createGuiContext();

// The second stage with the window; returns the process's exit code.
int runWindowed(const LaunchOptions& options, Agent& agent);

// The callbacks the agent's panel buttons invoke (set by the platform).
void requestHideToTray();
void requestExit();

}  // namespace vl
