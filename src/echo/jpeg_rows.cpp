#include "echo/jpeg_rows.h"

namespace vl {

namespace {

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kSos = 0xDA;
constexpr std::uint8_t kEoi = 0xD9;
constexpr std::uint8_t kRst0 = 0xD0;

}  // namespace

bool findJpegRows(const std::vector<std::uint8_t>& jpeg, JpegRowLayout& layout) {
  layout.rowStart.clear();
  layout.rowEnd.clear();
  const std::size_t size = jpeg.size();
  if (size < 4 || jpeg[0] != kMarker || jpeg[1] != 0xD8) return false;
  // Header segments up to the scan.
  std::size_t pos = 2;
  for (;;) {
    if (pos + 4 > size || jpeg[pos] != kMarker) return false;
    const std::uint8_t marker = jpeg[pos + 1];
    const std::size_t length = (static_cast<std::size_t>(jpeg[pos + 2]) << 8) | jpeg[pos + 3];
    if (length < 2) return false;
    pos += 2 + length;
    if (marker == kSos) break;
  }
  layout.scanStart = pos;
  layout.rowStart.push_back(pos);
  while (pos + 1 < size) {
    if (jpeg[pos] != kMarker) {
      ++pos;
      continue;
    }
    const std::uint8_t next = jpeg[pos + 1];
    if (next == 0x00) {  // a stuffed data byte
      pos += 2;
    } else if (next >= kRst0 && next <= kRst0 + 7) {
      if (next != kRst0 + ((layout.rowStart.size() - 1) & 7)) return false;
      layout.rowEnd.push_back(pos);
      pos += 2;
      layout.rowStart.push_back(pos);
    } else if (next == kEoi) {
      layout.rowEnd.push_back(pos);
      return pos + 2 == size;
    } else if (next == kMarker) {  // fill byte
      ++pos;
    } else {
      return false;  // a second scan or another marker: not this layout
    }
  }
  return false;
}

bool spliceJpegRows(const std::vector<std::uint8_t>& base, const JpegRowLayout& baseRows,
                    const std::vector<std::uint8_t>& strip, const JpegRowLayout& stripRows, int firstRow,
                    std::vector<std::uint8_t>& out) {
  const int total = baseRows.rows();
  const int count = stripRows.rows();
  if (firstRow < 0 || count < 1 || firstRow + count > total) return false;
  const auto from = [](const std::vector<std::uint8_t>& v, std::size_t begin, std::size_t end,
                       std::vector<std::uint8_t>& to) { to.insert(to.end(), v.begin() + static_cast<std::ptrdiff_t>(begin), v.begin() + static_cast<std::ptrdiff_t>(end)); };
  out.clear();
  from(base, 0, baseRows.rowStart[static_cast<std::size_t>(firstRow)], out);
  for (int j = 0; j < count; ++j) {
    const auto k = static_cast<std::size_t>(j);
    from(strip, stripRows.rowStart[k], stripRows.rowEnd[k], out);
    const int row = firstRow + j;
    if (row + 1 < total) {
      out.push_back(kMarker);
      out.push_back(static_cast<std::uint8_t>(kRst0 + (row & 7)));
    }
  }
  const int after = firstRow + count;
  if (after < total) {
    from(base, baseRows.rowStart[static_cast<std::size_t>(after)], base.size(), out);
  } else {
    out.push_back(kMarker);
    out.push_back(kEoi);
  }
  return true;
}

}  // namespace vl
