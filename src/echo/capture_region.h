// What part of the desktop is captured: a whole monitor or a custom rectangle.
#pragma once

#include <cstdint>

namespace vl {

struct CaptureRegion {
  std::int32_t mode = 0;          // 0 = whole monitor, 1 = custom rectangle
  std::int32_t monitorIndex = 0;  // 0-based, mode 0
  std::int32_t x = 0;             // mode 1, virtual-desktop coordinates
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool operator==(const CaptureRegion&) const = default;
};

inline constexpr std::int32_t kRegionModeMonitor = 0;
inline constexpr std::int32_t kRegionModeCustom = 1;

}  // namespace vl
