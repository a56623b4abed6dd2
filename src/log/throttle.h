// Lets a repeated log line through at most once per interval and counts the
// ones held back, so a client that repeats itself cannot flood agent.log and
// the line that does get written can say how many were left out.
#pragma once

#include <cstdint>

namespace vl {

class LineThrottle {
 public:
  explicit LineThrottle(std::uint64_t intervalMs = 1000) : intervalMs_(intervalMs) {}

  // True when a line may be written at `nowMs` (the first always may). Then
  // `*suppressed` (when given) receives how many were held back since the
  // last line written, and the count starts again; otherwise the line is
  // counted as held back.
  bool allow(std::uint64_t nowMs, std::uint64_t* suppressed = nullptr) {
    if (written_ && nowMs - lastMs_ < intervalMs_) {
      ++held_;
      return false;
    }
    written_ = true;
    lastMs_ = nowMs;
    if (suppressed) *suppressed = held_;
    held_ = 0;
    return true;
  }
  // Lines held back since the last one written.
  std::uint64_t held() const { return held_; }

 private:
  std::uint64_t intervalMs_;
  std::uint64_t lastMs_ = 0;
  bool written_ = false;
  std::uint64_t held_ = 0;
};

}  // namespace vl
