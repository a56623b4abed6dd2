// What the echo service keeps per connected viewer.
#pragma once

#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl {

inline constexpr std::int32_t kDefaultViewerFps = 25;

struct ViewerState {
  std::uint64_t lastSentMs = 0;   // when this viewer was last sent a frame
  std::uint64_t lastSentSeq = 0;  // frameSeq of that frame
  // Capture slot (microseconds) from which this viewer takes its next frame;
  // 0: the next one offered.
  std::uint64_t dueUs = 0;
  std::int32_t fps = kDefaultViewerFps;  // own rate; <= 0 lets the service's apply
  bool subscribed = false;
  MonitorInfo inputRegion;   // rectangle for input mapping
  bool regionValid = false;  // inputRegion belongs to the current region
  std::uint32_t buttonMask = 0;    // bit (1 << button) per button held down
  std::uint64_t lastInputMs = 0;   // when this viewer last sent input
  // Virtual keys (low 16 bits) pressed through "key" and not yet released,
  // in press order, so they can be let go when the viewer vanishes.
  std::vector<std::uint16_t> heldKeys;
};

}  // namespace vl
