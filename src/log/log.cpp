#include "log/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "log/helpers.h"
#include "log/platform.h"

namespace vl {
namespace {

constexpr char kRotationBanner[] =
    "[---- 日志滚动：上一份已存为同目录 .1（保留 .1/.2/.3） ----]\n";

struct LoggerState {
  std::mutex mutex;
  std::string tag = "VL";  // set once before other threads exist
  std::string path;
  std::FILE* file = nullptr;
  LogObserver observer;
  bool stderrEnabled = true;
};

// Never destroyed: objects with static storage duration (the agent saving
// its settings) still log from their destructors after main has returned,
// and a function-local static made after them would already be gone.
LoggerState& state() {
  static LoggerState* const s = new LoggerState;
  return *s;
}

std::string numbered(const std::string& path, int n) {
  return path + "." + std::to_string(n);
}

// Mutex held.
void rotate(LoggerState& s) {
  if (s.path.empty()) return;
  if (s.file) {
    std::fclose(s.file);
    s.file = nullptr;
  }
  for (int n = kLogStrayCopiesMax; n > kLogKeptCopies; --n) removeFile(numbered(s.path, n));
  removeFile(numbered(s.path, kLogKeptCopies));
  for (int n = kLogKeptCopies - 1; n >= 1; --n) {
    removeFile(numbered(s.path, n + 1));
    renameFile(numbered(s.path, n), numbered(s.path, n + 1));
  }
  removeFile(numbered(s.path, 1));
  renameFile(s.path, numbered(s.path, 1));
  s.file = detail::openFile(s.path, "ab");
  if (s.file) {
    std::fputs(kRotationBanner, s.file);
    std::fflush(s.file);
  }
}

}  // namespace

const char* logLevelText(LogLevel level) {
  switch (level) {
    case LogLevel::Trace: return "TRACE";
    case LogLevel::Info: return "INFO ";
    case LogLevel::Warn: return "WARN ";
    case LogLevel::Error: return "ERROR";
  }
  return "?????";
}

void logOpen(const std::string& path, const std::string& tag) {
  LoggerState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.tag = tag.empty() ? "VL" : tag;
  if (path.empty()) return;
  const std::string parent = parentDirectory(path);
  if (!parent.empty()) createDirectories(parent);
  s.path = path;
  if (s.file) std::fclose(s.file);
  s.file = detail::openFile(path, "ab");
  if (s.file) {
    std::fseek(s.file, 0, SEEK_END);
    if (detail::tell64(s.file) >= static_cast<std::int64_t>(kLogRotateBytes)) rotate(s);
  }
}

void logWrite(LogLevel level, const char* format, ...) {
  char message[kLogMessageMax + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);

  const detail::LocalTime t = detail::localTimeNow();
  LoggerState& s = state();
  char line[4600];
  int n = std::snprintf(line, sizeof line, "[%02d:%02d:%02d.%03d][%s][%s] %s\n", t.hour, t.minute,
                        t.second, t.millisecond, s.tag.c_str(), logLevelText(level), message);
  if (n < 0) return;
  const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1);

  std::lock_guard<std::mutex> lock(s.mutex);
  detail::debuggerOutput(line);
  if (s.stderrEnabled) std::fwrite(line, 1, length, stderr);
  if (s.observer) s.observer(level, std::string_view(line, length));
  if (s.file) {
    std::fwrite(line, 1, length, s.file);
    std::fflush(s.file);
    if (s.file && !s.path.empty() &&
        detail::tell64(s.file) >= static_cast<std::int64_t>(kLogRotateBytes))
      rotate(s);
  }
}

void logClose() {
  LoggerState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.file) {
    std::fclose(s.file);
    s.file = nullptr;
  }
}

void logSetObserver(LogObserver observer) {
  LoggerState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.observer = std::move(observer);
}

void logSetStderrEnabled(bool enabled) {
  LoggerState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stderrEnabled = enabled;
}

}  // namespace vl
