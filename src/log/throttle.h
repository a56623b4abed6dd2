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

// A token bucket for lines that are normal one at a time but come in storms
// (a connection each, say): a burst of `burst` passes, then `perSecond`.
class LineBudget {
 public:
  LineBudget(std::uint64_t burst, std::uint64_t perSecond) : burst_(burst), perSecond_(perSecond), tokens_(burst) {}

  // Same contract as LineThrottle::allow.
  bool allow(std::uint64_t nowMs, std::uint64_t* suppressed = nullptr) {
    refill(nowMs);
    if (tokens_ == 0) {
      ++held_;
      return false;
    }
    take(nowMs, suppressed);
    return true;
  }
  // After a flood: true (and the count in `*suppressed`) when lines were held
  // back and the budget allows one line now, which should say how many.
  bool allowSummary(std::uint64_t nowMs, std::uint64_t* suppressed) {
    if (held_ == 0) return false;
    refill(nowMs);
    if (tokens_ == 0) return false;
    take(nowMs, suppressed);
    return true;
  }
  std::uint64_t held() const { return held_; }

 private:
  void refill(std::uint64_t nowMs) {
    if (started_ && nowMs > lastMs_) {
      const std::uint64_t gained = (nowMs - lastMs_) * perSecond_ / 1000;
      if (gained > 0) {
        tokens_ = tokens_ + gained > burst_ ? burst_ : tokens_ + gained;
        lastMs_ += gained * 1000 / perSecond_;
      }
    } else if (!started_) {
      started_ = true;
      lastMs_ = nowMs;
    }
  }
  void take(std::uint64_t nowMs, std::uint64_t* suppressed) {
    if (tokens_ == burst_) lastMs_ = nowMs;  // a full bucket gains nothing while it waits
    --tokens_;
    if (suppressed) *suppressed = held_;
    held_ = 0;
  }

  std::uint64_t burst_;
  std::uint64_t perSecond_;
  std::uint64_t tokens_;
  std::uint64_t lastMs_ = 0;
  bool started_ = false;
  std::uint64_t held_ = 0;
};

}  // namespace vl
