// Windows drops injected input aimed at a window of higher integrity than
// the agent (Task Manager, installers, anything run as administrator) and
// tells nobody: the operator clicks and nothing happens. The injector finds
// out what each press or key lands on; this decides when the operator is
// told, so that a stream of clicks gives one line, not one per click.
#pragma once

#include <cstdint>
#include <string>

namespace vl {

inline constexpr std::uint64_t kElevatedTargetNoticeMs = 60000;
inline constexpr const char kElevatedTargetText[] = "目标窗口以更高权限运行（%s），Windows 不允许本程序操作它";

class ElevatedTargetNotice {
 public:
  // Input at `nowMs` went to `program`, which runs with more rights than the
  // agent. true: say so now (the first time, another program, or the same
  // one again after kElevatedTargetNoticeMs).
  bool shouldWarn(std::uint64_t nowMs, const std::string& program) {
    if (warned_ && program == lastProgram_ && nowMs - lastMs_ < kElevatedTargetNoticeMs) return false;
    warned_ = true;
    lastProgram_ = program;
    lastMs_ = nowMs;
    return true;
  }

 private:
  bool warned_ = false;
  std::string lastProgram_;
  std::uint64_t lastMs_ = 0;
};

}  // namespace vl
