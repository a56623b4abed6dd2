// The main window on Windows: Direct3D 11 device and swap chain for the GUI,
// the window procedure, the tray icon and its menu, and the render loop.
// Everything here runs on the UI thread.
#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>

#include "agent/agent.h"
#include "agent/fonts.h"
#include "app/single_instance.h"
#include "app/stop_request.h"
#include "app/window.h"
#include "echo/fine_timer.h"
#include "echo/display_watch.h"
#include "log/helpers.h"
#include "log/log.h"
#include "net/wait_set.h"

// 1.86 keeps the declaration behind #if 0 so that windows.h is not needed.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND window, UINT message, WPARAM wParam,
                                                             LPARAM lParam);

namespace vl {
namespace {

constexpr UINT kTrayCallbackMessage = WM_APP + 1;  // 0x8001
constexpr UINT kTrayIconId = 1;
constexpr int kIconResource = 101;
constexpr UINT kMenuShow = 1;
constexpr UINT kMenuExit = 2;
constexpr wchar_t kClassName[] = L"VelmoraAgentWnd";
constexpr DWORD kOccludedSleepMs = 15;

WindowState g_state;
HWND g_window = nullptr;
Agent* g_agent = nullptr;
UINT g_taskbarCreatedMessage = 0;
HICON g_trayIcon = nullptr;
NOTIFYICONDATAW g_trayRecord{};
TrayAddRetry g_trayRetry;

ID3D11Device* g_device = nullptr;
ID3D11DeviceContext* g_context = nullptr;
IDXGISwapChain* g_swapChain = nullptr;
ID3D11RenderTargetView* g_renderTarget = nullptr;

template <typename T>
void release(T*& p) {
  if (p) {
    p->Release();
    p = nullptr;
  }
}

bool createRenderTargetView() {
  ID3D11Texture2D* buffer = nullptr;
  if (FAILED(g_swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&buffer))) || !buffer)
    return false;
  g_device->CreateRenderTargetView(buffer, nullptr, &g_renderTarget);
  buffer->Release();
  return g_renderTarget != nullptr;
}

bool createDevice(HWND window) {
  DXGI_SWAP_CHAIN_DESC sd{};
  sd.BufferCount = 2;
  sd.BufferDesc.Width = 0;
  sd.BufferDesc.Height = 0;
  sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  sd.BufferDesc.RefreshRate.Numerator = 60;
  sd.BufferDesc.RefreshRate.Denominator = 1;
  sd.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
  sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
  sd.OutputWindow = window;
  sd.SampleDesc.Count = 1;
  sd.SampleDesc.Quality = 0;
  sd.Windowed = TRUE;
  sd.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;

  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
  D3D_FEATURE_LEVEL achieved{};
  auto create = [&](D3D_DRIVER_TYPE type) {
    return D3D11CreateDeviceAndSwapChain(nullptr, type, nullptr, 0, levels, 2, D3D11_SDK_VERSION, &sd, &g_swapChain,
                                         &g_device, &achieved, &g_context);
  };
  if (FAILED(create(D3D_DRIVER_TYPE_HARDWARE))) {
    if (FAILED(create(D3D_DRIVER_TYPE_WARP))) return false;
    logWrite(LogLevel::Warn, "使用 WARP 软件渲染");
  }

  // Alt+Enter must not switch the panel to full screen.
  IDXGIDevice* dxgiDevice = nullptr;
  if (SUCCEEDED(g_device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgiDevice)))) {
    IDXGIAdapter* adapter = nullptr;
    if (SUCCEEDED(dxgiDevice->GetAdapter(&adapter))) {
      IDXGIFactory* factory = nullptr;
      if (SUCCEEDED(adapter->GetParent(__uuidof(IDXGIFactory), reinterpret_cast<void**>(&factory)))) {
        factory->MakeWindowAssociation(window, DXGI_MWA_NO_ALT_ENTER);
        factory->Release();
      }
      adapter->Release();
    }
    dxgiDevice->Release();
  }
  return createRenderTargetView();
}

void destroyDevice() {
  release(g_renderTarget);
  release(g_swapChain);
  release(g_context);
  release(g_device);
}

