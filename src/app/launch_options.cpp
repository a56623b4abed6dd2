#include "app/launch_options.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "version.h"

namespace vl {
namespace {

// Signed decimal with leading white space and one sign; stops at the first
// non-digit; no digits reads as 0 (the _wtoi rule).
int readLeadingInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    value = value * 10 + (text[i++] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<int>(value);
}

bool equalsIgnoringAsciiCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && b[i] == '\0';
}

}  // namespace

LaunchOptions parseLaunchOptions(const std::vector<std::string>& args) {
  LaunchOptions options;
  if (args.size() < 2) return options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--hub" || a == "-h") {
      if (hasValue) options.hubAddress = args[++i];
    } else if (a == "--min") {
      options.startMinimized = true;
    } else if (a == "--tray") {
      options.startInTray = true;
    } else if (a == "--headless") {
      options.headless = true;
    } else if (a == "--no-cursor") {
      options.noCursor = true;
    } else if (a == "--allow") {
      if (!hasValue) continue;
      options.allow = args[++i];
      options.hasAllow = true;
    } else if (a == "--view-only") {
      options.viewOnly = true;
    } else if (a == "--no-power") {
      options.noPower = true;
    } else if (a == "--version") {
      options.showVersion = true;
    } else if (a == "--help") {
      options.showHelp = true;
    } else if (a == "--quit") {
      options.quit = true;
    } else if (a == "--monitor") {
      if (!hasValue) continue;
      const int n = readLeadingInt(args[++i]);
      options.regionOverride = CaptureRegion::monitor(n < 1 ? 0 : n - 1);
      options.hasRegionOverride = true;
    } else if (a == "--region") {
      if (!hasValue) continue;
      int x = 0, y = 0, w = 0, h = 0;
      if (std::sscanf(args[++i].c_str(), "%d,%d,%d,%d", &x, &y, &w, &h) == 4) {
        options.regionOverride = CaptureRegion::custom(x, y, w, h);
        options.hasRegionOverride = true;
      }
    }
  }
  return options;
}

std::string launchInfoText(const LaunchOptions& options) {
  const std::string version = "velmora-agent " VL_VERSION "\n";
  if (options.showHelp)
    return version +
           "Usage: velmora-agent [options]\n"
           "  --hub, -h ADDRESS   connect to the Pad at ADDRESS (discovery off)\n"
           "  --monitor N         capture monitor N (1 = first)\n"
           "  --region X,Y,W,H    capture this rectangle of the desktop\n"
           "  --min               start with the window minimised\n"
           "  --tray              start in the tray (no window)\n"
           "  --headless          no window and no tray; Ctrl+C ends\n"
           "  --no-cursor         leave the mouse pointer out of the picture\n"
           "  --allow LIST        accept stream and system-control connections only from\n"
           "                      these IPv4 addresses / CIDR blocks and \"pad\" (the\n"
           "                      linked Pad); 127.0.0.1 is always allowed\n"
           "  --view-only         ignore reverse input (watching only)\n"
           "  --no-power          refuse remote shutdown and restart\n"
           "  --allow-multi       skip the single-instance check\n"
           "  --quit              end the running agent of this program in order (settings\n"
           "                      saved) and wait up to 10 s; exit 0 when it ended or none\n"
           "                      ran, 1 when it is still running\n"
           "  --version           print the version and exit\n"
           "  --help              print this text and exit\n";
  if (options.showVersion) return version;
  return {};
}

bool hasAllowMultiArgument(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i)
    if (equalsIgnoringAsciiCase(args[i], "--allow-multi")) return true;
  return false;
}

}  // namespace vl
