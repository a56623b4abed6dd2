// Portable UTF-8 <-> UTF-16 conversion with the Windows code-page rules:
// every invalid or truncated sequence and every lone surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace vl::detail {

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

}  // namespace vl::detail
