// Linux side of the helpers: POSIX files, /proc/self/exe, no debugger output.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "log/helpers.h"
#include "log/platform.h"
#include "log/utf.h"

namespace vl {

std::wstring toWide(std::string_view utf8) {
  const std::u16string units = detail::utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

std::string toNarrow(std::wstring_view utf16) {
  std::u16string units;
  units.reserve(utf16.size());
  for (wchar_t c : utf16) units.push_back(static_cast<char16_t>(c));
  return detail::utf16ToUtf8(units);
}

std::string exePath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string exeDirectory() {
  const std::string dir = parentDirectory(exePath());
  return dir.empty() ? std::string("./") : dir;
}

bool directoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool renameFile(const std::string& from, const std::string& to) {
  // MoveFileW semantics: never replaces an existing target.
  if (::access(to.c_str(), F_OK) == 0) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::int64_t fileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::string agentDataDirectory() {
  const std::string exeDir = exeDirectory();
  const std::string data = joinPath(exeDir, "data");
  // An existing data/ must itself be writable; a missing one must be creatable.
  const bool writable = ::access(directoryExists(data) ? data.c_str() : exeDir.c_str(), W_OK) == 0;
  return chooseDataDirectory(exeDir, writable, envValue("XDG_STATE_HOME"), envValue("HOME"));
}

bool envExists(const char* name) { return std::getenv(name) != nullptr; }

void setProcessEnv(const char* name, const char* value) { ::setenv(name, value, 1); }

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

namespace detail {

LocalTime localTimeNow() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm parts;
  time_t seconds = tv.tv_sec;
  ::localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(tv.tv_usec / 1000)};
}

void debuggerOutput(const char*) {}

std::FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::int64_t tell64(std::FILE* file) { return static_cast<std::int64_t>(::ftello(file)); }

std::uint64_t tickCount64() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

bool makeOneDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool flushToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace detail
}  // namespace vl
