// The GNOME back end's pure parts: stream buffers into RGBA (layouts,
// strides, crops, short buffers), which buffers are cursor-only, cursor
// bitmaps, mutter's monitor description, and where a viewer's point lands in
// stream coordinates.
#include <gtest/gtest.h>

#include <spa/param/video/raw.h>

#include <array>
#include <vector>

#include "echo/gnome_frames_linux.h"

namespace vl::gnome {
namespace {

// A 3 × 2 picture whose pixel (x, y) has R = 10x + y, G = 100 + 10x + y,
// B = 200 + 10x + y, in the given layout, rows `stride` bytes apart (the
// padding filled with 0xEE).
std::vector<std::uint8_t> picture(PixelLayout layout, std::size_t stride) {
  // Room for both rows whatever the stride; cut to two strides at the end.
  std::vector<std::uint8_t> data(stride * 2 + 12, 0xEE);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const std::uint8_t r = static_cast<std::uint8_t>(10 * x + y), g = static_cast<std::uint8_t>(100 + r),
                         b = static_cast<std::uint8_t>(200 + r), a = 7;
      std::uint8_t* p = data.data() + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
      switch (layout) {
        case PixelLayout::Bgrx: case PixelLayout::Bgra: p[0] = b; p[1] = g; p[2] = r; p[3] = a; break;
        case PixelLayout::Rgbx: case PixelLayout::Rgba: p[0] = r; p[1] = g; p[2] = b; p[3] = a; break;
        case PixelLayout::Xrgb: case PixelLayout::Argb: p[0] = a; p[1] = r; p[2] = g; p[3] = b; break;
        case PixelLayout::Xbgr: case PixelLayout::Abgr: p[0] = a; p[1] = b; p[2] = g; p[3] = r; break;
        default: break;
      }
    }
  }
  data.resize(stride * 2);
  return data;
}

TEST(GnomeFrames, SpaFormatsMapToTheirByteOrder) {
  const std::pair<std::uint32_t, PixelLayout> cases[] = {
      {SPA_VIDEO_FORMAT_BGRx, PixelLayout::Bgrx}, {SPA_VIDEO_FORMAT_BGRA, PixelLayout::Bgra},
      {SPA_VIDEO_FORMAT_RGBx, PixelLayout::Rgbx}, {SPA_VIDEO_FORMAT_RGBA, PixelLayout::Rgba},
      {SPA_VIDEO_FORMAT_xRGB, PixelLayout::Xrgb}, {SPA_VIDEO_FORMAT_ARGB, PixelLayout::Argb},
      {SPA_VIDEO_FORMAT_xBGR, PixelLayout::Xbgr}, {SPA_VIDEO_FORMAT_ABGR, PixelLayout::Abgr},
      {SPA_VIDEO_FORMAT_NV12, PixelLayout::Unknown}, {SPA_VIDEO_FORMAT_RGB, PixelLayout::Unknown},
  };
  for (const auto& [format, layout] : cases) EXPECT_EQ(layoutForSpaFormat(format), layout) << format;
}

struct ConvertCase {
  const char* name;
  PixelLayout layout;
  std::size_t stride;
  PixelRect crop;
  std::size_t sizeCut;  // bytes taken off the buffer's end
  bool ok;
};

