// Writes settings.json away from the UI thread. Saving flushes the file to
// disk, which can take long on a slow or busy disk; the tick only hands the
// text over. Only the newest text matters, so a save that is still waiting
// is replaced by the next one.
//
// A write that fails (disk full, a read-only or removed directory, a file
// another program holds) is told to the user once, again now and then while
// it keeps failing, and the first success after it says so; the lines are
// handed to the UI thread, which owns the event log.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "log/throttle.h"

namespace vl {

// An antivirus or the search indexer may hold the old file for a moment:
// the replace is tried this many times, this far apart (half a second).
inline constexpr int kSettingsReplaceAttempts = 6;
inline constexpr int kSettingsReplaceRetryMs = 100;
// While writes keep failing, the failure is told at most this often.
inline constexpr std::uint64_t kSettingsFailureLogIntervalMs = 60000;

// The replace step of a write and its retry, replaceable in tests. Errors
// are the system's codes (errno, or the Win32 error); 0 is success.
struct SettingsFileOps {
  std::function<unsigned long(const std::string& from, const std::string& to)> replace;
  std::function<bool(unsigned long code)> isTransient;
  std::function<void(int ms)> pause;
};
// The platform's own.
SettingsFileOps platformSettingsFileOps();

struct SettingsWriteResult {
  bool ok = false;
  unsigned long code = 0;  // the system's error when !ok
  int replaceAttempts = 0;
};

// The write itself: a temporary file flushed to disk, then moved over the
// old one (a power cut mid-write keeps the old file). Any thread; logs
// nothing.
SettingsWriteResult writeSettingsFile(const std::string& path, std::string_view text,
                                      const SettingsFileOps& ops = platformSettingsFileOps());

// The system's reason for an error code, in the user's words where known.
std::string describeSettingsError(unsigned long code);

// A line for the event log (1 info, 2 warning).
struct SettingsNotice {
  int level = 0;
  std::string text;
};

// Turns write results into what the user is told.
class SettingsSaveReporter {
 public:
  // The notice for one write; level 0 when there is nothing to tell.
  SettingsNotice onResult(const std::string& path, const SettingsWriteResult& result, std::uint64_t nowMs);
  bool failing() const { return failing_; }

 private:
  bool failing_ = false;
  unsigned long lastCode_ = 0;
  LineThrottle failureLog_{kSettingsFailureLogIntervalMs};
};

class SettingsWriter {
 public:
  SettingsWriter() = default;
  ~SettingsWriter();
  SettingsWriter(const SettingsWriter&) = delete;
  SettingsWriter& operator=(const SettingsWriter&) = delete;

  // Queues `text` for `path` (replacing a queued one) and returns at once.
  // Without a writer thread (it could not be started) it writes now.
  void submit(const std::string& path, std::string text);
  // Waits for the writer, then writes on this thread (stop, exit).
  void writeNow(const std::string& path, const std::string& text);
  // Waits until nothing is queued or being written, then ends the thread.
  // A later submit starts it again.
  void finish();
  // Notices of the writes done since the last call, oldest first.
  std::vector<SettingsNotice> takeNotices();
  // Called (on the writing thread) when a notice waits to be taken, so a
  // sleeping UI thread wakes for it. Set before the first submit.
  void setNoticeHook(std::function<void()> hook) { onNotice_ = std::move(hook); }

  // Test seams: the replace step, and the clock of the failure throttle.
  void setFileOpsForTest(SettingsFileOps ops);
  void setClockForTest(std::function<std::uint64_t()> clock);

 private:
  void run();
  void write(const std::string& path, const std::string& text);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::thread thread_;
  std::string path_;
  std::string text_;
  bool queued_ = false;
  bool writing_ = false;
  bool ending_ = false;

  // Guarded by reportMutex_: touched by the writer thread and the UI thread.
  std::mutex reportMutex_;
  SettingsSaveReporter reporter_;
  std::vector<SettingsNotice> notices_;
  SettingsFileOps ops_ = platformSettingsFileOps();
  std::function<std::uint64_t()> clock_;
  std::function<void()> onNotice_;
};

namespace detail {
// Platform halves of a write (settings_writer_linux.cpp / _win32.cpp).
// Creates `path` anew with `text` and flushes it to disk; 0 or the error.
unsigned long writeFileDurably(const std::string& path, std::string_view text);
unsigned long replaceFileOnce(const std::string& from, const std::string& to);
bool isTransientReplaceError(unsigned long code);
void removeFileQuietly(const std::string& path);
std::string temporaryPathFor(const std::string& path);
// Reason text for codes the user is likely to meet; empty for others.
std::string knownErrorReason(unsigned long code);
std::string systemErrorText(unsigned long code);
}  // namespace detail

}  // namespace vl