void resizeRenderTarget() {
  if (!g_swapChain) return;
  release(g_renderTarget);
  RECT rc{};
  GetClientRect(g_window, &rc);
  g_state.clientWidth = rc.right - rc.left > 0 ? rc.right - rc.left : 1;
  g_state.clientHeight = rc.bottom - rc.top > 0 ? rc.bottom - rc.top : 1;
  g_swapChain->ResizeBuffers(0, static_cast<UINT>(g_state.clientWidth), static_cast<UINT>(g_state.clientHeight),
                             DXGI_FORMAT_UNKNOWN, 0);
  createRenderTargetView();
}

HICON loadAppIcon(int cx, int cy) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, cx, cy, 0));
}

void addTrayIcon(HWND window) {
  if (g_state.trayIconAdded || !window) return;
  if (!g_trayIcon) g_trayIcon = loadAppIcon(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));
  if (!g_trayIcon) g_trayIcon = loadAppIcon(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  g_trayRecord = NOTIFYICONDATAW{};
  g_trayRecord.cbSize = sizeof(NOTIFYICONDATAW);
  g_trayRecord.hWnd = window;
  g_trayRecord.uID = kTrayIconId;
  g_trayRecord.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  g_trayRecord.uCallbackMessage = kTrayCallbackMessage;
  g_trayRecord.hIcon = g_trayIcon;
  const std::wstring tip = toWide(kTrayTip);
  wcsncpy(g_trayRecord.szTip, tip.c_str(), sizeof g_trayRecord.szTip / sizeof(wchar_t) - 1);
  g_state.trayIconAdded = Shell_NotifyIconW(NIM_ADD, &g_trayRecord) != FALSE;
  g_trayRetry.attempted(g_state.trayIconAdded, GetTickCount64());
  if (g_state.trayIconAdded)
    logWrite(LogLevel::Info, "托盘图标已添加（右下角常驻）");
  else if (g_trayRetry.firstFailure())  // the retries that follow fail quietly
    logWrite(LogLevel::Warn, "托盘图标添加失败（Shell_NotifyIcon 返回失败）");
}

void hideToTray(HWND window) {
  g_state.renderPaused = true;
  g_state.hiddenInTray = true;
  g_state.closeHidesToTray = true;
  SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_TOOLWINDOW);
  SetWindowPos(window, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  ShowWindow(window, SW_HIDE);
  if (!g_state.trayIconAdded) g_trayRetry.reset();
  addTrayIcon(window);
}

void showFromTray(HWND window) {
  g_state.renderPaused = false;
  g_state.hiddenInTray = false;
  SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) & ~WS_EX_TOOLWINDOW);
  ShowWindow(window, SW_SHOW);
  ShowWindow(window, SW_RESTORE);
  SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_FRAMECHANGED | SWP_SHOWWINDOW);
  SetForegroundWindow(window);
}

void requestExitNow() {
  g_state.exitRequested = true;
  g_state.running = false;
  if (g_window) PostMessageW(g_window, WM_CLOSE, 0, 0);
}

void showTrayMenu(HWND window) {
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, kMenuShow, toWide(kTrayMenuShow).c_str());
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kMenuExit, toWide(kTrayMenuExit).c_str());
  POINT at{};
  GetCursorPos(&at);
  SetForegroundWindow(window);
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr));
  // Without a message after the menu it may not close on the next click.
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (chosen == kMenuShow) showFromTray(window);
  if (chosen == kMenuExit) requestExitNow();
}

