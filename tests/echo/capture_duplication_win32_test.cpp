// The Windows capturer over a scripted duplication (Wine has none): what a
// duplicated frame reports is what update() reports, and the kept picture
// rebuilt from those rectangles alone equals the whole desktop converted.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "echo/capture.h"
#include "echo/desktop_duplication_win32.h"
#include "echo/duplication_damage.h"
#include "scripted_duplication.h"

namespace vl {
namespace {

constexpr std::int32_t kW = 160, kH = 120;
constexpr std::int32_t kRegionX = 10, kRegionY = 20;

// The desktop is the region itself; the capturer's DIB is the target.
class ScriptedRegion final : public detail::RegionDuplication {
 public:
  explicit ScriptedRegion(test::ScriptedDesktop& desktop) : desktop_(desktop) {}
  void open(const MonitorInfo& rect, std::uint8_t* dst, std::size_t stride) override {
    EXPECT_TRUE(rect.width == kW && rect.height == kH);
    desktop_.target(dst, stride);
  }
  void close() override { desktop_.target(nullptr, 0); }
  DuplicationFault setUp(bool newDevice, std::string& reason) override { return desktop_.setUp(newDevice, reason); }
  void tearDown() override { desktop_.tearDown(); }
  DuplicationFault acquire(int slot, bool& queued, std::string& reason) override {
    return desktop_.acquire(slot, queued, reason);
  }
  DuplicationFault read(int slot, bool wait, bool& drawing, FrameDamage& damage, std::string& reason) override {
    return desktop_.read(slot, wait, drawing, damage, reason);
  }

 private:
  test::ScriptedDesktop& desktop_;
};

// What update() should hold: the desktop as RGBA.
std::vector<std::uint8_t> rgba(const std::vector<std::uint8_t>& bgrx) {
  std::vector<std::uint8_t> out(bgrx.size());
  for (std::size_t i = 0; i < bgrx.size(); i += 4) {
    out[i] = bgrx[i + 2];
    out[i + 1] = bgrx[i + 1];
    out[i + 2] = bgrx[i];
    out[i + 3] = 255;
  }
  return out;
}

std::string describe(const FrameDamage& d) {
  if (d.whole) return "whole";
  std::string text;
  for (const PixelRect& r : d.rects)
    text += (text.empty() ? "" : " ") + std::to_string(r.x) + "," + std::to_string(r.y) + " " +
            std::to_string(r.width) + "x" + std::to_string(r.height);
  return text.empty() ? "none" : text;
}

struct Step {
  const char* name;
  std::vector<test::DesktopFrame> frames;
  const char* damage;  // describe() of update()'s damage without a pointer drawn
  POINT pointer{-1, -1};  // moved there (region pixels) before the pass
};

class ScriptedDuplicationCapture : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    detail::setRegionDuplicationMaker([this] { return std::make_unique<ScriptedRegion>(desktop_); });
  }
  void TearDown() override { detail::setRegionDuplicationMaker({}); }
  test::ScriptedDesktop desktop_{kW, kH, OutputRect{0, 0, kW, kH}};
};

// Pixels of `kept` that differ from the desktop, leaving out a box around
// the pointer's hotspot when one is drawn.
int differing(const PixelFrame& kept, const std::vector<std::uint8_t>& want, bool pointerDrawn) {
  POINT at{-1000, -1000};
  if (pointerDrawn) {
    GetCursorPos(&at);
    at.x -= kRegionX;
    at.y -= kRegionY;
  }
  int count = 0;
  for (std::int32_t y = 0; y < kH; ++y)
    for (std::int32_t x = 0; x < kW; ++x) {
      if (x >= at.x - 40 && x < at.x + 40 && y >= at.y - 40 && y < at.y + 40) continue;
      const std::size_t i = (static_cast<std::size_t>(y) * kW + x) * 4;
      count += std::memcmp(&kept.pixels[i], &want[i], 4) != 0;
    }
  return count;
}

