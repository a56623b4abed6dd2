#include <windows.h>

#include "agent/settings_writer.h"
#include "log/helpers.h"

namespace vl::detail {

unsigned long writeFileDurably(const std::string& path, std::string_view text) {
  const HANDLE file = CreateFileW(toWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  unsigned long error = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(text.size() - done > 0x10000000 ? 0x10000000 : text.size() - done);
    if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) {
      error = GetLastError();
      if (error == 0) error = ERROR_WRITE_FAULT;
      break;
    }
    done += written;
  }
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  return error;
}

unsigned long replaceFileOnce(const std::string& from, const std::string& to) {
  if (MoveFileExW(toWide(from).c_str(), toWide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  const DWORD error = GetLastError();
  return error == 0 ? ERROR_GEN_FAILURE : error;
}

// What an antivirus scan or the indexer holding settings.json open causes.
bool isTransientReplaceError(unsigned long code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_USER_MAPPED_FILE;
}

void removeFileQuietly(const std::string& path) { DeleteFileW(toWide(path).c_str()); }

std::string temporaryPathFor(const std::string& path) {
  return path + formatString(".tmp%lu", static_cast<unsigned long>(GetCurrentProcessId()));
}

std::string knownErrorReason(unsigned long code) {
  switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "磁盘空间不足";
    case ERROR_WRITE_PROTECT: return "磁盘写保护";
    case ERROR_ACCESS_DENIED: return "没有写入权限或文件被占用";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return "文件被其他程序占用";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND: return "目录不存在";
    default: return {};
  }
}

std::string systemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = n && text ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ' || wide.back() == L'.'))
    wide.pop_back();
  return toNarrow(wide);
}

}  // namespace vl::detail
