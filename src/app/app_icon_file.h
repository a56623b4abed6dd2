// The application icon as a Windows .ico file (the icon resource 101 is this
// file, made by tools/make-app-icon from the same drawing as the window's).
#pragma once

#include <cstdint>
#include <vector>

namespace vl {

// Every size of kAppIconSizes as 32-bit images with alpha, in one .ico.
std::vector<std::uint8_t> appIconFile();

}  // namespace vl
