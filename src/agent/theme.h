// The panel's look: colours from "#RRGGBB" text, the dark theme sized for
// the UI scale, the UI scale itself, and the one widget 1.86 lacks.
#pragma once

#include <string_view>

#include <imgui.h>

namespace vl {

inline constexpr float kMinUiScale = 1.0f;
inline constexpr float kMaxUiScale = 2.5f;

// "#RGB", "#RRGGBB" or "#RRGGBBAA" (hash optional, blanks around ignored);
// anything unreadable is opaque white.
ImVec4 hexColor(std::string_view text);

// StyleColorsDark, then every size (times scale) and colour we change.
void applyTheme(float scale);

// System DPI / 96; 1.0 when it cannot be read or is below 72 DPI.
// Windows: GetDpiForSystem, else LOGPIXELSX. Linux: Xft.dpi from the X
// resource database, else the screen's physical size, else 1.0.
float systemDpiScale();
// Pure parts of the Linux query, for tests: the Xft.dpi entry of a resource
// string, and the DPI of a screen from pixels and millimetres (0 if unknown).
float dpiFromXResources(const char* resources);
float dpiFromPhysicalSize(int pixels, int millimetres);
// DPI → UI scale: value / 96 for 72 or more, else 1.0.
float scaleFromDpi(float dpi);
// The start-up clamp into kMinUiScale … kMaxUiScale.
float clampUiScale(float scale);

// Label text, then a line of the Separator colour (thickness 3) vertically
// centred on it and running to the end of the content region.
void separatorText(const char* label);

}  // namespace vl