TEST(GnomeFrames, StreamBuffersBecomeOpaqueRgbaOfTheCrop) {
  const ConvertCase cases[] = {
      {"bgrx whole, tight", PixelLayout::Bgrx, 12, {0, 0, 3, 2}, 0, true},
      {"bgra padded rows", PixelLayout::Bgra, 20, {0, 0, 3, 2}, 0, true},
      {"rgbx crop", PixelLayout::Rgbx, 16, {1, 1, 2, 1}, 0, true},
      {"xrgb crop column", PixelLayout::Xrgb, 12, {2, 0, 1, 2}, 0, true},
      {"abgr padded", PixelLayout::Abgr, 16, {0, 0, 3, 2}, 0, true},
      {"rgba last row without its padding", PixelLayout::Rgba, 20, {0, 0, 3, 2}, 8, true},
      {"one byte short", PixelLayout::Bgrx, 12, {0, 0, 3, 2}, 1, false},
      {"unknown layout", PixelLayout::Unknown, 12, {0, 0, 3, 2}, 0, false},
      {"crop past the right edge", PixelLayout::Bgrx, 12, {1, 0, 3, 2}, 0, false},
      {"empty crop", PixelLayout::Bgrx, 12, {0, 0, 0, 2}, 0, false},
      {"negative crop", PixelLayout::Bgrx, 12, {-1, 0, 2, 2}, 0, false},
      {"stride below the row", PixelLayout::Bgrx, 8, {0, 0, 3, 2}, 0, false},
  };
  for (const ConvertCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> data = picture(c.layout, c.stride);
    PixelFrame out;
    out.setSize(9, 9);
    const bool ok = convertStreamPixels(data.data(), data.size() - c.sizeCut, c.stride, 3, 2, c.layout, c.crop, out);
    ASSERT_EQ(ok, c.ok);
    if (!ok) continue;
    ASSERT_EQ(out.width, c.crop.width);
    ASSERT_EQ(out.height, c.crop.height);
    for (int y = 0; y < c.crop.height; ++y) {
      for (int x = 0; x < c.crop.width; ++x) {
        const std::uint8_t r = static_cast<std::uint8_t>(10 * (x + c.crop.x) + y + c.crop.y);
        const std::uint8_t* p = out.pixels.data() + (static_cast<std::size_t>(y) * out.width + x) * 4;
        EXPECT_EQ(p[0], r) << x << "," << y;
        EXPECT_EQ(p[1], 100 + r);
        EXPECT_EQ(p[2], 200 + r);
        EXPECT_EQ(p[3], 255);
      }
    }
  }
}

TEST(GnomeFrames, CorruptedOrEmptyBuffersWithCursorMetadataAreCursorOnly) {
  struct Case {
    std::uint32_t flags, size;
    bool cursor;
    BufferKind kind;
  };
  const Case cases[] = {
      {0, 3686400, false, BufferKind::Picture},
      {0, 3686400, true, BufferKind::Picture},  // a picture with the pointer moved too
      {1, 0, true, BufferKind::CursorOnly},     // mutter's cursor-only buffer
      {1, 3686400, true, BufferKind::CursorOnly},
      {0, 0, true, BufferKind::CursorOnly},
      {1, 0, false, BufferKind::Empty},
      {0, 0, false, BufferKind::Empty},
      {2, 64, false, BufferKind::Picture},  // other flags do not matter
  };
  for (const Case& c : cases)
    EXPECT_EQ(classifyBuffer(c.flags, c.size, c.cursor), c.kind) << c.flags << " " << c.size << " " << c.cursor;
}

