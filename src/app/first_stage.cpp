#include "app/first_stage.h"

#include "app/single_instance.h"
#include "log/helpers.h"
#include "log/log.h"

namespace vl {

std::string agentLogPath() {
  return joinPath(joinPath(agentDataDirectory(), "logs"), "agent.log");
}

bool runFirstStage(const std::vector<std::string>& args, LaunchOptions& options, int& exitCode) {
  exitCode = 0;
  makeProcessDpiAware();
  options = parseLaunchOptions(args);
  if (const std::string info = launchInfoText(options); !info.empty()) {
    showLaunchInfo(info);
    return false;
  }
  // Before the guard: this process must not count as the running agent.
  if (options.quit) {
    exitCode = runQuit();
    return false;
  }
  if (!singleInstanceGuardSkipped(args) && anotherInstanceRunning()) return false;
  createDirectories(joinPath(agentDataDirectory(), "logs"));
  logOpen(agentLogPath(), "AGENT");
  return true;
}

}  // namespace vl
