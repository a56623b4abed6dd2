// Placeholder until the command is built.
#include <cstdio>

#include "velmora-pad/commands.h"

namespace vl::pad {

int runWatch(const std::vector<std::string>&) {
  std::fprintf(stderr, "velmora-pad: \"watch\" is not available in this build\n");
  return 2;
}

}  // namespace vl::pad
