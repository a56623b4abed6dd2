#include "support/test_support.h"

#include <filesystem>
#include <system_error>

#include "log/helpers.h"

namespace vl::test {

TempDir::TempDir() {
  std::error_code ec;
  const auto base = std::filesystem::temp_directory_path(ec);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate =
        base / formatString("vl-test-%llx", static_cast<unsigned long long>(random64() & 0xFFFFFFFFFFull));
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return joinPath(path_, name); }

LogCapture::LogCapture() {
  logSetStderrEnabled(false);
  logSetObserver([this](LogLevel, std::string_view line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line);
  });
}

LogCapture::~LogCapture() {
  logSetObserver({});
  logSetStderrEnabled(true);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  for (const auto& line : lines()) out.push_back(logMessageOf(line));
  return out;
}

int LogCapture::count(const std::string& text) const {
  int n = 0;
  for (const auto& m : messages())
    if (m.find(text) != std::string::npos) ++n;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::string logMessageOf(const std::string& line) {
  // "[hh:mm:ss.mmm][TAG][LEVEL] message\n": the level is the third bracket.
  std::size_t pos = 0;
  for (int i = 0; i < 3 && pos != std::string::npos; ++i) {
    pos = line.find(']', pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos || pos >= line.size()) return line;
  std::string m = line.substr(pos + 1);
  if (!m.empty() && m.back() == '\n') m.pop_back();
  return m;
}

}  // namespace vl::test
