// The wlroots back end's pure parts: compositor pixel layouts into RGBA,
// screencopy damage into frame rectangles, capture rectangles onto outputs,
// viewer coordinates onto the layout, and the virtual keyboard's keymap.
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "echo/wlr_keymap_linux.h"
#include "echo/wlr_math.h"

namespace vl::wlr {
namespace {

constexpr std::uint32_t fourcc(const char (&s)[5]) {
  return static_cast<std::uint32_t>(s[0]) | static_cast<std::uint32_t>(s[1]) << 8 |
         static_cast<std::uint32_t>(s[2]) << 16 | static_cast<std::uint32_t>(s[3]) << 24;
}

MonitorInfo rect(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
  MonitorInfo m;
  m.x = x;
  m.y = y;
  m.width = w;
  m.height = h;
  return m;
}

// Each case: one pixel of pure red, green, blue in the format's memory
// order, checked through a 3x2 buffer with padded rows, flipped or not.
TEST(WlrShmLayout, EveryOfferedFormatGivesRgbaInPictureOrder) {
  struct Case {
    const char* name;
    std::uint32_t format;
    std::array<std::uint8_t, 4> red, green, blue;  // memory bytes of one pixel
  };
  const Case cases[] = {
      {"ARGB8888", 0, {0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255}},
      {"XRGB8888", 1, {0, 0, 255, 7}, {0, 255, 0, 7}, {255, 0, 0, 7}},
      {"XBGR8888", fourcc("XB24"), {255, 0, 0, 7}, {0, 255, 0, 7}, {0, 0, 255, 7}},
      {"ABGR8888", fourcc("AB24"), {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}},
      {"RGBX8888", fourcc("RX24"), {7, 0, 0, 255}, {7, 0, 255, 0}, {7, 255, 0, 0}},
      {"RGBA8888", fourcc("RA24"), {9, 0, 0, 255}, {9, 0, 255, 0}, {9, 255, 0, 0}},
      {"BGRX8888", fourcc("BX24"), {7, 255, 0, 0}, {7, 0, 255, 0}, {7, 0, 0, 255}},
      {"BGRA8888", fourcc("BA24"), {0, 255, 0, 0}, {0, 0, 255, 0}, {0, 0, 0, 255}},
  };
  for (const Case& c : cases) {
    for (const bool flipped : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (flipped ? " y-inverted" : ""));
      const ShmLayout layout = shmLayout(c.format);
      ASSERT_TRUE(layout.ok);
      // Picture row 0: red, green, blue; row 1: blue, blue, red. Stride 16
      // (one pixel of padding, filled with junk).
      constexpr std::size_t kStride = 16;
      std::vector<std::uint8_t> shm(kStride * 2, 0xAB);
      const std::array<std::uint8_t, 4> rows[2][3] = {{c.red, c.green, c.blue}, {c.blue, c.blue, c.red}};
      for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
          std::memcpy(&shm[(flipped ? 1 - y : y) * kStride + x * 4], rows[y][x].data(), 4);
      PixelFrame out;
      out.setSize(3, 2);
      copyShmArea(shm.data(), kStride, 2, layout, flipped, {0, 0, 3, 2}, out, 0, 0);
      const std::vector<std::uint8_t> want = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255,
                                              0, 0, 255, 255, 0, 0, 255, 255, 255, 0, 0, 255};
      EXPECT_EQ(out.pixels, want);
    }
  }
  EXPECT_FALSE(shmLayout(fourcc("RG16")).ok);  // RGB565: not read
  EXPECT_FALSE(shmLayout(fourcc("AR30")).ok);  // 10-bit
}

TEST(WlrShmLayout, AreaLandsAtItsPlaceAndLeavesTheRest) {
  // A 4x4 XRGB picture whose pixel (x, y) has blue = 10y + x; the area
  // (1, 2) 2x2 goes to (1, 2) of a kept frame, flipped memory included.
  for (const bool flipped : {false, true}) {
    SCOPED_TRACE(flipped ? "y-inverted" : "upright");
    std::vector<std::uint8_t> shm(16 * 4, 0);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) shm[(flipped ? 3 - y : y) * 16 + x * 4] = static_cast<std::uint8_t>(10 * y + x);
    PixelFrame kept;
    kept.setSize(4, 4);
    std::fill(kept.pixels.begin(), kept.pixels.end(), 1);
    copyShmArea(shm.data(), 16, 4, shmLayout(1), flipped, {1, 2, 2, 2}, kept, 1, 2);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        const std::uint8_t* p = &kept.pixels[(y * 4 + x) * 4];
        const bool inside = x >= 1 && x < 3 && y >= 2;
        EXPECT_EQ(p[2], inside ? 10 * y + x : 1) << x << "," << y;
        EXPECT_EQ(p[3], inside ? 255 : 1) << x << "," << y;
      }
  }
}

