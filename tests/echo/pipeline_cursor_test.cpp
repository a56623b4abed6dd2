// The pointer composited into a frame: at its hotspot, blended over the
// picture, clipped at every edge.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "echo/cursor.h"

namespace vl {
namespace {

struct ChangedPixel {
  int x, y;
  std::array<std::uint8_t, 3> rgb;
};

struct CursorCase {
  int x, y;  // where the hotspot goes
  std::vector<ChangedPixel> changed;
};

TEST(CursorComposite, DrawnAtTheHotspotBlendedAndClipped) {
  // 2 × 2, hotspot at its lower right pixel: opaque red, white at half
  // coverage (premultiplied), transparent, opaque blue.
  CursorImage cursor;
  cursor.width = 2;
  cursor.height = 2;
  cursor.hotX = 1;
  cursor.hotY = 1;
  cursor.pixels = {255, 0, 0, 255, 128, 128, 128, 128, 0, 0, 0, 0, 0, 0, 255, 255};
  const std::array<std::uint8_t, 3> red{255, 0, 0}, blue{0, 0, 255}, halfWhite{178, 178, 178};  // 128 + 100 * 127 / 255
  const CursorCase cases[] = {
      {1, 1, {{0, 0, red}, {1, 0, halfWhite}, {1, 1, blue}}},
      {0, 0, {{0, 0, blue}}},        // cut at the left and top
      {4, 3, {{3, 2, red}}},         // cut at the right and bottom
      {2, 0, {{2, 0, blue}}},        // top row outside, transparent pixel over (1, 0)
      {-5, 1, {}},                   // wholly outside
      {100000, -100000, {}},
  };
  for (const CursorCase& c : cases) {
    PixelFrame frame;
    frame.setSize(4, 3);
    for (std::size_t i = 0; i < frame.pixels.size(); ++i) frame.pixels[i] = (i % 4 == 3) ? 255 : 100;
    compositeCursor(frame, cursor, c.x, c.y);
    for (int y = 0; y < frame.height; ++y)
      for (int x = 0; x < frame.width; ++x) {
        std::array<std::uint8_t, 3> want{100, 100, 100};
        for (const ChangedPixel& p : c.changed)
          if (p.x == x && p.y == y) want = p.rgb;
        const std::uint8_t* got = &frame.pixels[(static_cast<std::size_t>(y) * 4 + x) * 4];
        EXPECT_EQ((std::array<std::uint8_t, 3>{got[0], got[1], got[2]}), want)
            << "hotspot at " << c.x << "," << c.y << ", pixel " << x << "," << y;
        EXPECT_EQ(got[3], 255);
      }
  }

  // A short image or frame is left alone rather than read past its end.
  PixelFrame frame;
  frame.setSize(4, 3);
  cursor.pixels.resize(8);
  compositeCursor(frame, cursor, 1, 1);
  EXPECT_EQ(frame.pixels, std::vector<std::uint8_t>(48, 0));
}

}  // namespace
}  // namespace vl
