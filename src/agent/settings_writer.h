// Writes settings.json away from the UI thread. Saving flushes the file to
// disk, which can take long on a slow or busy disk; the tick only hands the
// text over. Only the newest text matters, so a save that is still waiting
// is replaced by the next one.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vl {

class SettingsWriter {
 public:
  SettingsWriter() = default;
  ~SettingsWriter();
  SettingsWriter(const SettingsWriter&) = delete;
  SettingsWriter& operator=(const SettingsWriter&) = delete;

  // Queues `text` for `path` (replacing a queued one) and returns at once.
  // Without a writer thread (it could not be started) it writes now.
  void submit(const std::string& path, std::string text);
  // Waits until nothing is queued or being written, then ends the thread.
  // A later submit starts it again.
  void finish();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::thread thread_;
  std::string path_;
  std::string text_;
  bool queued_ = false;
  bool writing_ = false;
  bool ending_ = false;
};

// The write itself: temporary file, flush to disk, rename; logs the INFO
// "设置已保存: <path>" on success. Any thread.
bool writeSettingsFile(const std::string& path, const std::string& text);

}  // namespace vl
