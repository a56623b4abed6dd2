#include "echo/fine_timer.h"

namespace vl {

// Linux waits are precise already.
void holdFineTimer(bool) {}

}  // namespace vl