// Shown from outside while this side believes it is in the tray (a second
// start shows the running window): carry on as if shown from the tray, or
// the window would stay blank.
void noteShownFromOutside(HWND window) {
  if (!g_state.hiddenInTray) return;
  showFromTray(window);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (ImGui_ImplWin32_WndProcHandler(window, message, wParam, lParam)) return 1;
  if (message == quitRequestMessage()) {  // "--quit": end in order even when hidden to the tray
    requestExitNow();
    return 0;
  }
  if (g_taskbarCreatedMessage != 0 && message == g_taskbarCreatedMessage) {
    g_state.trayIconAdded = false;
    g_trayRetry.reset();
    if (g_state.hiddenInTray) addTrayIcon(window);
    return 0;
  }
  // Monitors, resolution, work area or DPI changed: the agent's next tick
  // reads them again (and the message goes on as usual).
  vl::noteDisplayMessage(message, wParam);
  switch (message) {
    case WM_SIZE:
      if (wParam == SIZE_MINIMIZED) {
        g_state.renderPaused = true;
      } else {
        g_state.renderPaused = false;
        resizeRenderTarget();
      }
      return 0;
    case WM_SHOWWINDOW:
      if (wParam) noteShownFromOutside(window);
      break;
    case WM_WINDOWPOSCHANGED:
      if (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW) noteShownFromOutside(window);
      break;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_KEYMENU) return 0;
      break;
    case WM_CLOSE:
      if (g_state.closeHidesToTray && !g_state.exitRequested)
        hideToTray(window);
      else
        g_state.running = false;
      return 0;
    case WM_ENDSESSION:
      // The session ends and the process with it: keep the settings.
      if (wParam && g_agent) g_agent->saveSettings();
      return 0;
    case WM_DESTROY:
      if (g_state.trayIconAdded) {
        Shell_NotifyIconW(NIM_DELETE, &g_trayRecord);
        g_state.trayIconAdded = false;
      }
      PostQuitMessage(0);
      return 0;
    case WM_DPICHANGED:
      if (lParam) {
        const RECT* r = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      }
      return 0;
    case kTrayCallbackMessage:
      if (lParam == WM_LBUTTONUP || lParam == WM_LBUTTONDBLCLK) showFromTray(window);
      if (lParam == WM_RBUTTONUP) showTrayMenu(window);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// 1.86 has no input queue: a press and its release in one pump pass would
// reach the GUI as one state and the click is lost. A down message ends
// the pass so the next frame sees the press.
bool endsPumpPass(UINT message) {
  switch (message) {
    case WM_LBUTTONDOWN: case WM_RBUTTONDOWN: case WM_MBUTTONDOWN: case WM_XBUTTONDOWN:
    case WM_LBUTTONDBLCLK: case WM_RBUTTONDBLCLK: case WM_MBUTTONDBLCLK:
    case WM_KEYDOWN: case WM_SYSKEYDOWN:
      return true;
    default:
      return false;
  }
}

void pumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    if (msg.message == WM_QUIT) g_state.running = false;
    if (endsPumpPass(msg.message)) break;
  }
}

// The renderer behind RendererKeeper: device, swap chain and target, and
// the GUI's DX11 backend.
class Dx11Renderer final : public RendererDevice {
 public:
  bool createDevice() override {
    if (vl::createDevice(g_window)) return true;
    destroyDevice();  // whatever part was made
    return false;
  }
  void destroyDevice() override { vl::destroyDevice(); }
  bool initBackend() override {
    // A rebuilt device needs the atlas pixels released after the first upload.
    if (backendStarted_) rebuildFontAtlas(monotonicMs());
    if (!ImGui_ImplDX11_Init(g_device, g_context)) return false;
    backendStarted_ = true;
    resizeRenderTarget();
    return true;
  }
  void shutdownBackend() override { ImGui_ImplDX11_Shutdown(); }

 private:
  bool backendStarted_ = false;
};

Dx11Renderer g_renderer;
RendererKeeper g_rendererKeeper(g_renderer);

// Hidden or minimised there is nothing to draw: the loop sleeps until a
// window message, the agent's sockets or timers, the next tray attempt or
// the stall self-test needs it. Those two count in GetTickCount64 time.
void waitWhileHidden(Agent& agent, const StallSelfTest& selfTest) {
  static net::WaitSet waits;  // the UI thread's alone; keeps its capacity
  const std::uint64_t now = monotonicMs();
  const std::uint64_t tick = GetTickCount64();
  waits.clear();
  agent.planWait(waits);
  const auto dueIn = [&](std::uint64_t tickDue) {
    if (tickDue != std::numeric_limits<std::uint64_t>::max()) waits.dueAt(now + (tickDue > tick ? tickDue - tick : 0));
  };
  if (g_state.hiddenInTray && !g_state.trayIconAdded) dueIn(g_trayRetry.dueMs());
  dueIn(selfTest.dueMs());
  waitForMessagesOrSockets(waits, now);
}