TEST(GnomeFrames, CursorBitmapsKeepTheirAlpha) {
  // 2 × 1, stride 12: half-covered premultiplied grey, then opaque green.
  struct Case {
    PixelLayout layout;
    std::array<std::uint8_t, 8> bytes;
    std::size_t size;
    bool ok;
    std::array<std::uint8_t, 8> rgba;
  };
  const Case cases[] = {
      {PixelLayout::Rgba, {60, 60, 60, 128, 0, 255, 0, 255}, 12, true, {60, 60, 60, 128, 0, 255, 0, 255}},
      {PixelLayout::Bgra, {60, 60, 60, 128, 0, 255, 0, 255}, 12, true, {60, 60, 60, 128, 0, 255, 0, 255}},
      {PixelLayout::Argb, {128, 60, 60, 60, 255, 0, 255, 0}, 12, true, {60, 60, 60, 128, 0, 255, 0, 255}},
      {PixelLayout::Bgrx, {1, 2, 3, 0, 4, 5, 6, 0}, 12, true, {3, 2, 1, 255, 6, 5, 4, 255}},
      {PixelLayout::Rgba, {}, 7, false, {}},
      {PixelLayout::Unknown, {}, 12, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> data(12, 0xEE);
    std::copy(c.bytes.begin(), c.bytes.end(), data.begin());
    CursorImage image;
    ASSERT_EQ(convertCursorBitmap(data.data(), c.size, 12, 2, 1, c.layout, image), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.height, 1);
    EXPECT_EQ(image.pixels, std::vector<std::uint8_t>(c.rgba.begin(), c.rgba.end()));
  }
}

// A GetCurrentState reply as mutter writes it, with the logical monitors and
// the layout mode given.
GVariant* displayState(const char* logical, unsigned layoutMode) {
  const std::string text = std::string("(uint32 7, [") +
                           "(('DP-1', 'V', 'P', 'S1'), [('1920x1080@60', 1920, 1080, 60.0, 1.0, [1.0, 2.0], "
                           "{'is-current': <true>}), ('1280x720@60', 1280, 720, 60.0, 1.0, [1.0], @a{sv} {})], @a{sv} {}), "
                           "(('HDMI-1', 'V', 'P', 'S2'), [('1280x1024@60', 1280, 1024, 60.0, 1.0, [1.0], "
                           "{'is-current': <true>})], @a{sv} {}), "
                           "(('DP-2', 'V', 'P', 'S3'), [('800x600@60', 800, 600, 60.0, 1.0, [1.0], "
                           "{'is-current': <false>})], @a{sv} {})], [" +
                           logical + "], {'layout-mode': <uint32 " + std::to_string(layoutMode) + ">})";
  GError* error = nullptr;
  GVariant* v = g_variant_parse(
      G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"), text.c_str(), nullptr, nullptr,
      &error);
  EXPECT_EQ(error, nullptr) << (error ? error->message : "");
  if (error) g_error_free(error);
  return v;
}

struct Expected {
  const char* connector;
  std::int32_t x, y, w, h;
  bool primary;
};

TEST(GnomeFrames, MonitorsFromDisplayState) {
  struct Case {
    const char* name;
    const char* logical;
    unsigned layoutMode;
    std::vector<Expected> monitors;
  };
  const char* twoSideBySide =
      "(1920, 0, 1.0, uint32 0, false, [('HDMI-1', 'V', 'P', 'S2')], @a{sv} {}), "
      "(0, 0, 1.0, 0, true, [('DP-1', 'V', 'P', 'S1')], {})";
  const Case cases[] = {
      {"physical layout, primary first", twoSideBySide, 2,
       {{"DP-1", 0, 0, 1920, 1080, true}, {"HDMI-1", 1920, 0, 1280, 1024, false}}},
      {"turned 90 degrees", "(0, 0, 1.0, uint32 1, true, [('HDMI-1', 'V', 'P', 'S2')], @a{sv} {})", 2,
       {{"HDMI-1", 0, 0, 1024, 1280, true}}},
      {"flipped and turned 270", "(0, 0, 1.0, uint32 7, true, [('DP-1', 'V', 'P', 'S1')], @a{sv} {})", 2,
       {{"DP-1", 0, 0, 1080, 1920, true}}},
      {"logical layout divides by the scale", "(0, 0, 2.0, uint32 0, true, [('DP-1', 'V', 'P', 'S1')], @a{sv} {})", 1,
       {{"DP-1", 0, 0, 960, 540, true}}},
      {"physical layout ignores the scale", "(0, 0, 2.0, uint32 0, true, [('DP-1', 'V', 'P', 'S1')], @a{sv} {})", 2,
       {{"DP-1", 0, 0, 1920, 1080, true}}},
      {"no current mode: left out", "(0, 0, 1.0, uint32 0, true, [('DP-2', 'V', 'P', 'S3')], @a{sv} {})", 2, {}},
      {"unknown connector: left out", "(0, 0, 1.0, uint32 0, true, [('VGA-9', 'V', 'P', 'S')], @a{sv} {})", 2, {}},
      {"mirrored: the first connector names it",
       "(0, -10, 1.0, uint32 0, true, [('HDMI-1', 'V', 'P', 'S2'), ('DP-1', 'V', 'P', 'S1')], @a{sv} {})", 2,
       {{"HDMI-1", 0, -10, 1280, 1024, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GVariant* state = displayState(c.logical, c.layoutMode);
    ASSERT_NE(state, nullptr);
    std::vector<GnomeMonitor> out;
    EXPECT_TRUE(parseDisplayState(state, out));
    g_variant_unref(state);
    ASSERT_EQ(out.size(), c.monitors.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      const Expected& e = c.monitors[i];
      EXPECT_EQ(out[i].connector, e.connector);
      EXPECT_EQ(out[i].info.name, e.connector);
      EXPECT_EQ(out[i].info.x, e.x);
      EXPECT_EQ(out[i].info.y, e.y);
      EXPECT_EQ(out[i].info.width, e.w);
      EXPECT_EQ(out[i].info.height, e.h);
      EXPECT_EQ(out[i].info.primary, e.primary);
    }
  }
  // Another type (an older reply, a wrong call) is refused.
  GVariant* other = g_variant_ref_sink(g_variant_new("(u)", 7u));
  std::vector<GnomeMonitor> out(1);
  EXPECT_FALSE(parseDisplayState(other, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(parseDisplayState(nullptr, out));
  g_variant_unref(other);
}

GnomeMonitor monitor(const char* connector, std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h,
                     bool primary) {
  GnomeMonitor m;
  m.connector = connector;
  m.info = MonitorInfo{x, y, w, h, primary, connector};
  return m;
}

TEST(GnomeFrames, ViewerPointsBecomeStreamCoordinates) {
  // 1280 × 720 at (0, 0), 1024 × 768 to its right, mutter's test layout.
  const std::vector<GnomeMonitor> monitors = {monitor("Meta-0", 0, 0, 1280, 720, true),
                                              monitor("Meta-1", 1280, 0, 1024, 768, false)};
  const MonitorInfo first = monitors[0].info, second = monitors[1].info;
  const MonitorInfo custom{1200, 100, 200, 100, false, "custom"};  // straddles both
  struct Case {
    const char* name;
    float u, v;
    MonitorInfo rect;
    int index;
    double x, y;
  };
  const Case cases[] = {
      {"centre of the first", 0.5f, 0.5f, first, 0, 640, 360},
      {"centre of the second", 0.5f, 0.5f, second, 1, 512, 384},
      {"top left of the second", 0, 0, second, 1, 0, 0},
      {"u = v = 1 stays on the last pixel", 1, 1, second, 1, 1023, 767},
      {"clamped below 0", -3, -1, second, 1, 0, 0},
      {"clamped above 1", 7, 2, first, 0, 1279, 719},
      {"custom rectangle, left part", 0.25f, 0.5f, custom, 0, 1250, 150},
      {"custom rectangle, right part", 0.75f, 0.5f, custom, 1, 70, 150},
      {"below the first monitor: the nearest", 0.5f, 1, MonitorInfo{0, 700, 100, 100, false, ""}, 0, 50, 719},
      {"under the second's bottom edge", 0.5f, 0.5f, MonitorInfo{1300, 740, 10, 10, false, ""}, 1, 25, 745},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const StreamPoint p = streamPointFor(c.u, c.v, c.rect, monitors);
    EXPECT_EQ(p.index, c.index);
    EXPECT_DOUBLE_EQ(p.x, c.x);
    EXPECT_DOUBLE_EQ(p.y, c.y);
  }
  EXPECT_EQ(streamPointFor(0.5f, 0.5f, first, {}).index, -1);
}

TEST(GnomeFrames, CaptureRectanglesTakeTheMonitorUnderTheirCentre) {
  const std::vector<GnomeMonitor> monitors = {monitor("Meta-1", 1280, 0, 1024, 768, false),
                                              monitor("Meta-0", 0, 0, 1280, 720, true)};
  struct Case {
    MonitorInfo rect;
    int index;
  };
  const Case cases[] = {
      {{0, 0, 1280, 720, false, ""}, 1},
      {{1200, 0, 200, 100, false, ""}, 0},  // centre at x 1300
      {{1100, 0, 200, 100, false, ""}, 1},  // centre at x 1200
      {{0, 730, 100, 30, false, ""}, 1},    // below the first, nearest to it
      {{5000, 5000, 16, 16, false, ""}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(monitorUnder(c.rect, monitors), c.index) << c.rect.x << "," << c.rect.y;
  EXPECT_EQ(monitorUnder(MonitorInfo{0, 0, 10, 10, false, ""}, {}), -1);

  const DesktopMetrics d = metricsFor({monitor("A", 0, 0, 1280, 720, true), monitor("B", -1024, 100, 1024, 768, false)});
  EXPECT_EQ(d.virtualX, -1024);
  EXPECT_EQ(d.virtualY, 0);
  EXPECT_EQ(d.virtualWidth, 2304);
  EXPECT_EQ(d.virtualHeight, 868);
  EXPECT_EQ(d.screenWidth, 1280);
  EXPECT_EQ(d.screenHeight, 720);
  EXPECT_EQ(metricsFor({}).virtualWidth, 0);
}

}  // namespace
}  // namespace vl::gnome
