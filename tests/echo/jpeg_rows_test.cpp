// Re-encoding only the changed rows of MCUs and splicing them into the last
// frame gives, byte for byte, the whole encode of the new picture.
#include <gtest/gtest.h>

#include <vector>

#include "echo/jpeg.h"
#include "echo/jpeg_rows.h"
#include "pipeline_test_images.h"

namespace vl {
namespace {

void paintRows(PixelFrame& frame, int y0, int y1, std::uint8_t value) {
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < frame.width; x += 3) frame.pixels[(static_cast<std::size_t>(y) * frame.width + x) * 4] = value;
}

TEST(JpegRows, SplicedRowsGiveTheWholeEncodeOfTheNewPicture) {
  if (std::string(jpegEncoderName()) != "turbo") GTEST_SKIP() << "only the TurboJPEG encoder restarts at each row";
  struct Case {
    const char* name;
    int width, height, quality;
    int changeTop, changeBottom;  // rows painted in the new picture
  };
  const Case cases[] = {
      {"middle rows, 4:2:0", 320, 180, 62, 40, 50},
      {"first row", 320, 180, 62, 0, 3},
      {"last, partial row", 320, 180, 62, 175, 180},
      {"one pixel row on a row boundary", 320, 180, 62, 16, 17},
      {"odd width, 4:4:4 rows of 8", 301, 99, 95, 30, 41},
      {"more than eight rows (markers wrap)", 160, 400, 62, 150, 290},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PixelFrame before = test::desktopFrame(c.width, c.height);
    PixelFrame after = before;
    paintRows(after, c.changeTop, c.changeBottom, 0x5A);
    std::vector<std::uint8_t> base, whole, strip, spliced;
    ASSERT_TRUE(encodeJpeg(before, c.quality, base));
    ASSERT_TRUE(encodeJpeg(after, c.quality, whole));
    JpegRowLayout baseRows, stripRows;
    ASSERT_TRUE(findJpegRows(base, baseRows));
    const int rowHeight = jpegRowHeight(c.quality);
    EXPECT_EQ(baseRows.rows(), (c.height + rowHeight - 1) / rowHeight);
    const int first = c.changeTop / rowHeight;
    const int y = first * rowHeight;
    const int height = std::min(c.height, (c.changeBottom + rowHeight - 1) / rowHeight * rowHeight) - y;
    ASSERT_TRUE(encodeJpegRows(after, y, height, c.quality, strip));
    ASSERT_TRUE(findJpegRows(strip, stripRows));
    ASSERT_TRUE(spliceJpegRows(base, baseRows, strip, stripRows, first, spliced));
    EXPECT_TRUE(spliced == whole);
  }
}

TEST(JpegRows, LayoutsThatCannotBeSplicedAreRefused) {
  if (std::string(jpegEncoderName()) != "turbo") GTEST_SKIP() << "only the TurboJPEG encoder restarts at each row";
  std::vector<std::uint8_t> good;
  ASSERT_TRUE(encodeJpeg(test::desktopFrame(64, 64), 62, good));
  JpegRowLayout rows;
  ASSERT_TRUE(findJpegRows(good, rows));
  ASSERT_EQ(rows.rows(), 4);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<std::uint8_t> truncated(good.begin(), good.end() - 1);
  std::vector<std::uint8_t> misnumbered = good;
  misnumbered[rows.rowEnd[1] + 1] = 0xD5;  // RST1 becomes RST5
  std::vector<std::uint8_t> trailing = good;
  trailing.push_back(0);
  const Case cases[] = {
      {"empty", {}},
      {"not a JPEG", {1, 2, 3, 4, 5, 6}},
      {"cut before EOI", truncated},
      {"restart markers out of order", misnumbered},
      {"bytes after EOI", trailing},
  };
  for (const Case& c : cases) EXPECT_FALSE(findJpegRows(c.bytes, rows)) << c.name;

  // A strip that does not fit inside the frame.
  JpegRowLayout base;
  ASSERT_TRUE(findJpegRows(good, base));
  std::vector<std::uint8_t> out;
  EXPECT_FALSE(spliceJpegRows(good, base, good, base, 1, out));
  EXPECT_FALSE(spliceJpegRows(good, base, good, base, -1, out));
  EXPECT_TRUE(spliceJpegRows(good, base, good, base, 0, out));
  EXPECT_TRUE(out == good);
}

}  // namespace
}  // namespace vl
