// Desktop duplication coming back after the field's interruptions, driven by
// a scripted backend: which source serves each pass, which platform calls
// are made (set-ups, retries, staging slots) and what is logged.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "echo/duplication_recovery.h"

namespace vl {
namespace {

using F = DuplicationFault;
using P = PictureSource;

struct Acquired {
  F fault = F::None;
  bool queued = false;
};
struct Read {
  F fault = F::None;
  bool stillDrawing = false;
};

// Answers from the script, in order; an empty script answers "fine, nothing
// new". Every call lands in the trace: S set-up (S* with a new device),
// T tear-down, A<slot> acquire, R<slot> read without waiting, W<slot> read
// that may wait; passes are separated by "|".
class ScriptedBackend final : public DuplicationBackend {
 public:
  std::deque<F> setUps;
  std::deque<Acquired> acquires;
  std::deque<Read> reads;
  std::string trace;

  F setUp(bool newDevice, std::string& reason) override {
    note(newDevice ? "S*" : "S");
    return take(setUps, F::None, reason);
  }
  void tearDown() override { note("T"); }
  F acquire(int slot, bool& queued, std::string& reason) override {
    note("A" + std::to_string(slot));
    Acquired a = acquires.empty() ? Acquired{} : acquires.front();
    if (!acquires.empty()) acquires.pop_front();
    queued = a.queued;
    reason = describe(a.fault);
    return a.fault;
  }
  F read(int slot, bool wait, bool& stillDrawing, FrameDamage& damage, std::string& reason) override {
    damage.setWhole();
    note((wait ? "W" : "R") + std::to_string(slot));
    Read r = reads.empty() ? Read{} : reads.front();
    if (!reads.empty()) reads.pop_front();
    stillDrawing = r.stillDrawing;
    reason = describe(r.fault);
    return r.fault;
  }
  void endPass() { trace += trace.empty() ? "|" : " |"; }

