// The commands of velmora-pad. Each returns the process exit code:
// 0 success, 1 a negative answer (where a command has one), 2 a bad argument
// or a connection error (with a one-line message on standard error).
#pragma once

#include <string>
#include <vector>

namespace vl::pad {

// args: everything after the command name.
int runWatch(const std::vector<std::string>& args);
int runInput(const std::vector<std::string>& args);
int runSys(const std::vector<std::string>& args);
// Runs until Ctrl+C/SIGTERM or --seconds; 2 when its ports cannot be had.
int runHub(const std::vector<std::string>& args);

}  // namespace vl::pad
