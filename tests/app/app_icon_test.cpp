#include <gtest/gtest.h>

#include "app/app_icon.h"

namespace vl {
namespace {

TEST(AppIcon, SizesOutsideTheRangeGiveNothing) {
  for (const int size : {0, -1, kAppIconMaxSize + 1}) EXPECT_TRUE(appIconRgba(size).empty()) << size;
}

// Every size the window and the icon resource use, the extremes too: the
// buffer fits, the rounded corners are clear, the edge midpoints and the
// centre are opaque, the "V" is mirror-symmetric and both colours show.
TEST(AppIcon, EverySizeIsARoundedSymmetricIcon) {
  for (const int size : {1, 16, 24, 32, 48, kAppIconMaxSize}) {
    const std::vector<std::uint8_t> p = appIconRgba(size);
    ASSERT_EQ(p.size(), static_cast<std::size_t>(size) * size * 4) << size;
    const auto at = [&](int x, int y, int c) { return p[(static_cast<std::size_t>(y) * size + x) * 4 + c]; };
    if (size < 16) continue;
    for (const auto& [x, y] : {std::pair{0, 0}, {size - 1, 0}, {0, size - 1}, {size - 1, size - 1}})
      EXPECT_EQ(at(x, y, 3), 0) << size << " corner " << x << "," << y;
    for (const auto& [x, y] : {std::pair{size / 2, 0}, {0, size / 2}, {size / 2, size / 2}})
      EXPECT_EQ(at(x, y, 3), 255) << size << " at " << x << "," << y;
    bool accent = false, background = false;
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x) {
        for (int c = 0; c < 4; ++c) ASSERT_EQ(at(x, y, c), at(size - 1 - x, y, c)) << size << " " << x << "," << y;
        accent |= at(x, y, 0) == 0x3D && at(x, y, 1) == 0xBD && at(x, y, 2) == 0xF5 && at(x, y, 3) == 255;
        background |= at(x, y, 0) == 0x12 && at(x, y, 1) == 0x16 && at(x, y, 2) == 0x1C && at(x, y, 3) == 255;
      }
    EXPECT_TRUE(accent && background) << size;
  }
}

}  // namespace
}  // namespace vl
