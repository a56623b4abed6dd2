#include "app/first_stage.h"

#include "app/single_instance.h"
#include "log/helpers.h"
#include "log/log.h"

namespace vl {

std::string agentLogPath() {
  return joinPath(joinPath(joinPath(exeDirectory(), "data"), "logs"), "agent.log");
}

bool runFirstStage(const std::vector<std::string>& args, LaunchOptions& options) {
  makeProcessDpiAware();
  options = parseLaunchOptions(args);
  if (!singleInstanceGuardSkipped(args) && anotherInstanceRunning()) return false;
  createDirectories(joinPath(joinPath(exeDirectory(), "data"), "logs"));
  logOpen(agentLogPath(), "AGENT");
  return true;
}

}  // namespace vl
