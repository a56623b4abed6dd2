#include "agent/text_wrap.h"

#include <cstdint>

namespace vl {
namespace {

// One code point at `i` (its length in bytes through `length`); a broken
// sequence counts as one byte, so every byte is consumed once.
unsigned decodeAt(std::string_view text, std::size_t i, std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > text.size()) {
    length = 1;
    return 0xFFFD;
  }
  unsigned c = n == 1 ? b0 : n == 2 ? (b0 & 0x1Fu) : n == 3 ? (b0 & 0x0Fu) : (b0 & 0x07u);
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      length = 1;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3Fu);
  }
  length = n;
  return c;
}

bool isBlank(unsigned c) { return c == ' ' || c == '\t' || c == 0x3000; }

// Scripts written without spaces between words (and Hangul, which may
// break between syllables): a line may end after any of their characters.
bool breaksAnywhere(unsigned c) {
  return (c >= 0x1100 && c <= 0x11FF) || (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xA960 && c <= 0xA97F) ||
         (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
         (c >= 0xFF00 && c <= 0xFFEF) || c >= 0x20000;
}

// Closing punctuation and the like: never the first character of a line.
bool noLineStart(unsigned c) {
  switch (c) {
    case ',': case '.': case ';': case ':': case '!': case '?': case ')': case ']': case '}': case '%':
    case 0x2026: case 0x3001: case 0x3002: case 0x3009: case 0x300B: case 0x300D: case 0x300F: case 0x3011:
    case 0x3015: case 0x3017: case 0x30FC: case 0xFF01: case 0xFF09: case 0xFF0C: case 0xFF0E: case 0xFF1A:
    case 0xFF1B: case 0xFF1F: case 0xFF3D: case 0xFF5D:
      return true;
    default:
      return false;
  }
}

// Opening punctuation: never the last character of a line.
bool noLineEnd(unsigned c) {
  switch (c) {
    case '(': case '[': case '{': case 0x3008: case 0x300A: case 0x300C: case 0x300E: case 0x3010: case 0x3014:
    case 0x3016: case 0xFF08: case 0xFF3B: case 0xFF5B:
      return true;
    default:
      return false;
  }
}

bool mayBreakBetween(unsigned before, unsigned after) {
  if (isBlank(before)) return true;
  if (noLineStart(after) || noLineEnd(before)) return false;
  return breaksAnywhere(before) || breaksAnywhere(after);
}

}  // namespace

void wrapText(std::string_view text, float width, const CharAdvance& advance, std::vector<WrappedLine>& out) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  out.clear();
  std::size_t lineStart = 0;
  std::size_t contentEnd = 0;  // after the line's last non-blank character
  float lineWidth = 0.0f;
  bool lineHasText = false;
  std::size_t breakAt = kNone;  // the latest place this line may break
  std::size_t breakEnd = 0;     // the line's end when it breaks there
  float widthAtBreak = 0.0f;
  unsigned previous = 0;

  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    const unsigned c = decodeAt(text, i, length);
    if (c == '\n') {
      out.push_back({lineStart, lineHasText ? contentEnd : lineStart});
      lineStart = contentEnd = i + 1;
      lineWidth = 0.0f;
      lineHasText = false;
      breakAt = kNone;
      previous = 0;
      i += 1;
      continue;
    }
    const bool blank = isBlank(c);
    if (lineHasText && !blank && mayBreakBetween(previous, c)) {
      breakAt = i;
      breakEnd = contentEnd;
      widthAtBreak = lineWidth;
    }
    const float w = advance(c);
    // Blanks may hang past the edge: they are dropped at the break.
    while (lineHasText && !blank && lineWidth + w > width) {
      if (breakAt != kNone && breakAt > lineStart && breakEnd > lineStart) {
        out.push_back({lineStart, breakEnd});
        lineStart = breakAt;
        lineWidth -= widthAtBreak;
        lineHasText = breakAt < i;
        breakAt = kNone;
      } else {  // no place to break: cut the word at the edge
        out.push_back({lineStart, i});
        lineStart = i;
        lineWidth = 0.0f;
        lineHasText = false;
        breakAt = kNone;
      }
    }
    lineWidth += w;
    lineHasText = true;
    if (!blank) contentEnd = i + length;
    previous = c;
    i += length;
  }
  out.push_back({lineStart, contentEnd > lineStart ? contentEnd : lineStart});
}

}  // namespace vl