TEST(WlrGeometry, CaptureRectangleInBufferPixels) {
  struct Case {
    const char* what;
    MonitorInfo rect, output;
    std::int32_t bufferW, bufferH;
    PixelRect want;
  };
  const Case cases[] = {
      {"whole output", rect(0, 0, 1280, 720), rect(0, 0, 1280, 720), 1280, 720, {0, 0, 1280, 720}},
      {"second output", rect(1280, 0, 1024, 768), rect(1280, 0, 1024, 768), 1024, 768, {0, 0, 1024, 768}},
      {"part of it", rect(1300, 100, 200, 50), rect(1280, 0, 1024, 768), 1024, 768, {20, 100, 200, 50}},
      {"sticking out", rect(1200, 700, 300, 300), rect(1280, 0, 1024, 768), 1024, 768, {0, 700, 220, 68}},
      {"scale 2", rect(100, 50, 200, 100), rect(0, 0, 640, 360), 1280, 720, {200, 100, 400, 200}},
      {"negative origin", rect(-1280, 0, 640, 720), rect(-1280, 0, 1280, 720), 1280, 720, {0, 0, 640, 720}},
      {"disjoint", rect(0, 0, 100, 100), rect(1280, 0, 1024, 768), 1024, 768, {0, 0, 0, 0}},
      {"output without size", rect(0, 0, 100, 100), rect(0, 0, 0, 0), 1024, 768, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PixelRect r = bufferArea(c.rect, c.output, c.bufferW, c.bufferH);
    EXPECT_EQ(r.x, c.want.x);
    EXPECT_EQ(r.y, c.want.y);
    EXPECT_EQ(r.width, c.want.width);
    EXPECT_EQ(r.height, c.want.height);
  }
}

TEST(WlrGeometry, DamageBoxesBecomeFrameRectangles) {
  struct Case {
    const char* what;
    PixelRect box, crop;
    std::vector<PixelRect> want;
  };
  const Case cases[] = {
      {"whole crop = buffer", {10, 20, 30, 40}, {0, 0, 1280, 720}, {{10, 20, 30, 40}}},
      {"moved into the crop", {110, 220, 30, 40}, {100, 200, 400, 300}, {{10, 20, 30, 40}}},
      {"cut at the crop's corner", {90, 190, 30, 40}, {100, 200, 400, 300}, {{0, 0, 20, 30}}},
      {"cut at the far edges", {480, 480, 50, 50}, {100, 200, 400, 300}, {{380, 280, 20, 20}}},
      {"outside", {0, 0, 50, 50}, {100, 200, 400, 300}, {}},
      {"empty box", {120, 220, 0, 10}, {100, 200, 400, 300}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameDamage d;
    d.setNone();
    addBufferDamage(c.box, c.crop, d);
    EXPECT_FALSE(d.whole);
    ASSERT_EQ(d.rects.size(), c.want.size());
    for (std::size_t i = 0; i < d.rects.size(); ++i) {
      EXPECT_EQ(d.rects[i].x, c.want[i].x);
      EXPECT_EQ(d.rects[i].y, c.want[i].y);
      EXPECT_EQ(d.rects[i].width, c.want[i].width);
      EXPECT_EQ(d.rects[i].height, c.want[i].height);
    }
  }
}

TEST(WlrGeometry, OutputUnderARectangle) {
  const std::vector<MonitorInfo> two = {rect(0, 0, 1280, 720), rect(1280, 0, 1024, 768)};
  const std::vector<MonitorInfo> gap = {rect(0, 0, 1000, 700), rect(1200, 0, 1000, 700)};
  struct Case {
    const char* what;
    const std::vector<MonitorInfo>* outputs;
    MonitorInfo r;
    int want;
  };
  const std::vector<MonitorInfo> none;
  const Case cases[] = {
      {"inside the first", &two, rect(100, 100, 200, 200), 0},
      {"centre on the second", &two, rect(1200, 0, 400, 400), 1},
      {"centre on the seam goes right", &two, rect(1180, 0, 200, 200), 1},
      {"centre below the second's bottom", &two, rect(1300, 700, 100, 100), 1},
      {"centre in a gap: most overlap", &gap, rect(900, 0, 450, 100), 1},
      {"over nothing: the first", &two, rect(5000, 5000, 10, 10), 0},
      {"no outputs", &none, rect(0, 0, 10, 10), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(outputUnder(c.r, *c.outputs), c.want) << c.what;
}

TEST(WlrGeometry, ViewerPositionsOnTheLayout) {
  const std::vector<MonitorInfo> two = {rect(0, 0, 1280, 720), rect(1280, 0, 1024, 768)};
  const std::vector<MonitorInfo> left = {rect(0, 0, 1920, 1080), rect(-1280, 0, 1280, 1024)};
  const DesktopMetrics d2 = layoutMetrics(two);
  const DesktopMetrics dl = layoutMetrics(left);
  EXPECT_EQ(d2.virtualX, 0);
  EXPECT_EQ(d2.virtualWidth, 2304);
  EXPECT_EQ(d2.virtualHeight, 768);
  EXPECT_EQ(d2.screenWidth, 1280);
  EXPECT_EQ(dl.virtualX, -1280);
  EXPECT_EQ(dl.virtualWidth, 3200);
  EXPECT_EQ(dl.virtualHeight, 1080);
  struct Case {
    const char* what;
    float u, v;
    MonitorInfo r;
    const DesktopMetrics* d;
    std::uint32_t x, y, xExtent, yExtent;
  };
  const Case cases[] = {
      {"centre of the first", 0.5f, 0.5f, two[0], &d2, 640, 360, 2304, 768},
      {"corner of the second", 0.f, 0.f, two[1], &d2, 1280, 0, 2304, 768},
      {"u 1 on the first: the next output's first column", 1.f, 1.f, two[0], &d2, 1280, 720, 2304, 768},
      {"u 1 on the last: the layout's last column", 1.f, 1.f, two[1], &d2, 2303, 767, 2304, 768},
      {"clamped below 0 and above 1", -3.f, 7.f, two[1], &d2, 1280, 767, 2304, 768},
      {"monitor left of the origin", 0.f, 0.f, left[1], &dl, 0, 0, 3200, 1080},
      {"primary right of it", 0.5f, 0.5f, left[0], &dl, 2240, 540, 3200, 1080},
      {"custom rectangle", 0.25f, 0.5f, rect(100, 100, 400, 200), &d2, 200, 200, 2304, 768},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LayoutPosition p = layoutPosition(c.u, c.v, c.r, *c.d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.x, c.x);
    EXPECT_EQ(p.y, c.y);
    EXPECT_EQ(p.xExtent, c.xExtent);
    EXPECT_EQ(p.yExtent, c.yExtent);
  }
  EXPECT_FALSE(layoutPosition(0.5f, 0.5f, two[0], DesktopMetrics{}).ok);
  EXPECT_EQ(layoutMetrics({}).virtualWidth, 0);
}

// The keysym a keymap text gives a keycode at level 0 and 1 (0: none).
std::array<xkb_keysym_t, 2> symsOf(const std::string& text, std::uint32_t keycode) {
  xkb_context* ctx = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  xkb_keymap* km = xkb_keymap_new_from_string(ctx, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  std::array<xkb_keysym_t, 2> out{0, 0};
  if (km != nullptr) {
    for (xkb_level_index_t level = 0; level < 2; ++level) {
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(km, keycode, 0, level, &syms) > 0) out[level] = syms[0];
    }
    xkb_keymap_unref(km);
  }
  xkb_context_unref(ctx);
  return out;
}

TEST(WlrKeymap, BindingsOnNamedAndUnnamedKeycodes) {
  Keyboard kb;
  if (!kb.init()) GTEST_SKIP() << "no xkb layout data (xkb-data)";
  const std::string base = kb.keymapText();
  // 97 is named <AB11> with no symbols in evdev/us; 93 has no name at all.
  const std::string text = keymapWithBindings(base, {{97, "AB11", 0x1004e2d}, {93, "", 0x1f600 | 0x1000000}});
  EXPECT_NE(text.find("<V093> = 93;"), std::string::npos);
  EXPECT_EQ(symsOf(text, 97), (std::array<xkb_keysym_t, 2>{0x1004e2d, 0x1004e2d}));
  EXPECT_EQ(symsOf(text, 93), (std::array<xkb_keysym_t, 2>{0x101f600, 0x101f600}));
  EXPECT_EQ(symsOf(text, 38), symsOf(base, 38));  // 'a' untouched
  EXPECT_EQ(keymapWithBindings(base, {}), base);
}

TEST(WlrKeymap, StrokesForLayoutKeysAndSpares) {
  Keyboard kb;
  if (!kb.init()) GTEST_SKIP() << "no xkb layout data (xkb-data)";
  struct Case {
    const char* what;
    std::uint32_t keysym;
    std::uint32_t keycode;  // 0: a spare (any)
    bool shift, changed;
  };
  const Case cases[] = {
      {"a", 'a', 38, false, false},
      {"A needs Shift", 'A', 38, true, false},
      {"Return", 0xff0d, 36, false, false},
      {"digit 1", '1', 10, false, false},
      {"! is Shift+1", '!', 10, true, false},
      {"é: a spare, new keymap", 0xe9, 0, false, true},
      {"é again: same spare, no new keymap", 0xe9, 0, false, false},
      {"中: another spare", 0x1004e2d, 0, false, true},
  };
  std::uint32_t eAcute = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Keyboard::Stroke s = kb.forKeysym(c.keysym, true);
    ASSERT_NE(s.keycode, 0u);
    if (c.keycode != 0) {
      EXPECT_EQ(s.keycode, c.keycode);
    }
    EXPECT_EQ(s.shift, c.shift);
    EXPECT_EQ(s.keymapChanged, c.changed);
    if (c.keycode == 0) {
      EXPECT_EQ(symsOf(kb.keymapText(), s.keycode)[0], c.keysym);
      if (c.keysym == 0xe9) {
        if (eAcute != 0) {
          EXPECT_EQ(s.keycode, eAcute);
        }
        eAcute = s.keycode;
      } else {
        EXPECT_NE(s.keycode, eAcute);
      }
    }
  }
  EXPECT_EQ(kb.forKeysym(0x1004e00, false).keycode, 0u);  // without spares allowed: none
  EXPECT_EQ(kb.forKeysym(0, true).keycode, 0u);
}

TEST(WlrKeymap, SparesAreReusedRoundRobinOnceAllAreTaken) {
  Keyboard kb;
  if (!kb.init()) GTEST_SKIP() << "no xkb layout data (xkb-data)";
  std::vector<std::uint32_t> codes;
  for (std::uint32_t cp = 0x4e00;; ++cp) {
    const Keyboard::Stroke s = kb.forKeysym(0x1000000 | cp, true);
    ASSERT_TRUE(s.keymapChanged);
    if (!codes.empty() && s.keycode == codes.front()) break;  // the first spare again
    codes.push_back(s.keycode);
    ASSERT_LT(codes.size(), 200u);
  }
  EXPECT_GE(codes.size(), 8u);
  // The first character lost its key to the last: asking for it binds anew.
  const std::string text = kb.keymapText();
  EXPECT_NE(symsOf(text, codes.front())[0], 0x1004e00u);
  const Keyboard::Stroke again = kb.forKeysym(0x1004e00, true);
  EXPECT_TRUE(again.keymapChanged);
  EXPECT_EQ(symsOf(kb.keymapText(), again.keycode)[0], 0x1004e00u);
}

TEST(WlrKeymap, ModifiersFollowTheKeys) {
  Keyboard kb;
  if (!kb.init()) GTEST_SKIP() << "no xkb layout data (xkb-data)";
  KeyMods mods;
  const std::uint32_t shift = kb.shiftKeycode();
  const std::uint32_t control = kb.forKeysym(0xffe3, false).keycode;
  ASSERT_NE(shift, 0u);
  ASSERT_NE(control, 0u);
  EXPECT_TRUE(kb.noteKey(shift, true, mods));
  EXPECT_EQ(mods.depressed, 1u);  // Shift is the first modifier
  EXPECT_FALSE(kb.noteKey(38, true, mods));  // a letter changes nothing
  EXPECT_FALSE(kb.noteKey(38, false, mods));
  EXPECT_TRUE(kb.noteKey(control, true, mods));
  EXPECT_EQ(mods.depressed, 1u | 4u);
  EXPECT_TRUE(kb.noteKey(shift, false, mods));
  EXPECT_TRUE(kb.noteKey(control, false, mods));
  EXPECT_EQ(mods, KeyMods{});
}

}  // namespace
}  // namespace vl::wlr
