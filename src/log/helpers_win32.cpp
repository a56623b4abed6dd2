// Windows side of the helpers: UTF-16 paths, debugger output, kernel32 files.
#include <windows.h>

#include <stdlib.h>

#include <io.h>

#include <cstdio>

#include "log/helpers.h"
#include "log/platform.h"

namespace vl {

std::wstring toWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string toNarrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::string exePath() {
  wchar_t buffer[520] = {};
  const DWORD n = GetModuleFileNameW(nullptr, buffer, 520);
  if (n == 0 || n >= 520) return {};
  return toNarrow(std::wstring_view(buffer, n));
}

std::string exeDirectory() {
  const std::string dir = parentDirectory(exePath());
  return dir.empty() ? std::string(".\\") : dir;
}

bool directoryExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD a = GetFileAttributesW(toWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool fileExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD a = GetFileAttributesW(toWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool removeFile(const std::string& path) { return DeleteFileW(toWide(path).c_str()) != 0; }

bool renameFile(const std::string& from, const std::string& to) {
  return MoveFileW(toWide(from).c_str(), toWide(to).c_str()) != 0;
}

std::int64_t fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(toWide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The process environment itself, not the CRT's copy: a variable that exists
// with an empty value counts as existing.
std::string agentDataDirectory() { return joinPath(exeDirectory(), "data"); }

void setProcessEnv(const char* name, const char* value) { _putenv_s(name, value); }

bool envExists(const char* name) {
  SetLastError(ERROR_SUCCESS);
  wchar_t probe[1];
  const DWORD n = GetEnvironmentVariableW(toWide(name).c_str(), probe, 1);
  return n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::string envValue(const char* name) {
  const std::wstring wname = toWide(name);
  const DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), n);
  value.resize(got < n ? got : 0);
  return toNarrow(value);
}

namespace detail {

LocalTime localTimeNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void debuggerOutput(const char* line) { OutputDebugStringA(line); }

std::FILE* openFile(const std::string& path, const char* mode) {
  return _wfopen(toWide(path).c_str(), toWide(mode).c_str());
}

std::int64_t tell64(std::FILE* file) { return _ftelli64(file); }

std::uint64_t tickCount64() { return GetTickCount64(); }

bool makeOneDirectory(const std::string& path) {
  return CreateDirectoryW(toWide(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExW(toWide(from).c_str(), toWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool flushToDisk(std::FILE* file) { return _commit(_fileno(file)) == 0; }

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

}  // namespace detail
}  // namespace vl
