// A frame whose change touched a few rows need not be encoded whole: every
// JPEG here restarts its entropy coding at each row of MCUs (a restart
// marker per row, so each row's bytes stand alone), and re-encoding only
// the touched rows as a strip of the same width, quality and sampling gives
// exactly those rows' bytes of a whole encode. Splicing them in place of the
// old rows (the restart markers renumbered) gives the bytes a whole encode
// of the new picture would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl {

// Where each MCU row's entropy-coded bytes lie in a JPEG file.
struct JpegRowLayout {
  std::size_t scanStart = 0;           // first byte after the scan header
  std::vector<std::size_t> rowStart;   // per MCU row: first byte
  std::vector<std::size_t> rowEnd;     // per MCU row: the restart marker or EOI after it
  int rows() const { return static_cast<int>(rowStart.size()); }
};

// false unless the file is one scan with a restart marker after every row
// but the last (numbered 0…7 in turn) and ends with EOI.
bool findJpegRows(const std::vector<std::uint8_t>& jpeg, JpegRowLayout& layout);

// `strip` is the encode of rows [firstRow, firstRow + its rows) of the
// picture `base` encodes. Writes base with those rows replaced into `out`;
// false when the layouts do not fit together.
bool spliceJpegRows(const std::vector<std::uint8_t>& base, const JpegRowLayout& baseRows,
                    const std::vector<std::uint8_t>& strip, const JpegRowLayout& stripRows, int firstRow,
                    std::vector<std::uint8_t>& out);

}  // namespace vl
