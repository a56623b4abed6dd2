#include <windows.h>

#include <atomic>
#include <memory>

#include "app/single_instance.h"
#include "app/stop_request.h"
#include "log/helpers.h"
#include "echo/display_watch.h"
#include "net/socket_watch.h"

namespace vl {

namespace {

constexpr DWORD kConsoleCloseWaitMs = 5000;

std::atomic<bool> g_stop{false};
HANDLE g_stopEvent = nullptr;
HANDLE g_doneEvent = nullptr;
std::function<void()> g_onSessionEnd;

BOOL WINAPI onConsoleControl(DWORD type) {
  requestStop();
  // For a console close or the end of the session the process dies when
  // this returns: give the UI thread the time to save first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(g_doneEvent, kConsoleCloseWaitMs);
  return TRUE;
}

LRESULT CALLBACK stopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == quitRequestMessage()) {  // "--quit"
    requestStop();
    return 0;
  }
  // The headless agent hears of display changes here too.
  noteDisplayMessage(message, wParam);
  switch (message) {
    case WM_CLOSE:
      requestStop();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam && g_onSessionEnd) g_onSessionEnd();
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// Set by the socket watch when a watched socket is ready. The watch is
// made by the first wait that has sockets, on the UI thread, and joined at
// exit.
HANDLE g_socketEvent = nullptr;
std::unique_ptr<net::SocketWatch> g_socketWatch;

net::SocketWatch* socketWatch() {
  if (g_socketEvent == nullptr) g_socketEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_socketEvent == nullptr) return nullptr;
  if (!g_socketWatch) g_socketWatch = std::make_unique<net::SocketWatch>([] { SetEvent(g_socketEvent); });
  return g_socketWatch.get();
}

// Messages (also ones already seen but left in the queue), `other` when not
// null, the sockets and the due time of `waits`.
void sleepOnMessagesAndSockets(const net::WaitSet& waits, std::uint64_t nowMs, HANDLE other) {
  HANDLE handles[2];
  DWORD count = 0;
  if (other != nullptr) handles[count++] = other;
  int timeout = waits.timeoutMs(nowMs);
  if (timeout == 0) return;
  net::SocketWatch* watch = waits.entries().empty() ? nullptr : socketWatch();
  bool watching = false;
  if (watch != nullptr) {
    ResetEvent(g_socketEvent);
    watching = watch->begin(waits);
    if (watching) handles[count++] = g_socketEvent;
  }
  if (!waits.entries().empty() && !watching) timeout = waits.timeoutMs(nowMs, kStopWaitCapMsWindows);
  MsgWaitForMultipleObjectsEx(count, count != 0 ? handles : nullptr,
                              timeout < 0 ? INFINITE : static_cast<DWORD>(timeout), QS_ALLINPUT,
                              MWMO_INPUTAVAILABLE);
  if (watching) watch->end();
}

}  // namespace

void installStopRequestHandlers(std::function<void()> onSessionEnd) {
  g_onSessionEnd = std::move(onSessionEnd);
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  // A hidden top-level window, not a message-only one: taskkill posts
  // WM_CLOSE only to windows that EnumWindows lists, and "--quit" finds it
  // the same way. Its own class, so a second instance never shows it.
  const std::wstring className = toWide(kHeadlessWindowClassName);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = stopWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = className.c_str();
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, className.c_str(), L"Velmora 被控端", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                nullptr, wc.hInstance, nullptr);
  acceptQuitRequests(window);
}

bool waitForStopRequest(int waitMs) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) requestStop();
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (g_stop.load()) return true;
  if (g_stopEvent)
    MsgWaitForMultipleObjects(1, &g_stopEvent, FALSE, static_cast<DWORD>(waitMs), QS_ALLINPUT);
  else
    Sleep(static_cast<DWORD>(waitMs));
  return g_stop.load();
}

bool waitForStopRequest(const net::WaitSet& waits, std::uint64_t nowMs) {
  if (waitForStopRequest(0)) return true;  // pumps the messages first
  sleepOnMessagesAndSockets(waits, nowMs, g_stopEvent);
  return g_stop.load();
}

void waitForMessagesOrSockets(const net::WaitSet& waits, std::uint64_t nowMs) {
  sleepOnMessagesAndSockets(waits, nowMs, nullptr);
}

void requestStop() {
  g_stop = true;
  if (g_stopEvent) SetEvent(g_stopEvent);
}

unsigned long currentProcessId() { return GetCurrentProcessId(); }

void stopCompleted() {
  if (g_doneEvent) SetEvent(g_doneEvent);
}

}  // namespace vl
