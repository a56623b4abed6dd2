#include "agent/settings_writer.h"

#include <chrono>
#include <system_error>

#include "log/helpers.h"
#include "log/log.h"

namespace vl {

SettingsFileOps platformSettingsFileOps() {
  SettingsFileOps ops;
  ops.replace = detail::replaceFileOnce;
  ops.isTransient = detail::isTransientReplaceError;
  ops.pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  return ops;
}

SettingsWriteResult writeSettingsFile(const std::string& path, std::string_view text, const SettingsFileOps& ops) {
  SettingsWriteResult result;
  // A missing directory shows as the temporary file's error below.
  createDirectories(parentDirectory(path));
  const std::string temp = detail::temporaryPathFor(path);
  result.code = detail::writeFileDurably(temp, text);
  if (result.code != 0) {
    detail::removeFileQuietly(temp);
    return result;
  }
  for (;;) {
    ++result.replaceAttempts;
    result.code = ops.replace(temp, path);
    if (result.code == 0) {
      result.ok = true;
      return result;
    }
    if (result.replaceAttempts >= kSettingsReplaceAttempts || !ops.isTransient(result.code)) break;
    ops.pause(kSettingsReplaceRetryMs);
  }
  detail::removeFileQuietly(temp);
  return result;
}

std::string describeSettingsError(unsigned long code) {
  std::string reason = detail::knownErrorReason(code);
  if (reason.empty()) reason = detail::systemErrorText(code);
  return reason.empty() ? formatString("错误 %lu", code) : formatString("%s，错误 %lu", reason.c_str(), code);
}

SettingsNotice SettingsSaveReporter::onResult(const std::string& path, const SettingsWriteResult& result,
                                              std::uint64_t nowMs) {
  if (result.ok) {
    logWrite(LogLevel::Info, "设置已保存: %s", path.c_str());
    if (!failing_) return {};
    failing_ = false;
    lastCode_ = 0;
    failureLog_ = LineThrottle(kSettingsFailureLogIntervalMs);
    return {1, formatString("设置已保存：%s（此前保存失败）", path.c_str())};
  }
  // A new reason is news; the same one again is told now and then.
  const bool newReason = !failing_ || result.code != lastCode_;
  failing_ = true;
  lastCode_ = result.code;
  std::uint64_t held = 0;
  if (newReason) {
    failureLog_ = LineThrottle(kSettingsFailureLogIntervalMs);
  }
  if (!failureLog_.allow(nowMs, &held)) return {};
  std::string text = formatString("设置保存失败：%s（%s）", path.c_str(), describeSettingsError(result.code).c_str());
  if (held != 0) text += formatString("（此前另有 %llu 次失败未记）", static_cast<unsigned long long>(held));
  return {2, std::move(text)};
}

SettingsWriter::~SettingsWriter() { finish(); }

void SettingsWriter::setFileOpsForTest(SettingsFileOps ops) {
  std::lock_guard<std::mutex> lock(reportMutex_);
  ops_ = std::move(ops);
}

void SettingsWriter::setClockForTest(std::function<std::uint64_t()> clock) {
  std::lock_guard<std::mutex> lock(reportMutex_);
  clock_ = std::move(clock);
}

void SettingsWriter::write(const std::string& path, const std::string& text) {
  SettingsFileOps ops;
  {
    std::lock_guard<std::mutex> lock(reportMutex_);
    ops = ops_;
  }
  const SettingsWriteResult result = writeSettingsFile(path, text, ops);
  std::lock_guard<std::mutex> lock(reportMutex_);
  SettingsNotice notice = reporter_.onResult(path, result, clock_ ? clock_() : monotonicMs());
  if (notice.level == 0) return;
  notices_.push_back(std::move(notice));
  if (onNotice_) onNotice_();
}

std::vector<SettingsNotice> SettingsWriter::takeNotices() {
  std::lock_guard<std::mutex> lock(reportMutex_);
  std::vector<SettingsNotice> out;
  out.swap(notices_);
  return out;
}

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
  write(path, text_);
}

void SettingsWriter::writeNow(const std::string& path, const std::string& text) {
  // A background save still running must not land after this one.
  finish();
  write(path, text);
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
    write(path, text);
    lock.lock();
    writing_ = false;
    if (!queued_) idle_.notify_all();
  }
}

}  // namespace vl
