#include <windows.h>
#include <timeapi.h>

#include "echo/fine_timer.h"

namespace vl {

void holdFineTimer(bool hold) {
  if (hold) {
    timeBeginPeriod(1);
  } else {
    timeEndPeriod(1);
  }
}

}  // namespace vl
