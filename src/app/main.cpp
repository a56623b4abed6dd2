// Velmora Agent entry point.
#include "agent/agent.h"
#include "app/first_stage.h"
#include "app/stop_request.h"
#include "app/window.h"
#include "echo/desktop_backend.h"
#include "log/helpers.h"
#include "log/log.h"
#include "version.h"

namespace {

// Static storage: its destructor repeats the stop steps at process exit.
vl::Agent g_agent;

// The agent without a window: start, the command-line overrides, then the
// tick whenever a socket has news or a timer falls due (nothing else wakes
// it) until asked to stop, then the orderly stop.
int runHeadless(const vl::LaunchOptions& options) {
  vl::installStopRequestHandlers([] { g_agent.saveSettings(); });
  g_agent.onExitRequest = [] { vl::requestStop(); };
  g_agent.desktopStartup = vl::startDesktopBackend();  // after the signals are blocked: it may start threads
  g_agent.start(nullptr);
  if (!options.hubAddress.empty()) g_agent.useCommandLineHub(options.hubAddress);
  if (options.hasRegionOverride) g_agent.setRegionOverride(options.regionOverride);
  vl::logWrite(vl::LogLevel::Info, "无界面运行（Ctrl+C 或结束进程即退出，设置会保存）");
  vl::net::WaitSet waits;
  for (;;) {
    waits.clear();
    g_agent.planWait(waits);
    if (vl::waitForStopRequest(waits, vl::monotonicMs())) break;
    g_agent.agentTick();
  }
  vl::logWrite(vl::LogLevel::Info, "正在退出…");
  g_agent.stop();
  vl::installDesktopBackend(nullptr);  // the compositor connection closes while the log is open
  vl::stopCompleted();
  vl::logClose();
  return 0;
}

}  // namespace

#if defined(_WIN32)
#include <windows.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  char** argv = nullptr;
#else
int main(int argc, char** argv) {
#endif
  vl::LaunchOptions options;
  int exitCode = 0;
  if (!vl::runFirstStage(vl::commandLineArguments(argc, argv), options, exitCode)) return exitCode;
  vl::logWrite(vl::LogLevel::Info, "Velmora 被控端已启动：%s（PID %lu）", vl::exePath().c_str(), vl::currentProcessId());
  vl::logWrite(vl::LogLevel::Info, "版本 %s", VL_VERSION);
  g_agent.noCursorOnCommandLine = options.noCursor;  // read by start, in either mode
  g_agent.allowGivenOnCommandLine = options.hasAllow;
  g_agent.allowOnCommandLine = options.allow;
  g_agent.viewOnlyOnCommandLine = options.viewOnly;
  g_agent.noPowerOnCommandLine = options.noPower;
  if (options.headless) return runHeadless(options);
  const int code = vl::runWindowed(options, g_agent);
  vl::installDesktopBackend(nullptr);
  return code;
}
