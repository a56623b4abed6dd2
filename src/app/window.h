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
  // When runIfDue will run it; UINT64_MAX when it never will (again).
  std::uint64_t dueMs() const;

 private:
  std::uint32_t stallMs_;
  std::uint64_t startMs_;
  bool ran_ = false;
};

// The GUI's renderer as the render loop sees it: the device (with its swap
// chain and target) and the GUI's renderer backend on top of it. The
// platform implements it; tests use a fake.
class RendererDevice {
 public:
  virtual ~RendererDevice() = default;
  virtual bool createDevice() = 0;
  virtual void destroyDevice() = 0;
  virtual bool initBackend() = 0;
  virtual void shutdownBackend() = 0;
};

// A failed rebuild is tried again this often (not every frame: creating a
// device after a driver reset can take long and fail many times).
inline constexpr std::uint64_t kDeviceRebuildRetryMs = 1000;

// Keeps track of what of the renderer is up, so that a lost device is
// rebuilt, nothing is drawn through a backend that is shut, and the exit
// shuts down only what was set up.
class RendererKeeper {
 public:
  explicit RendererKeeper(RendererDevice& device) : device_(device) {}
  // Device, then backend. false when either fails (what came up stays up
  // for shutDown to release). The start-up makes the device before the GUI
  // exists and the backend after, so the halves are there on their own.
  bool start() { return startDevice() && startBackend(); }
  bool startDevice();
  bool startBackend();
  // The device is gone (Present said removed or reset): everything is torn
  // down and rebuilt at once; `code` goes into the log line.
  void lost(std::uint64_t nowMs, unsigned long code);
  // Whether a frame may be drawn now. While the renderer is down, a rebuild
  // is tried when a second has passed since the last try.
  bool ready(std::uint64_t nowMs);
  // The exit: the backend, then (after the rest of the GUI) the device,
  // each only when up.
  void shutDownBackend();
  void shutDown();

  bool deviceUp() const { return deviceUp_; }
  bool backendUp() const { return backendUp_; }

 private:
  bool rebuild(std::uint64_t nowMs);
  void tearDown();

  RendererDevice& device_;
  bool deviceUp_ = false;
  bool backendUp_ = false;
  bool down_ = false;  // lost and not rebuilt yet
  bool failureLogged_ = false;
  bool tried_ = false;
  std::uint64_t lastTryMs_ = 0;
};

// Adding the tray icon fails when the shell is not ready yet (an early
// logon); it is tried again a few times, seconds apart.
inline constexpr int kTrayAddRetries = 5;
inline constexpr std::uint64_t kTrayAddRetryMs = 3000;

class TrayAddRetry {
 public:
  // The outcome of an attempt at `nowMs`.
  void attempted(bool added, std::uint64_t nowMs);
  // A new series (the shell restarted, or the window is hidden again).
  void reset() { failures_ = 0; }
  // Whether another attempt is due.
  bool due(std::uint64_t nowMs) const;
  // When the next attempt falls due; UINT64_MAX when none will.
  std::uint64_t dueMs() const;
  // The failure just reported was the first of its series (worth a line).
  bool firstFailure() const { return failures_ == 1; }

 private:
  int failures_ = 0;
  std::uint64_t lastMs_ = 0;
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
