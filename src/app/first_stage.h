// First stage of start-up: DPI awareness, options, single-instance guard,
// log set-up. Runs on the first thread before any other thread exists.
#pragma once

#include <string>
#include <vector>

#include "app/launch_options.h"

namespace vl {

// The command line as UTF-8 arguments, program first (CommandLineToArgvW on
// Windows, argv on Linux). Empty when splitting fails.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Per-monitor DPI awareness v2 where the system has it; nothing elsewhere.
void makeProcessDpiAware();

// The "--version"/"--help" text: standard output on Linux, a message box on
// Windows (a GUI program has no console there).
void showLaunchInfo(const std::string& text);

// <data directory>/logs/agent.log (agentDataDirectory)
std::string agentLogPath();

// Fills `options` and opens the log. false: the process ends now with
// `exitCode` and nothing logged -- "--version"/"--help" was answered,
// "--quit" has done its work, or another instance runs (code 0).
bool runFirstStage(const std::vector<std::string>& args, LaunchOptions& options, int& exitCode);

}  // namespace vl
