#include <unistd.h>

#include "agent/agent.h"

namespace vl {

std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// X11 has no way to hide one window from capture: a warning at every start
// would only be noise.
bool exclusionFailureWarnsAtStart() { return false; }

}  // namespace vl
