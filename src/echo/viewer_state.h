// What the echo service keeps per connected viewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "echo/capture.h"
#include "echo/input_message.h"
#include "log/throttle.h"

namespace vl {

inline constexpr std::int32_t kDefaultViewerFps = 25;
// A line a viewer can cause over and over is written at most this often.
inline constexpr std::uint64_t kRepeatedLineIntervalMs = 1000;

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
  // Input beyond what one pass may do, oldest first, and its queued size.
  std::deque<InputMessage> pendingInput;
  std::size_t pendingInputBytes = 0;
  // Left of this pass's input work (refilled at the start of every pass).
  std::size_t textBudget = 0;
  int doubleClickBudget = 0;
  bool oversizeWarned = false;   // a text frame over the limit was reported
  bool viewOnlyLogged = false;   // ignored input was reported
  LineThrottle subscribeLog{kRepeatedLineIntervalMs};   // the subscribe line
  LineThrottle inputWarnLog{kRepeatedLineIntervalMs};   // dropped input
};

}  // namespace vl
