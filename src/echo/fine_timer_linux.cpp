#include "echo/fine_timer.h"

namespace vl {

// Linux waits are precise already.
void holdFineTimer(bool) {}

bool keepFineTimerWhenHidden() { return true; }

}  // namespace vl
