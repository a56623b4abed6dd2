// What part of the desktop is captured: a whole monitor or a custom rectangle.
#pragma once

#include <cstdint>

namespace vl {

inline constexpr std::int32_t kRegionModeMonitor = 0;
inline constexpr std::int32_t kRegionModeCustom = 1;

struct CaptureRegion {
  std::int32_t mode = 0;          // 0 = whole monitor, 1 = custom rectangle
  std::int32_t monitorIndex = 0;  // 0-based, mode 0
  std::int32_t x = 0;             // mode 1, virtual-desktop coordinates
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool operator==(const CaptureRegion&) const = default;

  static constexpr CaptureRegion monitor(std::int32_t index) { return {kRegionModeMonitor, index, 0, 0, 0, 0}; }
  static constexpr CaptureRegion custom(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
    return {kRegionModeCustom, 0, x, y, w, h};
  }
};

}  // namespace vl
