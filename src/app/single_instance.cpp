#include "app/single_instance.h"

#include <chrono>
#include <thread>

#include "app/launch_options.h"
#include "log/helpers.h"

namespace vl {

std::uint32_t singleInstanceKey(std::wstring_view pathUnits) {
  std::uint32_t hash = 0x811C9DC5u;
  for (wchar_t c : pathUnits) {
    std::uint32_t unit = static_cast<std::uint32_t>(c) & 0xFFFFu;
    if (unit == 0) break;
    if (unit == '/') unit = '\\';
    if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
    hash ^= unit;
    hash *= 16777619u;
  }
  return hash;
}

QuitOutcome quitRunningAgents(RunningAgents& agents, int waitMs, int pollMs,
                              const std::function<void(int)>& sleepMs) {
  if (!agents.running()) return QuitOutcome::NoneRunning;
  agents.askToQuit();
  for (int waited = 0; waited < waitMs; waited += pollMs) {
    sleepMs(pollMs);
    if (!agents.running()) return QuitOutcome::Ended;
    agents.askToQuit();
  }
  return QuitOutcome::StillRunning;
}

std::string stillRunningText(const std::vector<unsigned long>& pids, int waitMs) {
  std::string text = formatString("velmora-agent: the running agent did not end within %d s", waitMs / 1000);
  if (pids.empty()) return text;
  text += " (PID";
  for (const unsigned long pid : pids) text += formatString(" %lu", pid);
  return text + ")";
}

int runQuit() {
  const auto agents = runningAgentsOfThisExecutable();
  const QuitOutcome outcome = quitRunningAgents(*agents, kQuitWaitMs, kQuitPollMs, [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); });
  if (outcome != QuitOutcome::StillRunning) return 0;
  writeErrorLine(stillRunningText(agents->asked(), kQuitWaitMs));
  return 1;
}

bool singleInstanceGuardSkipped(const std::vector<std::string>& args) {
  return envExists("VL_ALLOW_MULTI") || hasAllowMultiArgument(args);
}

}  // namespace vl
