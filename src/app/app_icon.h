// The application icon, drawn in code so that the window, the tray and the
// Windows icon resource all show the same picture at every size.
#pragma once

#include <cstdint>
#include <vector>

namespace vl {

// The sizes the window manager and the icon resource are given.
inline constexpr int kAppIconSizes[] = {16, 24, 32, 48};
inline constexpr int kAppIconMaxSize = 256;

// size × size pixels, rows top-down, RGBA with straight alpha: an accent
// "V" and ring on the panel's dark background, in a rounded square whose
// corners are transparent. Empty for a size outside 1 … kAppIconMaxSize.
std::vector<std::uint8_t> appIconRgba(int size);

}  // namespace vl
