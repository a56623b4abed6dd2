// Timer precision for the echo thread's paced waits.
#pragma once

namespace vl {

// Windows rounds every wait up to the system timer tick (15.6 ms unless some
// process asks for more), too coarse to pace 60 frames a second; while held,
// the process asks for 1 ms. Held only while streaming, because a fine timer
// costs power. Calls must pair up; nothing happens on Linux.
void holdFineTimer(bool hold);

}  // namespace vl
