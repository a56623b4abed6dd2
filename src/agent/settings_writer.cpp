#include "agent/settings_writer.h"

#include <system_error>

#include "log/helpers.h"
#include "log/log.h"

namespace vl {

bool writeSettingsFile(const std::string& path, const std::string& text) {
  createDirectories(parentDirectory(path));
  // Temporary file and rename: a power cut mid-write keeps the old file.
  if (!writeWholeFile(path, text)) return false;
  logWrite(LogLevel::Info, "设置已保存: %s", path.c_str());
  return true;
}

SettingsWriter::~SettingsWriter() { finish(); }

void SettingsWriter::submit(const std::string& path, std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    text_ = std::move(text);
    queued_ = true;
    if (!thread_.joinable()) {
      ending_ = false;
      try {
        thread_ = std::thread([this] { run(); });
      } catch (const std::system_error&) {
        queued_ = false;
      }
    }
    if (queued_) {
      wake_.notify_one();
      return;
    }
  }
  writeSettingsFile(path, text_);
}

void SettingsWriter::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return;
  idle_.wait(lock, [this] { return !queued_ && !writing_; });
  ending_ = true;
  wake_.notify_one();
  lock.unlock();
  thread_.join();
}

void SettingsWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return queued_ || ending_; });
    if (!queued_) return;  // ending with nothing left
    const std::string path = path_;
    const std::string text = std::move(text_);
    queued_ = false;
    writing_ = true;
    lock.unlock();
    writeSettingsFile(path, text);
    lock.lock();
    writing_ = false;
    if (!queued_) idle_.notify_all();
  }
}

}  // namespace vl
