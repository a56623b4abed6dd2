// Internal: the few platform calls behind the log and the helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vl::detail {

struct LocalTime {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
LocalTime localTimeNow();
void debuggerOutput(const char* line);
// Opens through the platform's native path form (UTF-16 on Windows).
std::FILE* openFile(const std::string& path, const char* mode);
std::int64_t tell64(std::FILE* file);
// Start value material of the process-wide generator (GetTickCount64 on Windows).
std::uint64_t tickCount64();
// Creates one directory; true when created or already there.
bool makeOneDirectory(const std::string& path);
// Replaces `to` with `from` in one step.
bool replaceFile(const std::string& from, const std::string& to);
bool flushToDisk(std::FILE* file);
std::uint32_t currentProcessId();

}  // namespace vl::detail
