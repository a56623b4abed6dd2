// Command-line options of the agent, read once at start-up.
#pragma once

#include <string>
#include <vector>

#include "echo/capture_region.h"

namespace vl {

struct LaunchOptions {
  std::string hubAddress;  // "--hub"/"-h" VALUE, UTF-8
  bool startMinimized = false;
  bool startInTray = false;
  CaptureRegion regionOverride;
  bool hasRegionOverride = false;
  bool headless = false;  // "--headless": no window, no tray
  bool noCursor = false;  // "--no-cursor": the pointer stays out of the picture
  bool hasAllow = false;     // "--allow LIST": who may connect, this run only
  std::string allow;
  bool viewOnly = false;     // "--view-only": reverse input is ignored
  bool noPower = false;      // "--no-power": shutdown and restart are refused
  bool showVersion = false;  // "--version": print it and end
  bool showHelp = false;     // "--help": print the usage and end
  bool quit = false;         // "--quit": end the running agent of this executable
};

// args[0] is the program and is skipped. Options are compared exactly and
// case-sensitively; malformed values never fail (see the .cpp).
LaunchOptions parseLaunchOptions(const std::vector<std::string>& args);

// "--allow-multi" in any letter case anywhere from args[1] on (a value after
// "--hub" counts too).
// What "--version" / "--help" print (help wins when both are given); empty
// when neither was asked for.
std::string launchInfoText(const LaunchOptions& options);

bool hasAllowMultiArgument(const std::vector<std::string>& args);

}  // namespace vl