void runMainLoop(Agent& agent) {
  StallSelfTest selfTest(parseStallMs(std::getenv("VL_AGENT_STALL_MS")), GetTickCount64());
  while (g_state.running) {
    pumpMessages();
    if (!g_state.running) break;
    selfTest.runIfDue(GetTickCount64());
    agent.agentTick();
    if (g_state.hiddenInTray && !g_state.trayIconAdded && g_trayRetry.due(GetTickCount64())) addTrayIcon(g_window);
    if (g_state.renderPaused || g_state.hiddenInTray) {
      waitWhileHidden(agent, selfTest);
      continue;
    }
    if (!g_rendererKeeper.ready(GetTickCount64())) {
      // Lost and not rebuilt: nothing may go through the shut backend.
      Sleep(kPausedSleepMs);
      continue;
    }
    if (!g_renderTarget) {
      // The last resize left no target: nothing to draw into; try again.
      resizeRenderTarget();
      if (!g_renderTarget) {
        Sleep(kPausedSleepMs);
        continue;
      }
    }
    // Between frames: new characters of outside text join the atlas and the
    // device objects (the font texture among them) are made again. The
    // build forgets the texture's id.
    if (fontAtlasRebuildDue(monotonicMs())) {
      const bool hadTexture = ImGui::GetIO().Fonts->TexID != nullptr;
      if (rebuildFontAtlas(monotonicMs()) && hadTexture) {
        ImGui_ImplDX11_InvalidateDeviceObjects();
        ImGui_ImplDX11_CreateDeviceObjects();
      }
    }
    ImGui_ImplDX11_NewFrame();
    ImGui_ImplWin32_NewFrame();
    ImGui::NewFrame();
    agent.drawPanel();
    ImGui::Render();
    g_context->OMSetRenderTargets(1, &g_renderTarget, nullptr);
    g_context->ClearRenderTargetView(g_renderTarget, kClearColor);
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    releaseFontAtlasMemory();  // the texture holds the pixels from here on
    const HRESULT presented = g_swapChain->Present(1, 0);
    if (presented == DXGI_STATUS_OCCLUDED) {
      // Locked workstation or minimised remote session: Present returns at
      // once, so without a pause the loop would spin a core.
      Sleep(kOccludedSleepMs);
    } else if (presented == DXGI_ERROR_DEVICE_REMOVED || presented == DXGI_ERROR_DEVICE_RESET) {
      g_rendererKeeper.lost(GetTickCount64(), static_cast<unsigned long>(presented));
    }
  }
}

void failWindow(HWND window) {
  if (window) {
    destroyDevice();
    DestroyWindow(window);
    // WM_DESTROY posted WM_QUIT; left in the queue it would end the
    // message box at once, before anybody saw it.
    MSG quit;
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    UnregisterClassW(kClassName, GetModuleHandleW(nullptr));
  }
  logWrite(LogLevel::Error, "%s", kWindowFailedText);
  MessageBoxW(nullptr, toWide(kWindowFailedText).c_str(), L"Velmora", MB_ICONERROR);
}

}  // namespace

void requestHideToTray() {
  if (g_window) hideToTray(g_window);
}

void requestExit() { requestExitNow(); }

int runWindowed(const LaunchOptions& options, Agent& agent) {
  g_agent = &agent;
  keepFineTimerWhenHidden();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_CLASSDC;
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.hIcon = loadAppIcon(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  wc.hIconSm = loadAppIcon(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));
  if (!wc.hIconSm) wc.hIconSm = wc.hIcon;
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);

  g_window = CreateWindowExW(0, kClassName, toWide(kMainWindowTitle).c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, kMainWindowWidth, kMainWindowHeight, nullptr, nullptr, instance, nullptr);
  if (!g_window) {
    failWindow(nullptr);
    return 1;
  }
  if (!g_rendererKeeper.startDevice()) {
    HWND window = g_window;
    g_window = nullptr;
    failWindow(window);
    return 1;
  }
  g_taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
  acceptQuitRequests(g_window);

  g_state.dpiScale = createGuiContext();
  ImGui_ImplWin32_Init(g_window);
  g_rendererKeeper.startBackend();

  startAgentForWindow(agent, options, g_window);

  if (startsInTray(options, agent.settings.trayOnStart)) {
    hideToTray(g_window);
    logWrite(LogLevel::Info, "按设置直接进入托盘常驻（推流已启动，界面不显示）");
  } else {
    ShowWindow(g_window, options.startMinimized ? SW_MINIMIZE : SW_SHOWNORMAL);
    UpdateWindow(g_window);
  }
  logWrite(LogLevel::Info, "界面就绪 (DPI %.2f)", static_cast<double>(g_state.dpiScale));

  runMainLoop(agent);

  agent.stop();
  g_rendererKeeper.shutDownBackend();
  ImGui_ImplWin32_Shutdown();
  ImGui::DestroyContext();
  g_rendererKeeper.shutDown();
  if (g_window) DestroyWindow(g_window);
  g_window = nullptr;
  UnregisterClassW(kClassName, instance);
  logClose();
  return 0;
}

}  // namespace vl
