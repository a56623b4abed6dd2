// The main window on Linux: GLFW with an OpenGL 3 context for the GUI, the
// render loop, and the freedesktop tray icon in place of the notification
// area.
#include "agent/agent.h"
#include "agent/fonts.h"
#include "app/app_icon.h"
#include "app/single_instance.h"
#include "app/stop_request.h"
#include "app/window.h"
#include "log/helpers.h"
#include "log/log.h"
#include "net/wait_set.h"

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <imgui.h>
#include <imgui_impl_glfw.h>
#include <imgui_impl_opengl3.h>

// Xlib's macros (None, Success, Status, …) clash with names in the
// project's headers, so everything that pulls Xlib in comes last.
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3.h>
#include <GLFW/glfw3native.h>
#include <X11/Xutil.h>

#include "app/tray_linux.h"

extern char** environ;

namespace vl {
namespace {

// Xvfb and X servers without a compositor have no vertical blank to wait
// for, so the swap returns at once; this cap keeps the loop near 60 frames.
constexpr std::chrono::microseconds kFrameInterval(16667);
// How long a hide may take to show (a window manager unmaps an iconified
// window a moment later); a window still mapped after that was not hidden
// (no window manager) and is drawn again.
constexpr std::uint64_t kHideSettleMs = 1000;
// A tray that ends while the window is hidden usually comes back at once
// (a panel restart); only then is the window minimised instead.
constexpr std::uint64_t kTrayReturnMs = 2000;

WindowState g_state;
GLFWwindow* g_window = nullptr;
LinuxTray g_tray;
std::string g_glfwError;

// Presentation while hidden: when the hide began, and whether the window
// has been seen unmapped since, so that a later map is an outside show.
std::uint64_t g_hiddenAtMs = 0;
bool g_seenUnmapped = false;
std::uint64_t g_trayLostAtMs = 0;

// Dear ImGui 1.86 has no input queue: a key is the level of io.KeysDown[]
// when a frame starts, so a press and its release that arrive in one pump
// pass (xdotool, remote input, a quick tap during a slow frame) are never
// seen, and InputText acts on one editing key per frame. Keys and typed
// characters are therefore queued here and handed to the backend at the
// start of each frame in arrival order, stopping before the release of a
// key pressed in this frame (the next frame gets it) and before a second
// key press; modifiers go along with the key they modify. Mouse buttons
// need no such help: the 1.86 GLFW backend latches a press for one frame
// itself (MouseJustPressed) and reads the level with glfwGetMouseButton.
struct QueuedInput {
  bool isChar;
  int key, scancode, action, mods;
  unsigned codepoint;
};
GLFWkeyfun g_backendKeyCallback = nullptr;
GLFWcharfun g_backendCharCallback = nullptr;
std::deque<QueuedInput> g_inputQueue;

void onKey(GLFWwindow*, int key, int scancode, int action, int mods) {
  g_inputQueue.push_back({false, key, scancode, action, mods, 0});
}

void onChar(GLFWwindow*, unsigned codepoint) { g_inputQueue.push_back({true, 0, 0, 0, 0, codepoint}); }

bool isModifierKey(int key) { return key >= GLFW_KEY_LEFT_SHIFT && key <= GLFW_KEY_RIGHT_SUPER; }

// everything: while no frame is drawn, so that no key stays down.
void deliverQueuedInput(bool everything) {
  std::bitset<GLFW_KEY_LAST + 1> pressedNow;
  bool keyPressedNow = false;
  while (!g_inputQueue.empty()) {
    const QueuedInput in = g_inputQueue.front();
    const bool known = !in.isChar && in.key >= 0 && in.key <= GLFW_KEY_LAST;
    if (known && !everything) {
      const auto bit = static_cast<std::size_t>(in.key);
      if (in.action == GLFW_RELEASE && pressedNow.test(bit)) break;
      if (in.action != GLFW_RELEASE && !isModifierKey(in.key)) {
        if (keyPressedNow) break;
        keyPressedNow = true;
      }
      if (in.action != GLFW_RELEASE) pressedNow.set(bit);
    }
    g_inputQueue.pop_front();
    if (in.isChar && g_backendCharCallback) g_backendCharCallback(g_window, in.codepoint);
    if (!in.isChar && g_backendKeyCallback) g_backendKeyCallback(g_window, in.key, in.scancode, in.action, in.mods);
  }
}

void updateClientSize() {
  int width = 0, height = 0;
  glfwGetFramebufferSize(g_window, &width, &height);
  g_state.clientWidth = std::max(1, width);
  g_state.clientHeight = std::max(1, height);
}

// The WM_HINTS initial state: a window mapped while it says "iconic" starts
// minimised (no flash of a shown window first).
void setMapsIconic(bool iconic) {
  Display* display = glfwGetX11Display();
  const Window window = glfwGetX11Window(g_window);
  XWMHints* hints = XGetWMHints(display, window);
  XWMHints fresh = {};
  XWMHints* target = hints ? hints : &fresh;
  target->flags |= StateHint;
  target->initial_state = iconic ? IconicState : NormalState;
  XSetWMHints(display, window, target);
  if (hints) XFree(hints);
}

void addTrayIcon() {
  if (g_state.trayIconAdded || !g_window) return;
  g_state.trayIconAdded = g_tray.dock();
  if (g_state.trayIconAdded) logWrite(LogLevel::Info, "托盘图标已添加（右下角常驻）");
  else logWrite(LogLevel::Warn, "托盘图标添加失败（Shell_NotifyIcon 返回失败）");
}

// Takes the window off the screen the way the tray state allows: hidden
// behind the icon, or, without a tray, minimised so it can always be
// brought back from the taskbar.
void presentHidden() {
  g_hiddenAtMs = monotonicMs();
  g_seenUnmapped = false;
  if (g_state.trayIconAdded) {
    glfwHideWindow(g_window);
  } else if (glfwGetWindowAttrib(g_window, GLFW_VISIBLE)) {
    glfwIconifyWindow(g_window);
  } else {
    setMapsIconic(true);
    glfwShowWindow(g_window);
  }
}

void hideToTray() {
  if (!g_window) return;
  g_state.renderPaused = true;
  g_state.hiddenInTray = true;
  g_state.closeHidesToTray = true;
  g_trayLostAtMs = 0;
  addTrayIcon();
  presentHidden();
}

void showFromTray() {
  g_state.renderPaused = false;
  g_state.hiddenInTray = false;
  g_trayLostAtMs = 0;
  setMapsIconic(false);
  glfwShowWindow(g_window);
  // Only a minimised window is restored: a maximised one stays maximised.
  if (glfwGetWindowAttrib(g_window, GLFW_ICONIFIED)) glfwRestoreWindow(g_window);
  glfwFocusWindow(g_window);
  updateClientSize();
}

void onWindowClose(GLFWwindow* window) {
  if (g_state.closeHidesToTray && !g_state.exitRequested) {
    glfwSetWindowShouldClose(window, GLFW_FALSE);
    hideToTray();
  } else {
    g_state.running = false;
  }
}

void onIconify(GLFWwindow*, int iconified) {
  g_state.renderPaused = iconified != 0;
  if (!iconified) updateClientSize();
}

void onFramebufferSize(GLFWwindow*, int width, int height) {
  g_state.clientWidth = std::max(1, width);
  g_state.clientHeight = std::max(1, height);
}

void onGlfwError(int code, const char* description) {
  g_glfwError = formatString("%d %s", code, description ? description : "");
}

void pumpTray() {
  std::vector<LinuxTray::Action> actions;
  g_tray.pump(actions);
  for (const LinuxTray::Action action : actions) {
    switch (action) {
      case LinuxTray::Action::Show:
        showFromTray();
        break;
      case LinuxTray::Action::Exit:
        requestExit();
        break;
      case LinuxTray::Action::ManagerAppeared:
        g_state.trayIconAdded = false;
        if (g_state.hiddenInTray) {
          addTrayIcon();
          if (g_state.trayIconAdded) presentHidden();  // was minimised while no tray was there
        }
        break;
      case LinuxTray::Action::Lost:
        g_state.trayIconAdded = false;
        if (g_state.hiddenInTray) g_trayLostAtMs = monotonicMs();
        break;
    }
  }
}

// While the window believes it is hidden: a second start maps it from
// outside (and a window manager may restore a minimised one); such a
// window would stay blank, so it counts as shown from the tray.
void watchHiddenWindow(std::uint64_t nowMs) {
  if (!g_state.hiddenInTray) return;
  if (g_trayLostAtMs != 0 && nowMs - g_trayLostAtMs > kTrayReturnMs) {
    g_trayLostAtMs = 0;
    addTrayIcon();
    presentHidden();
    return;
  }
  if (!glfwGetWindowAttrib(g_window, GLFW_VISIBLE)) {
    g_seenUnmapped = true;
  } else if (g_seenUnmapped || nowMs - g_hiddenAtMs > kHideSettleMs) {
    showFromTray();
  }
}

bool isSoftwareRenderer(const char* renderer) {
  return renderer && (std::strstr(renderer, "llvmpipe") || std::strstr(renderer, "softpipe") ||
                      std::strstr(renderer, "Software"));
}

void drawFrame(Agent& agent) {
  deliverQueuedInput(false);
  ImGui_ImplOpenGL3_NewFrame();
  ImGui_ImplGlfw_NewFrame();
  ImGui::NewFrame();
  agent.drawPanel();
  ImGui::Render();
  glViewport(0, 0, g_state.clientWidth, g_state.clientHeight);
  glClearColor(kClearColor[0], kClearColor[1], kClearColor[2], kClearColor[3]);
  glClear(GL_COLOR_BUFFER_BIT);
  ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
  glfwSwapBuffers(g_window);
}

// Between frames: new characters of outside text join the atlas, and the
// renderer's texture is made again from it (before the first frame the
// backend makes it itself). The build forgets the texture's id.
void updateFontTexture() {
  if (!fontAtlasRebuildDue(monotonicMs())) return;
  const bool hadTexture = ImGui::GetIO().Fonts->TexID != nullptr;
  if (!rebuildFontAtlas(monotonicMs()) || !hadTexture) return;
  ImGui_ImplOpenGL3_DestroyFontsTexture();
  ImGui_ImplOpenGL3_CreateFontsTexture();
}

// Hidden or minimised there is nothing to draw: the loop sleeps until the
// agent's sockets or timers, an event for the window or the tray, a stop
// signal, or one of the hidden window's own deadlines needs it.
void waitWhileHidden(Agent& agent, const StallSelfTest& selfTest) {
  static net::WaitSet waits;  // the UI thread's alone; keeps its capacity
  const std::uint64_t now = monotonicMs();
  waits.clear();
  agent.planWait(waits);
  // Events Xlib has already read leave nothing on the socket to wake for.
  Display* display = glfwGetX11Display();
  if (display == nullptr || XEventsQueued(display, QueuedAlready) > 0 || g_tray.pumpDue()) {
    waits.dueAt(display == nullptr ? now + kPausedSleepMs : now);
  } else {
    waits.watch(static_cast<net::SocketHandle>(ConnectionNumber(display)));
  }
  if (g_tray.waitHandle() >= 0) waits.watch(static_cast<net::SocketHandle>(g_tray.waitHandle()));
  if (g_state.hiddenInTray) {
    if (g_trayLostAtMs != 0) waits.dueAt(g_trayLostAtMs + kTrayReturnMs + 1);
    if (!g_seenUnmapped) waits.dueAt(g_hiddenAtMs + kHideSettleMs + 1);
  }
  waits.dueAt(selfTest.dueMs());
  if (waitForStopRequest(waits, now)) requestExit();
}

void runLoop(Agent& agent) {
  StallSelfTest selfTest(parseStallMs(std::getenv("VL_AGENT_STALL_MS")), monotonicMs());
  while (g_state.running) {
    glfwPollEvents();
    pumpTray();
    if (waitForStopRequest(0)) requestExit();  // SIGTERM, Ctrl+C in a terminal
    watchHiddenWindow(monotonicMs());
    if (!g_state.running) break;
    selfTest.runIfDue(monotonicMs());
    agent.agentTick();
    if (g_state.renderPaused || g_state.hiddenInTray) {
      deliverQueuedInput(true);
      waitWhileHidden(agent, selfTest);
      continue;
    }
    const auto frameStart = std::chrono::steady_clock::now();
    updateFontTexture();
    drawFrame(agent);
    if (releaseFontAtlasMemory()) malloc_trim(0);  // the texture holds the pixels from here on
    std::this_thread::sleep_until(frameStart + kFrameInterval);
  }
}

bool onPath(const char* program) {
  const std::string path = envValue("PATH");
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const std::string dir = path.substr(start, end - start);
    if (!dir.empty() && ::access(joinPath(dir, program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// The message box of a failed start, where the desktop has a tool for one.
void showFailureBox() {
  if (!envExists("DISPLAY")) return;
  const std::string text = kWindowFailedText;
  std::vector<std::string> args;
  if (onPath("zenity")) args = {"zenity", "--error", "--title=Velmora", "--text=" + text};
  else if (onPath("xmessage")) args = {"xmessage", "-center", "-title", "Velmora", text};
  else return;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
  int status = 0;
  waitpid(pid, &status, 0);  // modal, as a message box is
}

int failStart(const char* step) {
  logWrite(LogLevel::Error, "%s（%s：%s）", kWindowFailedText, step, g_glfwError.c_str());
  std::fprintf(stderr, "%s\n", kWindowFailedText);
  showFailureBox();
  return 1;
}

bool createMainWindow() {
  glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
  glfwWindowHintString(GLFW_X11_CLASS_NAME, kWindowClassName);
  glfwWindowHintString(GLFW_X11_INSTANCE_NAME, kWindowClassName);
  g_window = glfwCreateWindow(kMainWindowWidth, kMainWindowHeight, kMainWindowTitle, nullptr, nullptr);
  if (!g_window) return false;

  std::vector<std::vector<std::uint8_t>> pixels;
  std::vector<GLFWimage> images;
  for (const int size : kAppIconSizes) pixels.push_back(appIconRgba(size));
  for (std::size_t i = 0; i < pixels.size(); ++i) images.push_back({kAppIconSizes[i], kAppIconSizes[i], pixels[i].data()});
  glfwSetWindowIcon(g_window, static_cast<int>(images.size()), images.data());

  glfwMakeContextCurrent(g_window);
  glfwSwapInterval(1);
  const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
  if (isSoftwareRenderer(renderer)) logWrite(LogLevel::Warn, "使用软件渲染（%s）", renderer);
  return true;
}

}  // namespace

int runWindowed(const LaunchOptions& options, Agent& agent) {
  // First, before GLFW and the GL driver start threads: a signal must not
  // end the process unsaved, so they are taken by the loop.
  installStopRequestHandlers();
  glfwSetErrorCallback(onGlfwError);
  if (!glfwInit()) return failStart("glfwInit");
  if (!createMainWindow()) {
    glfwTerminate();
    return failStart("glfwCreateWindow");
  }
  g_state.dpiScale = createGuiContext();
  g_tray.open(g_state.dpiScale);  // without an X connection of its own: no tray, hides minimise
  const bool platformReady = ImGui_ImplGlfw_InitForOpenGL(g_window, true);
  if (!platformReady || !ImGui_ImplOpenGL3_Init("#version 130")) {
    if (platformReady) ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    g_tray.close();
    glfwDestroyWindow(g_window);
    g_window = nullptr;
    glfwTerminate();
    return failStart("ImGui_ImplOpenGL3_Init");
  }
  // Installed after the backend's: glfwSet*Callback hands back the backend's
  // callback, which ours forwards to.
  g_backendKeyCallback = glfwSetKeyCallback(g_window, onKey);
  g_backendCharCallback = glfwSetCharCallback(g_window, onChar);
  glfwSetWindowCloseCallback(g_window, onWindowClose);
  glfwSetWindowIconifyCallback(g_window, onIconify);
  glfwSetFramebufferSizeCallback(g_window, onFramebufferSize);
  updateClientSize();

  startAgentForWindow(agent, options, g_window);

  if (startsInTray(options, agent.settings.trayOnStart)) {
    hideToTray();
    logWrite(LogLevel::Info, "按设置直接进入托盘常驻（推流已启动，界面不显示）");
  } else {
    setMapsIconic(options.startMinimized);
    glfwShowWindow(g_window);
  }
  logWrite(LogLevel::Info, "界面就绪 (DPI %.2f)", static_cast<double>(g_state.dpiScale));

  runLoop(agent);

  agent.stop();
  ImGui_ImplOpenGL3_Shutdown();
  ImGui_ImplGlfw_Shutdown();
  ImGui::DestroyContext();
  g_tray.close();  // takes the icon out of the tray
  glfwDestroyWindow(g_window);
  g_window = nullptr;
  glfwTerminate();
  logClose();
  return 0;
}

void requestHideToTray() {
  if (g_window) hideToTray();
}

void requestExit() {
  g_state.exitRequested = true;
  g_state.running = false;
}

}  // namespace vl
