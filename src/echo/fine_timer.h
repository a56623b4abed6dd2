// Timer precision for the echo thread's paced waits.
#pragma once

namespace vl {

// Windows rounds every wait up to the system timer tick (15.6 ms unless some
// process asks for more), too coarse to pace 60 frames a second; while held,
// the process asks for 1 ms. Held only while streaming, because a fine timer
// costs power. Calls must pair up; nothing happens on Linux.
void holdFineTimer(bool hold);

// Windows 11 ignores the timer requests of a process whose windows are all
// hidden or minimised (the agent in the tray) unless it opts out. Called at
// start; the first call decides, later calls return the same answer. false
// when the system lacks the opt-out (silently) or refuses it (one log line).
// Always true on Linux.
bool keepFineTimerWhenHidden();

}  // namespace vl