TEST_P(ScriptedDuplicationCapture, UpdateReportsTheFramesRectanglesAndKeepsTheWholePictureExact) {
  const bool pointer = GetParam();
  if (gdiCaptureForced()) GTEST_SKIP() << "VL_SCREEN_GDI is set";
  std::vector<OutputRect> scattered;
  for (int i = 0; i < 30; ++i) scattered.push_back(OutputRect{i * 2, (i * 11) % 44, i * 2 + 2, (i * 11) % 44 + 3});
  const Step steps[] = {
      {"first picture", {{{}, {{0, 0, kW, kH}}}}, "whole", {20, 20}},
      {"pointer only", {{{}, {}, true}}, "none"},
      {"nothing presented", {}, "none"},
      // The pointer leaves while the picture changes elsewhere: where it was
      // must be the desktop again.
      {"one dirty rectangle", {{{}, {{5, 96, 15, 106}}}}, "5,96 10x10", {120, 80}},
      {"a scroll: moved rows and the uncovered band",
       {{{{0, 12, {0, 4, kW, 40}}}, {{0, 40, kW, 48}}}}, "0,4 160x36 0,40 160x8"},
      {"a rectangle past the corner is clipped", {{{}, {{150, 110, 170, 130}}}}, "150,110 10x10"},
      {"more rectangles than are kept apart", {{{}, scattered}}, nullptr, {60, 60}},
      {"under the pointer", {{{}, {{50, 50, 90, 70}}}}, "50,50 40x20"},
      // Set up again in the same pass: a whole picture, compared row by row.
      {"access lost", {{{}, {{20, 30, 22, 31}}, false, DuplicationFault::AccessLost}, {}}, "0,30 160x1"},
  };
  // Wine shows no pointer until a window of the desktop sets one.
  struct Window {
    HWND handle = nullptr;
    ~Window() {
      if (handle) DestroyWindow(handle);
    }
  } window;
  if (pointer) {
    window.handle = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr,
                                    nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window.handle, nullptr);
    SetForegroundWindow(window.handle);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  }
  ScreenCapturer capturer;
  capturer.setCursorDrawn(pointer);
  ASSERT_TRUE(capturer.open(CaptureRegion::custom(kRegionX, kRegionY, kW, kH)));
  PixelFrame kept;
  FrameDamage damage;
  bool pointerSeen = false;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (pointer && step.pointer.x >= 0) SetCursorPos(kRegionX + step.pointer.x, kRegionY + step.pointer.y);
    desktop_.frames.assign(step.frames.begin(), step.frames.end());
    ASSERT_TRUE(capturer.update(kept, damage));
    EXPECT_TRUE(desktop_.frames.empty());
    EXPECT_TRUE(capturer.usingDuplication());
    EXPECT_LE(damage.rects.size(), FrameDamage::kMaxRects);
    const bool drawn = capturer.cursorStamp() != 0;
    pointerSeen = pointerSeen || drawn;
    if (!drawn && step.damage) {
      EXPECT_EQ(describe(damage), step.damage);
    }
    EXPECT_EQ(differing(kept, rgba(desktop_.region()), drawn), 0) << "kept picture differs from the desktop";
  }
  EXPECT_EQ(desktop_.setUps, 2);
  // Whatever the pointer did, the kept picture is what a whole conversion gives.
  PixelFrame fresh;
  ASSERT_TRUE(capturer.capture(fresh));
  EXPECT_TRUE(fresh.pixels == kept.pixels);
  PixelFrame other;
  ASSERT_TRUE(capturer.update(other, damage));
  EXPECT_TRUE(damage.whole);
  if (pointer && !pointerSeen) GTEST_SKIP() << "no pointer is shown on this desktop";
}

INSTANTIATE_TEST_SUITE_P(Pointer, ScriptedDuplicationCapture, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Drawn") : std::string("Hidden");
                         });

}  // namespace
}  // namespace vl
