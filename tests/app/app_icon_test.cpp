#include <gtest/gtest.h>

#include "app/app_icon.h"

namespace vl {
namespace {

// Sizes outside the range give nothing; every other size fills its buffer
// with a rounded square: clear corners, an opaque centre and edge midpoint.
TEST(AppIcon, SizesAndShape) {
  for (const int size : {0, -1, kAppIconMaxSize + 1}) EXPECT_TRUE(appIconRgba(size).empty()) << size;
  for (const int size : {1, 16, 24, 32, 48, kAppIconMaxSize}) {
    const std::vector<std::uint8_t> p = appIconRgba(size);
    ASSERT_EQ(p.size(), static_cast<std::size_t>(size) * size * 4) << size;
    const auto alpha = [&](int x, int y) { return p[(static_cast<std::size_t>(y) * size + x) * 4 + 3]; };
    if (size < 16) continue;
    EXPECT_EQ(alpha(0, 0) + alpha(size - 1, 0) + alpha(0, size - 1) + alpha(size - 1, size - 1), 0) << size;
    EXPECT_EQ(alpha(size / 2, size / 2), 255) << size;
    EXPECT_EQ(alpha(size / 2, 0), 255) << size;
  }
}

}  // namespace
}  // namespace vl