 private:
  void note(const std::string& call) { trace += (trace.empty() ? "" : " ") + call; }
  static std::string describe(F fault) {
    switch (fault) {
      case F::None: return "";
      case F::AccessLost: return "访问丢失";
      case F::Refused: return "被拒绝";
      case F::DeviceLost: return "设备丢失";
      case F::Rotated: return "显示器已旋转";
      case F::Other: return "格式不合用";
      case F::Unavailable: return "系统不支持";
    }
    return "";
  }
  static F take(std::deque<F>& script, F otherwise, std::string& reason) {
    F f = script.empty() ? otherwise : script.front();
    if (!script.empty()) script.pop_front();
    reason = describe(f);
    return f;
  }
};

struct Pass {
  std::uint64_t nowMs;
  P expected;
  bool restartFirst = false;
};

struct Case {
  const char* name;
  std::vector<F> setUps;
  std::vector<Acquired> acquires;
  std::vector<Read> reads;
  std::vector<Pass> passes;
  const char* trace;
  std::vector<std::string> logs;  // "W:" / "I:" and the start of the line
};

const Acquired kNew{F::None, true};
const Acquired kNothing{F::None, false};  // timeout or pointer only
const Read kDone{F::None, false};
const Read kDrawing{F::None, true};

TEST(DuplicationRecovery, SourcesRetriesAndLogLines) {
  const Case cases[] = {
      {"steady frames alternate the staging slots; a timeout reuses the picture",
       {}, {kNew, kNothing, kNew, kNew}, {},
       {{0, P::NewPicture}, {33, P::Unchanged}, {66, P::NewPicture}, {99, P::NewPicture}},
       "S A0 R0 | A1 | A1 R1 | A0 R0 |", {}},
      {"pointer-only first frame is no picture yet: GDI until one arrives",
       {}, {kNothing, kNothing, kNew}, {},
       {{0, P::Gdi}, {33, P::Gdi}, {66, P::NewPicture}},
       "S A0 | A0 | A0 R0 |", {}},
      {"a copy still drawing is read next pass, never waited for when just queued",
       {}, {kNew, kNothing, kNew, kNew}, {kDrawing, kDone, kDrawing, kDone},
       {{0, P::Gdi}, {33, P::NewPicture}, {66, P::Unchanged}, {99, P::NewPicture}},
       "S A0 R0 | A1 W0 | A1 R1 | A0 R0 |", {}},
      {"secure desktop: access lost, refused three times, back",
       {F::None, F::Refused, F::Refused, F::Refused, F::None}, {kNew, {F::AccessLost}, kNew}, {},
       {{0, P::NewPicture}, {100, P::KeepLast}, {300, P::KeepLast}, {600, P::KeepLast}, {1100, P::KeepLast},
        {1600, P::NewPicture}, {1633, P::Unchanged}},
       "S A0 R0 | A1 T S | | S | S | S A1 R1 | A0 |", {"W:安全桌面", "I:已回到桌面"}},
      {"unsupported while the desktop switches counts like access denied",
       {F::None, F::Refused, F::None}, {kNew, {F::AccessLost}, kNew}, {},
       {{0, P::NewPicture}, {10, P::KeepLast}, {510, P::NewPicture}},
       "S A0 R0 | A1 T S | S A1 R1 |", {"W:安全桌面", "I:已回到桌面"}},
      {"secure desktop with no picture kept (capturer reopened): GDI rather than nothing",
       {F::None, F::Refused, F::Refused}, {kNew, {F::AccessLost}}, {},
       {{0, P::NewPicture}, {10, P::KeepLast}, {20, P::Gdi, true}},
       "S A0 R0 | A1 T S | S |", {"W:安全桌面"}},
      {"access lost on a mode change: duplicated again in the same pass",
       {}, {kNew, {F::AccessLost}, kNew}, {},
       {{0, P::NewPicture}, {33, P::NewPicture}},
       "S A0 R0 | A1 T S A1 R1 |", {}},
      {"refused at the first set-up is no secure desktop: GDI, retried every 2 s",
       {F::Refused, F::Refused, F::None}, {kNew}, {},
       {{0, P::Gdi}, {1999, P::Gdi}, {2000, P::Gdi}, {4000, P::NewPicture}},
       "S | | S | S A0 R0 |", {"W:桌面复制不可用，改用 GDI 抓屏: 被拒绝", "I:桌面复制已恢复"}},
      {"duplication lost at birth waits for the retry instead of spinning",
       {}, {{F::AccessLost}, kNew}, {},
       {{0, P::Gdi}, {1000, P::Gdi}, {2000, P::NewPicture}},
       "S A0 T | | S A0 R0 |", {"W:桌面复制不可用，改用 GDI 抓屏: 访问丢失", "I:桌面复制已恢复"}},
      {"device removed: a new device at once",
       {}, {kNew, {F::DeviceLost}, kNew}, {},
       {{0, P::NewPicture}, {33, P::NewPicture}},
       "S A0 R0 | A1 T S* A1 R1 |", {"W:显卡设备已移除或重置（设备丢失）"}},
      {"device removed while reading the picture",
       {}, {kNew, kNothing, kNew}, {kDrawing, {F::DeviceLost}},
       {{0, P::Gdi}, {33, P::NewPicture}},
       "S A0 R0 | A1 W0 T S* A1 R1 |", {"W:显卡设备已移除或重置"}},
      {"a failed rebuild after device loss keeps asking for a new device",
       {F::None, F::Other, F::None}, {kNew, {F::DeviceLost}, kNew}, {},
       {{0, P::NewPicture}, {33, P::Gdi}, {2032, P::Gdi}, {2033, P::NewPicture}},
       "S A0 R0 | A1 T S* | | S* A1 R1 |",
       {"W:显卡设备已移除或重置", "W:桌面复制不可用，改用 GDI 抓屏: 格式不合用", "I:桌面复制已恢复"}},
      {"a rotated output is checked at every set-up and logged once",
       {F::Rotated, F::Rotated, F::None}, {kNew}, {},
       {{0, P::Gdi}, {2000, P::Gdi}, {4000, P::NewPicture}},
       "S | S | S A0 R0 |", {"W:桌面复制不可用，改用 GDI 抓屏: 显示器已旋转", "I:桌面复制已恢复"}},
      {"an unusable acquired picture (format) falls back to GDI",
       {}, {kNew, {F::Other}}, {},
       {{0, P::NewPicture}, {33, P::Gdi}, {1000, P::Gdi}, {2033, P::Gdi}},
       "S A0 R0 | A1 T | | S A1 |", {"W:桌面复制不可用，改用 GDI 抓屏: 格式不合用"}},
      {"a failed read falls back to GDI",
       {}, {kNew, kNew}, {kDone, {F::Other}},
       {{0, P::NewPicture}, {33, P::Gdi}},
       "S A0 R0 | A1 R1 T |", {"W:桌面复制不可用，改用 GDI 抓屏: 格式不合用"}},
      {"another failure during the secure desktop leaves it for GDI",
       {F::None, F::Refused, F::Other}, {kNew, {F::AccessLost}}, {},
       {{0, P::NewPicture}, {10, P::KeepLast}, {510, P::Gdi}, {1000, P::Gdi}},
       "S A0 R0 | A1 T S | S | |", {"W:安全桌面", "W:桌面复制不可用，改用 GDI 抓屏: 格式不合用"}},
      {"a system without duplication is not asked again, not even after reopening",
       {F::Unavailable}, {}, {},
       {{0, P::Gdi}, {2000, P::Gdi}, {60000, P::Gdi}, {60001, P::Gdi, true}},
       "S | | | |", {"W:桌面复制不可用，改用 GDI 抓屏: 系统不支持"}},
      {"reopening keeps what was logged and sets up at once",
       {F::Rotated, F::Rotated}, {}, {},
       {{0, P::Gdi}, {10, P::Gdi, true}},
       "S | S |", {"W:桌面复制不可用，改用 GDI 抓屏: 显示器已旋转"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBackend backend;
    backend.setUps.assign(c.setUps.begin(), c.setUps.end());
    backend.acquires.assign(c.acquires.begin(), c.acquires.end());
    backend.reads.assign(c.reads.begin(), c.reads.end());
    std::vector<std::string> logs;
    DuplicationRecovery recovery(backend, [&](LogLevel level, const std::string& text) {
      logs.push_back((level == LogLevel::Warn ? "W:" : level == LogLevel::Info ? "I:" : "?:") + text);
    });
    bool hadPicture = false;
    for (std::size_t i = 0; i < c.passes.size(); ++i) {
      const Pass& pass = c.passes[i];
      if (pass.restartFirst) {
        recovery.restart();
        hadPicture = false;  // a reopened capturer has a new, empty buffer
      }
      EXPECT_EQ(static_cast<int>(recovery.step(pass.nowMs, hadPicture)), static_cast<int>(pass.expected))
          << "pass " << i << " at " << pass.nowMs << " ms";
      hadPicture = hadPicture || pass.expected == P::NewPicture || pass.expected == P::Gdi;
      backend.endPass();
    }
    EXPECT_EQ(backend.trace, c.trace);
    ASSERT_EQ(logs.size(), c.logs.size()) << (logs.empty() ? "" : logs.back());
    for (std::size_t i = 0; i < logs.size(); ++i)
      EXPECT_EQ(logs[i].rfind(c.logs[i], 0), 0u) << logs[i] << " should start with " << c.logs[i];
    EXPECT_TRUE(backend.setUps.empty() && backend.acquires.empty() && backend.reads.empty())
        << "script not used up";
  }
}

}  // namespace
}  // namespace vl
