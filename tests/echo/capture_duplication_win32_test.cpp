// The Windows capturer over a scripted duplication (Wine has none): what a
// duplicated frame reports is what update() reports, and the kept picture
// rebuilt from those rectangles alone equals the whole desktop converted.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "echo/capture.h"
#include "echo/desktop_duplication_win32.h"
#include "echo/duplication_damage.h"

namespace vl {
namespace {

constexpr std::int32_t kW = 160, kH = 120;
constexpr std::int32_t kRegionX = 10, kRegionY = 20;

// One acquired frame, in region pixels.
struct Frame {
  std::vector<OutputMove> moves;
  std::vector<OutputRect> dirty;
  bool pointerOnly = false;
  bool accessLost = false;  // the frame's metadata call fails so
};

struct Listed final : FrameMetadataSource {
  const Frame& frame;
  explicit Listed(const Frame& f) : frame(f) {}
  DuplicationFault moveRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& more,
                             std::string&) override {
    return give(frame.moves.data(), frame.moves.size() * sizeof(OutputMove), buffer, bytes, used, more);
  }
  DuplicationFault dirtyRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& more,
                              std::string& reason) override {
    if (frame.accessLost) {
      reason = "访问丢失";
      return DuplicationFault::AccessLost;
    }
    return give(frame.dirty.data(), frame.dirty.size() * sizeof(OutputRect), buffer, bytes, used, more);
  }
  static DuplicationFault give(const void* data, std::size_t size, void* buffer, std::uint32_t bytes,
                               std::uint32_t& used, bool& more) {
    used = static_cast<std::uint32_t>(size);
    more = size > bytes;
    if (!more && size) std::memcpy(buffer, data, size);
    return DuplicationFault::None;
  }
};

// A desktop exactly the size of the region, duplicated into the capturer's
// DIB through the same damage bookkeeping as DXGI.
struct Desktop {
  std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(std::size_t{kW} * kH * 4);
  std::deque<Frame> frames;
  int paint = 1;
  int setUps = 0;

  void fill(const OutputRect& r) {
    for (std::int32_t y = std::max(r.top, 0); y < std::min(r.bottom, kH); ++y)
      for (std::int32_t x = std::max(r.left, 0); x < std::min(r.right, kW); ++x) {
        std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * kW + x) * 4];
        p[0] = static_cast<std::uint8_t>(x * 3 + paint * 41);
        p[1] = static_cast<std::uint8_t>(y * 7 + paint * 13);
        p[2] = static_cast<std::uint8_t>((x + y) * paint);
        p[3] = 0;  // the X byte of BGRX
      }
    ++paint;
  }
  void move(const OutputMove& m) {
    const std::int32_t w = m.destination.right - m.destination.left;
    std::vector<std::uint8_t> area;
    for (std::int32_t y = 0; y < m.destination.bottom - m.destination.top; ++y) {
      const auto* row = &pixels[(static_cast<std::size_t>(m.sourceY + y) * kW + m.sourceX) * 4];
      area.insert(area.end(), row, row + static_cast<std::size_t>(w) * 4);
    }
    for (std::int32_t y = 0; y < m.destination.bottom - m.destination.top; ++y)
      std::memcpy(&pixels[(static_cast<std::size_t>(m.destination.top + y) * kW + m.destination.left) * 4],
                  &area[static_cast<std::size_t>(y) * w * 4], static_cast<std::size_t>(w) * 4);
  }
  // What update() should hold: the desktop as RGBA.
  std::vector<std::uint8_t> rgba() const {
    std::vector<std::uint8_t> out(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
      out[i] = pixels[i + 2];
      out[i + 1] = pixels[i + 1];
      out[i + 2] = pixels[i];
      out[i + 3] = 255;
    }
    return out;
  }
};

class ScriptedDuplication final : public detail::RegionDuplication {
 public:
  explicit ScriptedDuplication(Desktop& desktop) : desktop_(desktop) {}
  void open(const MonitorInfo& rect, std::uint8_t* dst, std::size_t stride) override {
    ASSERT_EQ(rect.width, kW);
    ASSERT_EQ(rect.height, kH);
    dst_ = dst;
    stride_ = stride;
  }
  void close() override { dst_ = nullptr; }
  DuplicationFault setUp(bool, std::string&) override {
    ++desktop_.setUps;
    damage_.reset(OutputRect{0, 0, kW, kH}, false);
    return DuplicationFault::None;
  }
  void tearDown() override {}
  DuplicationFault acquire(int slot, bool& queued, std::string& reason) override {
    queued = false;
    if (desktop_.frames.empty()) return DuplicationFault::None;
    const Frame frame = desktop_.frames.front();
    desktop_.frames.pop_front();
    for (const OutputMove& m : frame.moves) desktop_.move(m);
    for (const OutputRect& r : frame.dirty) desktop_.fill(r);
    Listed metadata(frame);
    const DuplicatedFrameInfo info{frame.pointerOnly ? 0 : 9, frame.pointerOnly ? 0u : 1u,
                                   static_cast<std::uint32_t>(frame.moves.size() * sizeof(OutputMove) +
                                                              frame.dirty.size() * sizeof(OutputRect))};
    bool changed = false;
    const DuplicationFault fault = damage_.addFrame(info, metadata, changed, reason);
    if (fault != DuplicationFault::None || !changed) return fault;
    staging_[slot & 1].resize(desktop_.pixels.size(), 0xCD);
    copyDamage(desktop_.pixels.data(), std::size_t{kW} * 4, staging_[slot & 1].data(), std::size_t{kW} * 4, kW, kH,
               damage_.unread());
    damage_.queued(slot);
    queued = true;
    return DuplicationFault::None;
  }
  DuplicationFault read(int slot, bool, bool& stillDrawing, FrameDamage& damage, std::string&) override {
    stillDrawing = false;
    copyDamage(staging_[slot & 1].data(), std::size_t{kW} * 4, dst_, stride_, kW, kH, damage_.slot(slot));
    damage = damage_.slot(slot);
    damage_.read();
    return DuplicationFault::None;
  }

 private:
  Desktop& desktop_;
  std::uint8_t* dst_ = nullptr;
  std::size_t stride_ = 0;
  DuplicationDamage damage_;
  std::vector<std::uint8_t> staging_[2];
};

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
  std::vector<Frame> frames;
  const char* damage;  // describe() of update()'s damage without a pointer drawn
  POINT pointer{-1, -1};  // moved there (region pixels) before the pass
};

class ScriptedDuplicationCapture : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    detail::setRegionDuplicationMaker([this] { return std::make_unique<ScriptedDuplication>(desktop_); });
  }
  void TearDown() override { detail::setRegionDuplicationMaker({}); }
  Desktop desktop_;
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
      {"access lost", {{{}, {{20, 30, 22, 31}}, false, true}, {{}, {}}}, "0,30 160x1"},
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
    EXPECT_EQ(differing(kept, desktop_.rgba(), drawn), 0) << "kept picture differs from the desktop";
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
