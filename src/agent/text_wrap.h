// Where a line of the panel's log breaks to fit its column. Latin words stay
// whole where they can; Chinese, Japanese and Korean text breaks between any
// two characters, except before closing and after opening punctuation; a
// word wider than the column is cut where it reaches the edge.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace vl {

// One wrapped line: bytes [begin, end) of the text, blanks at the break
// left out.
struct WrappedLine {
  std::size_t begin;
  std::size_t end;
};

// The width of one character (code point) as drawn.
using CharAdvance = std::function<float(unsigned)>;

// Splits `text` into lines no wider than `width` (a line always takes at
// least one character, so a column narrower than one never loops); "\n"
// ends a line. `out` is cleared first and reused, so the caller keeps its
// storage from frame to frame.
void wrapText(std::string_view text, float width, const CharAdvance& advance, std::vector<WrappedLine>& out);

}  // namespace vl
