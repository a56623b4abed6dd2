#include "log/helpers.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "log/platform.h"
#include "log/utf.h"

namespace vl {

std::uint64_t monotonicMs() {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point epoch = Clock::now();  // thread-safe one-time init
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch).count();
  return static_cast<std::uint64_t>(ns / 1000000);
}

std::int64_t unixTimeMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::uint64_t random64() {
  static std::mt19937_64 generator = [] {
    std::random_device device;
    const std::uint64_t hi = device();
    const std::uint64_t lo = device();
    return std::mt19937_64(detail::tickCount64() ^ ((hi << 32) | lo));
  }();
  return generator();
}

std::string formatString(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

namespace {
bool isSeparator(char c) { return c == '\\' || c == '/'; }
}  // namespace

std::string joinPath(std::string_view first, std::string_view second) {
  if (first.empty()) return std::string(second);
  if (second.empty()) return std::string(first);
  std::string out(first);
  if (!isSeparator(out.back())) out += kPathSeparator;
  std::size_t i = 0;
  while (i < second.size() && isSeparator(second[i])) ++i;
  out.append(second.substr(i));
  return out;
}

std::string parentDirectory(std::string_view path) {
  const std::size_t pos = path.find_last_of("\\/");
  if (pos == std::string_view::npos) return {};
  return std::string(path.substr(0, pos + 1));
}

bool createDirectories(const std::string& path) {
  if (path.empty()) return true;
  std::string p = path;
  for (char& c : p)
    if (isSeparator(c)) c = kPathSeparator;
  if (directoryExists(p)) return true;
  std::size_t start = (p.size() > 1 && p[1] == ':') ? 3 : 1;
  for (std::size_t pos = p.find(kPathSeparator, start); pos != std::string::npos;
       pos = p.find(kPathSeparator, pos + 1)) {
    const std::string prefix = p.substr(0, pos);
    if (!prefix.empty() && !directoryExists(prefix) && !detail::makeOneDirectory(prefix)) return false;
  }
  if (!directoryExists(p)) detail::makeOneDirectory(p);
  return directoryExists(p);
}

bool writeWholeFile(const std::string& path, const void* data, std::size_t size) {
  if (path.empty()) return false;
  const std::string parent = parentDirectory(path);
  if (!parent.empty() && !createDirectories(parent)) return false;
  const std::string temp =
      path + formatString(".tmp%u-%llu", static_cast<unsigned>(detail::currentProcessId()),
                          static_cast<unsigned long long>(random64() & 0xFFFFFF));
  std::FILE* file = detail::openFile(temp, "wb");
  if (!file) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  ok = std::fflush(file) == 0 && ok;
  ok = detail::flushToDisk(file) && ok;
  ok = std::fclose(file) == 0 && ok;
  if (ok) ok = detail::replaceFile(temp, path);
  if (!ok) removeFile(temp);
  return ok;
}

bool readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  std::FILE* file = detail::openFile(path, "rb");
  if (!file) return false;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, n);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

std::string trimSpaces(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return std::string(text.substr(b, e - b));
}

std::string printableForLog(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) c = '?';
  }
  return out;
}

namespace detail {

std::u16string utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char16_t>(c));
      ++i;
      continue;
    }
    int extra;
    unsigned cp;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2; cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3; cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    // Consume the longest valid prefix; a broken sequence yields one U+FFFD.
    std::size_t j = i + 1;
    bool valid = true;
    for (int k = 0; k < extra; ++k, ++j) {
      const unsigned b = j < n ? p[j] : 0;
      const unsigned l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
      if (j >= n || b < l || b > h) { valid = false; break; }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!valid) {
      out.push_back(u'\uFFFD');
      i = j;
      continue;
    }
    i = j;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size() * 3);
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace detail
std::string chooseDataDirectory(const std::string& exeDir, bool exeDataWritable,
                                const std::string& xdgStateHome, const std::string& home) {
  const std::string beside = joinPath(exeDir, "data");
  if (exeDataWritable) return beside;
  const auto absolute = [](const std::string& p) { return !p.empty() && p[0] == '/'; };
  if (absolute(xdgStateHome)) return joinPath(xdgStateHome, "velmora-agent");
  if (absolute(home)) return joinPath(joinPath(joinPath(home, ".local"), "state"), "velmora-agent");
  return beside;
}

}  // namespace vl
