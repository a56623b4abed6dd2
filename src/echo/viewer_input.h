// Per-viewer reverse input: acting on one parsed "input" message, the held
// button and key bookkeeping, and letting go of what a viewer holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "echo/input_injector.h"
#include "echo/input_message.h"
#include "echo/viewer_state.h"

namespace vl {

// Silence after which held buttons are released.
inline constexpr std::uint64_t kButtonWatchdogMs = 1500;
// At most one input log line per this many milliseconds.
inline constexpr std::uint64_t kInputLogIntervalMs = 800;
// Input work one viewer may cause in one pass of the echo thread (each code
// point is one injected event, each double click holds a 10 ms pause), so a
// long text or a burst of double clicks cannot stall streaming and the
// watchdog for every viewer. The rest waits for the next passes.
inline constexpr std::size_t kTextCodePointsPerPass = 256;
inline constexpr int kDoubleClicksPerPass = 2;
// Input waiting beyond this (text bytes plus a fixed cost per message) is
// dropped.
inline constexpr std::size_t kMaxQueuedInputBytes = 1u << 20;

// Performs the event on the viewer's inputRegion and keeps buttonMask and
// heldKeys up to date. Unknown types do nothing.
void applyInput(ViewerState& viewer, const InputMessage& message, InputInjector& injector);

// A new pass: the viewer may again do kTextCodePointsPerPass code points
// and kDoubleClicksPerPass double clicks.
void refillInputBudget(ViewerState& viewer);

// Performs what this pass's budget covers of the message; what it does not
// (the rest of a text, or all of it) waits in the viewer's queue, and so
// does anything that arrives while something waits. false when the queue
// is full and the message was dropped.
bool submitInput(ViewerState& viewer, InputMessage message, InputInjector& injector);

// Performs waiting input, oldest first, while the budget lasts.
void drainInput(ViewerState& viewer, InputInjector& injector);

// Whether the watchdog must release the viewer's buttons at `nowMs`.
bool buttonWatchdogDue(const ViewerState& viewer, std::uint64_t nowMs);

// Releases every button in the mask (left, right, middle), clears it and
// logs one warning with the reason and the old mask. Nothing when the mask
// is 0. The pointer is not moved.
void releaseButtons(ViewerState& viewer, const char* reason, InputInjector& injector);

// Releases the keys the viewer still holds (last pressed first), forgets
// them and logs one warning. Nothing when no key is held.
void releaseHeldKeys(ViewerState& viewer, const char* reason, InputInjector& injector);

}  // namespace vl
