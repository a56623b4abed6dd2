// The SendInput records built for each input operation, checked on every
// platform through a recording sink.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "echo/input_injector.h"
#include "log/helpers.h"

namespace vl {
namespace {

struct Call {
  std::vector<InputRecord> records;  // empty: a pause
  int pauseMs = 0;
};

class RecordingSink final : public InputRecordSink {
 public:
  RecordingSink(std::vector<Call>& calls, std::int32_t vx, std::int32_t vy, std::int32_t vw, std::int32_t vh)
      : calls_(calls), vx_(vx), vy_(vy), vw_(vw), vh_(vh) {}
  void virtualDesktop(std::int32_t& x, std::int32_t& y, std::int32_t& w, std::int32_t& h) override {
    x = vx_;
    y = vy_;
    w = vw_;
    h = vh_;
  }
  // A scan code with bits above the low byte, which must be masked off.
  std::uint32_t scanCode(unsigned vk) override { return 0xE000u | ((vk + 0x20u) & 0xFFu); }
  void send(const InputRecord* records, std::size_t count) override {
    calls_.push_back({std::vector<InputRecord>(records, records + count), 0});
  }
  void pause(int ms) override { calls_.push_back({{}, ms}); }

 private:
  std::vector<Call>& calls_;
  std::int32_t vx_, vy_, vw_, vh_;
};

class SendInputRecords : public ::testing::Test {
 protected:
  void useDesktop(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
    injector_ = std::make_unique<SendInputInjector>(std::make_unique<RecordingSink>(calls_, x, y, w, h));
  }
  void SetUp() override { useDesktop(0, 0, 1920, 1080); }

  static MonitorInfo rect(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
    MonitorInfo m;
    m.x = x;
    m.y = y;
    m.width = w;
    m.height = h;
    return m;
  }
  static InputRecord mouse(std::uint32_t flags, std::int32_t dx = 0, std::int32_t dy = 0, std::uint32_t data = 0) {
    InputRecord r;
    r.type = InputRecord::Type::Mouse;
    r.flags = flags;
    r.dx = dx;
    r.dy = dy;
    r.mouseData = data;
    return r;
  }
  static InputRecord key(std::uint16_t vk, std::uint16_t scan, std::uint32_t flags) {
    InputRecord r;
    r.type = InputRecord::Type::Keyboard;
    r.vk = vk;
    r.scan = scan;
    r.flags = flags;
    return r;
  }
  static InputRecord unicode(std::uint16_t unit, bool up) {
    return key(0, unit, up ? (kKeyUnicode | kKeyUp) : kKeyUnicode);
  }
  const InputRecord& onlyRecord(std::size_t call) {
    EXPECT_EQ(calls_.at(call).records.size(), 1u);
    return calls_.at(call).records.at(0);
  }

