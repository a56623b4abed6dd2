// Process-wide leveled log: debugger output (Windows), standard error and a
// rotating agent.log. Callable from any thread, also before logOpen and after
// logClose (then only the non-file outputs get the line).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#if defined(__MINGW32__)
#define VL_PRINTF_FMT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define VL_PRINTF_FMT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace vl {

enum class LogLevel : unsigned { Trace = 0, Info = 1, Warn = 2, Error = 3 };

// Rotation threshold and the number of older copies kept (.1 newest .. .3).
inline constexpr std::uint64_t kLogRotateBytes = 2097152;
inline constexpr int kLogKeptCopies = 3;
inline constexpr int kLogStrayCopiesMax = 7;
inline constexpr std::size_t kLogMessageMax = 4095;

// Exactly five characters; "?????" for a value outside the enumeration.
const char* logLevelText(LogLevel level);

void logOpen(const std::string& path, const std::string& tag);
void logWrite(LogLevel level, const char* format, ...) VL_PRINTF_FMT(2, 3);
void logClose();

// Test seam: sees every finished line (with its LF) inside the log's lock.
// Pass an empty function to remove it.
using LogObserver = std::function<void(LogLevel level, std::string_view line)>;
void logSetObserver(LogObserver observer);

// Test seam: stops lines from reaching standard error (noisy test output).
void logSetStderrEnabled(bool enabled);

}  // namespace vl
