// Shared test helpers: temporary directories, log capture, child processes
// and (Linux) a private Xvfb display.
#pragma once

// Sanitizer builds (clang), where a few checks of memory or of the windowed
// program do not apply.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VL_TEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define VL_TEST_TSAN 1
#endif
#endif

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace vl::test {

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with the platform separator.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Collects every log line written while it lives; keeps stderr quiet.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  // Lines whose message (the part after "] ") contains `text`.
  int count(const std::string& text) const;
  bool contains(const std::string& text) const { return count(text) > 0; }
  // Messages only, without the time/tag/level prefix and the LF.
  std::vector<std::string> messages() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Message part of a log line: after "] " of the level, without the LF.
std::string logMessageOf(const std::string& line);

// Child processes (fork/exec on Linux, CreateProcessW on Windows).
struct ChildProcess {
  std::intptr_t handle = 0;  // pid on Linux, process HANDLE on Windows
  std::uint32_t pid = 0;
  bool valid() const { return pid != 0; }
};
// Starts argv[0] with the arguments; `env` adds or replaces variables
// (an empty value still defines the variable); `unsetEnv` removes some.
ChildProcess startProcess(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {},
                          const std::vector<std::string>& unsetEnv = {});
// Exit code, or -1 when it did not end within timeoutMs.
int waitProcess(ChildProcess& child, int timeoutMs);
// Ends a child we started (by its handle) and reaps it.
void killProcess(ChildProcess& child);
// Sleeps the calling thread.
void sleepMs(int ms);
// Whether an executable exists at an absolute path or on PATH (Linux).
bool haveProgram(const std::string& name);

#if !defined(_WIN32)
// A private Xvfb server on a display number it picks itself (-displayfd);
// stopped by PID when the object goes.
class Xvfb {
 public:
  Xvfb() = default;
  ~Xvfb();
  bool start(int width = 1920, int height = 1080, const std::vector<std::string>& extraArgs = {});
  void stop();
  const std::string& display() const { return display_; }  // ":N"

 private:
  ChildProcess process_;
  std::string display_;
};
#endif

}  // namespace vl::test
