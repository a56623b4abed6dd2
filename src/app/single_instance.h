// One running agent per executable path: a second start brings the first
// one's window forward, tells the user, and ends with exit code 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

inline constexpr char kWindowClassName[] = "VelmoraAgentWnd";
// The hidden window of a run without a window (Windows), found by "--quit".
inline constexpr char kHeadlessWindowClassName[] = "VelmoraAgentHeadless";
// Registered window message by which "--quit" asks a running agent to end
// in order. Not WM_CLOSE: once hidden to the tray, that only hides again.
inline constexpr char kQuitMessageName[] = "VelmoraAgentQuit";
// How long "--quit" waits for the agent to be gone.
inline constexpr int kQuitWaitMs = 10000;
inline constexpr int kQuitPollMs = 50;
inline constexpr char kAppTitle[] = "Velmora 被控端";
inline constexpr char kAlreadyRunningFormat[] = "%s 已经在运行了。\n\n已把正在运行的那个窗口切到前面。";

// FNV-1a over the UTF-16 units of the path, "/" folded to "\" and A-Z to a-z,
// so one executable gives one key however its path is spelled.
std::uint32_t singleInstanceKey(std::wstring_view pathUnits);
// "Local\VL_SingleInstance_%08X" on Windows; the lock file's base name
// "VL_SingleInstance_%08X.lock" on Linux.
std::string singleInstanceName(std::uint32_t key);

// Whether the guard is skipped: VL_ALLOW_MULTI exists or "--allow-multi".
bool singleInstanceGuardSkipped(const std::vector<std::string>& args);

// Takes the process-wide guard (held until exit). Returns true when another
// instance of this executable already runs; then it has been brought forward
// and the user told. Failing to create the guard counts as "none running".
bool anotherInstanceRunning();

// The agents of this executable that run for this user, as "--quit" sees
// them through the single-instance guard (Linux: the lock file and the
// process id it holds; Windows: the mutex and the agent's windows).
class RunningAgents {
 public:
  virtual ~RunningAgents() = default;
  // Whether one still runs.
  virtual bool running() = 0;
  // Asks every one found and not asked before to end in order (Windows: a
  // window created late is found on a later call).
  virtual void askToQuit() = 0;
  // Process ids asked so far.
  virtual std::vector<unsigned long> asked() const = 0;
};

enum class QuitOutcome { NoneRunning, Ended, StillRunning };

// Asks, then polls every pollMs until none runs or waitMs have passed.
QuitOutcome quitRunningAgents(RunningAgents& agents, int waitMs, int pollMs,
                              const std::function<void(int)>& sleepMs);

// The one standard-error line when an agent outlived the wait; installers
// read the process ids from "(PID n ...)".
std::string stillRunningText(const std::vector<unsigned long>& pids, int waitMs);

std::unique_ptr<RunningAgents> runningAgentsOfThisExecutable();

// A line on standard error (Windows: also from a GUI program started in a
// console, or with its error output redirected).
void writeErrorLine(const std::string& line);

// "--quit" from start to exit code: 0 when the agent ended or none ran, 1
// when it is still there after kQuitWaitMs. Writes no log.
int runQuit();

#if defined(_WIN32)
// The registered id of kQuitMessageName.
unsigned quitRequestMessage();
// Lets the quit request through to `window` (a HWND) from a process of
// lower integrity: an agent started elevated still ends on "--quit".
void acceptQuitRequests(void* window);
#endif

}  // namespace vl