  std::vector<Call> calls_;
  std::unique_ptr<SendInputInjector> injector_;
};

constexpr std::uint32_t kAbsMove = 0xC001;

TEST_F(SendInputRecords, AbsoluteMovesOverTheVirtualDesktop) {
  struct Case {
    std::int32_t vx, vy, vw, vh;
    MonitorInfo rect;
    float u, v;
    std::int32_t dx, dy;
  };
  const MonitorInfo full = rect(0, 0, 1920, 1080);
  const MonitorInfo second = rect(-1280, 0, 1280, 1024);  // left of a 1920x1080 primary
  const Case cases[] = {
      {0, 0, 1920, 1080, full, 0.5f, 0.5f, 32784, 540 * 65535 / 1079},
      {-1280, 0, 3200, 1080, second, 0.0f, 0.0f, 0, 0},
      {-1280, 0, 3200, 1080, second, 1.0f, 1.0f, 26222, 62194},
      // Outside the picture clamps to its edges; the far edge lies past the
      // last pixel and clamps to 65535.
      {0, 0, 1920, 1080, full, -3.0f, 7.0f, 0, 65535},
      {0, 0, 1920, 1080, full, std::numeric_limits<float>::quiet_NaN(), 1.0f, 0, 65535},
      // One pixel per unit: the products are cut toward zero before the
      // virtual origin is taken off.
      {-20, 10, 65536, 65536, rect(100, 50, 10, 3), 0.999f, 0.5f, 100 + 9 + 20, 50 + 1 - 10},
      // A one-pixel desktop must not divide by zero.
      {0, 0, 1, 1, rect(0, 0, 1, 1), 1.0f, 1.0f, 0, 0},
  };
  for (const Case& c : cases) {
    useDesktop(c.vx, c.vy, c.vw, c.vh);
    calls_.clear();
    injector_->moveTo(c.u, c.v, c.rect);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(onlyRecord(0), mouse(kAbsMove, c.dx, c.dy)) << c.u << "," << c.v << " on " << c.vw << "x" << c.vh;
  }
}

TEST_F(SendInputRecords, DesktopWithoutSizeSendsNoMoveButStillButtonsAndKeys) {
  useDesktop(0, 0, 0, 1080);
  injector_->moveTo(0.5f, 0.5f, rect(0, 0, 1920, 1080));
  injector_->click(0.5f, 0.5f, rect(0, 0, 1920, 1080), 0);
  injector_->keyEvent(0x41, true);
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_EQ(onlyRecord(0), mouse(kMouseLeftDown));
  EXPECT_EQ(onlyRecord(1), mouse(kMouseLeftUp));
  EXPECT_EQ(onlyRecord(2).vk, 0x41);
}

TEST_F(SendInputRecords, ButtonsClicksAndDoubleClicks) {
  injector_->mouseButton(1, true);
  injector_->mouseButton(2, false);
  injector_->mouseButton(7, true);  // unknown numbers mean the left button
  EXPECT_EQ(onlyRecord(0), mouse(kMouseRightDown));
  EXPECT_EQ(onlyRecord(1), mouse(kMouseMiddleUp));
  EXPECT_EQ(onlyRecord(2), mouse(kMouseLeftDown));

  calls_.clear();
  injector_->doubleClick(0.0f, 0.0f, rect(0, 0, 1920, 1080), 1);
  ASSERT_EQ(calls_.size(), 6u);  // move, down, up, pause, down, up: each its own call
  EXPECT_EQ(onlyRecord(0).flags, kAbsMove);
  EXPECT_EQ(onlyRecord(1), mouse(kMouseRightDown));
  EXPECT_EQ(onlyRecord(2), mouse(kMouseRightUp));
  EXPECT_TRUE(calls_[3].records.empty());
  EXPECT_EQ(calls_[3].pauseMs, 10);
  EXPECT_EQ(onlyRecord(4), mouse(kMouseRightDown));
  EXPECT_EQ(onlyRecord(5), mouse(kMouseRightUp));
}

TEST_F(SendInputRecords, WheelWithCtrlWrapsTheTurnInControlPressAndRelease) {
  injector_->wheel(-2, true);
  ASSERT_EQ(calls_.size(), 3u);
  const std::uint16_t ctrlScan = (0x11 + 0x20) & 0xFF;
  EXPECT_EQ(onlyRecord(0), key(0x11, ctrlScan, 0));
  EXPECT_EQ(onlyRecord(1), mouse(kMouseWheel, 0, 0, static_cast<std::uint32_t>(-240)));
  EXPECT_EQ(onlyRecord(2), key(0x11, ctrlScan, kKeyUp));

  calls_.clear();
  injector_->wheel(3, false);
  injector_->wheel(std::numeric_limits<int>::max(), false);
  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_EQ(onlyRecord(0), mouse(kMouseWheel, 0, 0, 360));
  // The amount saturates instead of wrapping to a turn the other way.
  EXPECT_EQ(static_cast<std::int32_t>(onlyRecord(1).mouseData), std::numeric_limits<std::int32_t>::max());
}

TEST_F(SendInputRecords, KeysCarryScanCodeAndExtendedFlag) {
  injector_->keyEvent(0x25, true);
  injector_->keyEvent(0x10025, false);  // only the low 16 bits count
  injector_->pressKey(0x41);
  EXPECT_EQ(onlyRecord(0), key(0x25, 0x45, kKeyExtended));
  EXPECT_EQ(onlyRecord(1), key(0x25, 0x45, kKeyExtended | kKeyUp));
  ASSERT_EQ(calls_.at(2).records.size(), 2u);  // one call, two records
  EXPECT_EQ(calls_[2].records[0], key(0x41, 0x61, 0));
  EXPECT_EQ(calls_[2].records[1], key(0x41, 0x61, kKeyUp));
}

TEST(ExtendedKeys, ExactlyTheNavigationEditingAndRightSideKeys) {
  const std::set<unsigned> expected = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2C, 0x2D,
                                       0x2E, 0x5B, 0x5C, 0x5D, 0x6F, 0x90, 0xA3, 0xA5};
  for (unsigned vk = 0; vk <= 0x1FFFF; ++vk)
    ASSERT_EQ(isExtendedKey(vk), expected.count(vk & 0xFFFF) == 1) << std::hex << vk;
}

TEST_F(SendInputRecords, TextBecomesUnicodePairsWithSurrogatesAndEnterKeys) {
  injector_->typeText("a\xF0\x9F\x98\x80\r\n");  // a, U+1F600, CR, LF
  ASSERT_EQ(calls_.size(), 5u);
  const std::uint16_t expectedUnits[] = {'a', 0xD83D, 0xDE00};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(calls_[i].records.size(), 2u);
    EXPECT_EQ(calls_[i].records[0], unicode(expectedUnits[i], false));
    EXPECT_EQ(calls_[i].records[1], unicode(expectedUnits[i], true));
  }
  for (int i = 3; i < 5; ++i) {
    ASSERT_EQ(calls_[i].records.size(), 2u);
    EXPECT_EQ(calls_[i].records[0].vk, kVkReturn);
    EXPECT_EQ(calls_[i].records[1].flags, kKeyUp);
  }
}

