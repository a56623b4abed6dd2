// Small shared helpers: clocks, random numbers, text, paths and files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log/log.h"

namespace vl {

// Milliseconds of a steady clock since the first call in the process (which
// returns 0). Every timer of the program uses it.
std::uint64_t monotonicMs();
std::int64_t unixTimeMs();
// One process-wide mt19937_64; not locked, UI thread only.
std::uint64_t random64();

// printf into at most 4095 bytes (standard snprintf truncation).
std::string formatString(const char* format, ...) VL_PRINTF_FMT(1, 2);

// UTF-8 <-> UTF-16. std::wstring holds UTF-16 code units on every platform
// (on Linux each 32-bit wchar_t carries one unit), so code that hashes or
// compares units behaves the same everywhere. Invalid input becomes U+FFFD.
std::wstring toWide(std::string_view utf8);
std::string toNarrow(std::wstring_view utf16);

// The platform's path separator, used when joining.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Directory of the executable with a trailing separator; "./" style fallback
// (".\" on Windows) when it cannot be read.
std::string exeDirectory();
// Full path of the executable, empty when it cannot be read.
std::string exePath();
// Accepts "\" and "/" on input, joins with the platform's separator.
std::string joinPath(std::string_view first, std::string_view second);
// Everything up to and including the last "\" or "/"; empty when none.
std::string parentDirectory(std::string_view path);
bool directoryExists(const std::string& path);
bool fileExists(const std::string& path);
bool createDirectories(const std::string& path);
// Replaces the file in one step (temporary file beside it, flushed, then
// renamed over the target). false when any step fails; the old file stays.
bool writeWholeFile(const std::string& path, const void* data, std::size_t size);
inline bool writeWholeFile(const std::string& path, std::string_view bytes) {
  return writeWholeFile(path, bytes.data(), bytes.size());
}
// Reads a whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& out);
bool removeFile(const std::string& path);
bool renameFile(const std::string& from, const std::string& to);
// Size in bytes, or -1.
std::int64_t fileSize(const std::string& path);

// Where settings and logs live. A copy whose <exe dir>/data can be written
// (or created) keeps it there -- portable use, and always on Windows, where
// the installer puts the program in a folder the user owns. An installed
// Linux copy cannot write beside /usr/bin: it uses $XDG_STATE_HOME/velmora-agent,
// else $HOME/.local/state/velmora-agent (a relative XDG_STATE_HOME is
// ignored, as XDG says); with neither, <exe dir>/data stays the answer.
std::string chooseDataDirectory(const std::string& exeDir, bool exeDataWritable,
                                const std::string& xdgStateHome, const std::string& home);
// The rule above for this process.
std::string agentDataDirectory();

// Copy without leading and trailing bytes <= 32.
std::string trimSpaces(std::string_view text);

// Peer-supplied text made safe for one log line: control bytes (line breaks
// included) become '?', so a peer cannot forge or split lines.
std::string printableForLog(std::string_view text);

// Environment helpers: exists (also when empty) and value.
bool envExists(const char* name);
std::string envValue(const char* name);
// Sets a variable for this process's C library readers (getenv); before
// other threads read the environment.
void setProcessEnv(const char* name, const char* value);

}  // namespace vl
