#include "app/first_stage.h"

#include <cstdio>

namespace vl {

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  return args;
}

void makeProcessDpiAware() {}

void showLaunchInfo(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace vl