// Code points and keys, in order, as typing would produce them.
std::vector<std::string> typed(std::string_view text) {
  std::vector<std::string> out;
  walkTypedText(
      text, [&](unsigned vk) { out.push_back(formatString("vk%u", vk)); },
      [&](char32_t cp) { out.push_back(formatString("U%u", static_cast<unsigned>(cp))); });
  return out;
}

TEST(TypedText, MalformedUtf8IsSkippedOrEndsTheText) {
  using V = std::vector<std::string>;
  // A truncated tail is dropped, everything before it typed.
  EXPECT_EQ(typed("ab\xE2\x82"), (V{"U97", "U98"}));
  EXPECT_EQ(typed("x\xF0"), (V{"U120"}));
  // Stray continuation bytes and 0xF8 … 0xFF are skipped one by one.
  EXPECT_EQ(typed("\x80x\xFF\xF8y"), (V{"U120", "U121"}));
  // A bad continuation byte skips the whole announced sequence.
  EXPECT_EQ(typed("\xE2\x41\x42z"), (V{"U122"}));
  // Two- and three-byte forms; overlong forms are not rejected.
  EXPECT_EQ(typed("\xC3\xA9\xE4\xB8\xAD\xC0\x80"), (V{"U233", "U20013"}));
  // Backspace and Tab are keys, other control characters vanish.
  EXPECT_EQ(typed("\b\t\x01\x1F\x7F"), (V{"vk8", "vk9", "U127"}));
  EXPECT_TRUE(typed("").empty());
}

// Typing a text in pieces cut by typedTextPrefix types what the whole does,
// whatever the budget and however malformed the text.
TEST(TypedText, PiecesCutAtTheBudgetTypeTheSameAsTheWhole) {
  const struct {
    std::string text;
    std::size_t budget;
    std::size_t firstBytes;  // of the first piece
  } cases[] = {
      {"abcdef", 4, 4},
      {"\xC3\xA9\xE4\xB8\xAD" "abc", 2, 5},
      {"\x80\x80" "ab", 1, 3},            // skipped bytes cost nothing
      {"\xE2\x41\x42z", 1, 4},            // a broken sequence is one step
      {"ab\xE2\x82", 2, 4},               // a cut-off tail goes with the start
      {"a\r\nb", 2, 2},
      {"abc", 0, 0},
      {"", 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::size_t count = 0;
    EXPECT_EQ(typedTextPrefix(c.text, c.budget, count), c.firstBytes);
    EXPECT_LE(count, c.budget);
    std::vector<std::string> pieces;
    std::string_view rest = c.text;
    for (int guard = 0; !rest.empty() && guard < 100; ++guard) {
      const std::size_t cut = typedTextPrefix(rest, c.budget == 0 ? 1 : c.budget, count);
      const std::vector<std::string> part = typed(rest.substr(0, cut));
      pieces.insert(pieces.end(), part.begin(), part.end());
      rest.remove_prefix(cut);
    }
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(pieces, typed(c.text));
  }
}

}  // namespace
}  // namespace vl
