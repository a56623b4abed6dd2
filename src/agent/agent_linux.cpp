#include <unistd.h>

#include "agent/agent.h"

namespace vl {

std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace vl
