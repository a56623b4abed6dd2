// One running agent per executable path: a second start brings the first
// one's window forward, tells the user, and ends with exit code 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

inline constexpr char kWindowClassName[] = "VelmoraAgentWnd";
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

}  // namespace vl
