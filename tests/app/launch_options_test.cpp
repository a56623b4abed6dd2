#include <gtest/gtest.h>

#include "app/launch_options.h"
#include "app/single_instance.h"
#include "version.h"

namespace vl {
namespace {

LaunchOptions parse(std::vector<std::string> args) {
  args.insert(args.begin(), "velmora-agent");
  return parseLaunchOptions(args);
}

TEST(LaunchOptions, DefaultsWithoutArguments) {
  const LaunchOptions o = parse({});
  EXPECT_TRUE(o.hubAddress.empty());
  EXPECT_FALSE(o.startMinimized);
  EXPECT_FALSE(o.startInTray);
  EXPECT_FALSE(o.hasRegionOverride);
  EXPECT_EQ(parseLaunchOptions({}).hasRegionOverride, false);
}

TEST(LaunchOptions, MonitorIsOneBasedAndForgiving) {
  LaunchOptions o = parse({"--monitor", "2"});
  ASSERT_TRUE(o.hasRegionOverride);
  EXPECT_EQ(o.regionOverride, (CaptureRegion{kRegionModeMonitor, 1, 0, 0, 0, 0}));
  for (const char* value : {"0", "-3", "abc", "", " +1x"}) {
    o = parse({"--monitor", value});
    ASSERT_TRUE(o.hasRegionOverride) << value;
    EXPECT_EQ(o.regionOverride.monitorIndex, 0) << value;
    EXPECT_EQ(o.regionOverride.mode, kRegionModeMonitor);
  }
  EXPECT_EQ(parse({"--monitor", "  3rd"}).regionOverride.monitorIndex, 2);
}

TEST(LaunchOptions, RegionNeedsFourNumbersButAlwaysConsumesItsValue) {
  LaunchOptions o = parse({"--region", "100,50,1280,720"});
  ASSERT_TRUE(o.hasRegionOverride);
  EXPECT_EQ(o.regionOverride, (CaptureRegion{kRegionModeCustom, 0, 100, 50, 1280, 720}));

  o = parse({"--region", "100,50,1280", "--min"});
  EXPECT_FALSE(o.hasRegionOverride);
  EXPECT_TRUE(o.startMinimized);  // the argument after the value is an option again

  o = parse({"--region", "--tray"});
  EXPECT_FALSE(o.hasRegionOverride);
  EXPECT_FALSE(o.startInTray);  // consumed as the (bad) value
}

TEST(LaunchOptions, LastSuccessfulRegionOptionWins) {
  LaunchOptions o = parse({"--monitor", "2", "--region", "1,2,3,4"});
  EXPECT_EQ(o.regionOverride.mode, kRegionModeCustom);
  o = parse({"--region", "1,2,3,4", "--monitor", "2"});
  EXPECT_EQ(o.regionOverride, (CaptureRegion{kRegionModeMonitor, 1, 0, 0, 0, 0}));
  o = parse({"--monitor", "2", "--region", "bad"});
  EXPECT_EQ(o.regionOverride.monitorIndex, 1);
}

TEST(LaunchOptions, HubAndFlagsAreCaseSensitive) {
  LaunchOptions o = parse({"--hub", "10.0.0.2", "-h", "pad.local", "--min", "--tray"});
  EXPECT_EQ(o.hubAddress, "pad.local");  // the later one replaces the earlier
  EXPECT_TRUE(o.startMinimized);
  EXPECT_TRUE(o.startInTray);
  EXPECT_FALSE(o.headless);

  o = parse({"--HUB", "10.0.0.2", "--MIN", "--Headless"});
  EXPECT_TRUE(o.hubAddress.empty());
  EXPECT_FALSE(o.startMinimized);
  EXPECT_FALSE(o.headless);
  EXPECT_TRUE(parse({"--headless"}).headless);
  EXPECT_FALSE(parse({}).noCursor);
  EXPECT_TRUE(parse({"--no-cursor", "--min"}).noCursor);
  EXPECT_FALSE(parse({"--No-Cursor"}).noCursor);

  o = parse({"--allow", "10.0.0.0/8,pad", "--view-only", "--no-power"});
  EXPECT_TRUE(o.hasAllow);
  EXPECT_EQ(o.allow, "10.0.0.0/8,pad");
  EXPECT_TRUE(o.viewOnly);
  EXPECT_TRUE(o.noPower);
  o = parse({"--allow", "", "--View-Only"});  // empty: a saved list is lifted for this run
  EXPECT_TRUE(o.hasAllow);
  EXPECT_FALSE(o.viewOnly);
  EXPECT_FALSE(parse({"--allow"}).hasAllow);

  EXPECT_TRUE(parse({"--tray", "--quit"}).quit);
  EXPECT_FALSE(parse({"--Quit"}).quit);
  EXPECT_FALSE(parse({"--hub", "--quit"}).quit);  // the Pad address, not the option

  o = parse({"--hub"});  // trailing value option
  EXPECT_TRUE(o.hubAddress.empty());
  o = parse({"--hub", "--min"});  // the value is taken whatever it looks like
  EXPECT_EQ(o.hubAddress, "--min");
  EXPECT_FALSE(o.startMinimized);
}

TEST(LaunchOptions, VersionAndHelpAnywhereWithHelpWinning) {
  const std::string version = "velmora-agent " VL_VERSION "\n";
  EXPECT_EQ(launchInfoText(parse({})), "");
  EXPECT_EQ(launchInfoText(parse({"--min", "--tray"})), "");
  EXPECT_EQ(launchInfoText(parse({"--Version", "-v", "-?"})), "");  // exact spellings only
  EXPECT_EQ(launchInfoText(parse({"--headless", "--version"})), version);
  EXPECT_EQ(launchInfoText(parse({"--quit", "--version"})), version);  // answered, nothing ended
  EXPECT_EQ(launchInfoText(parse({"--hub", "--version"})), "");  // a value, not an option
  const std::string help = launchInfoText(parse({"--version", "--help"}));
  EXPECT_EQ(help.rfind(version, 0), 0u);
  for (const char* option : {"--hub", "--monitor", "--region", "--tray", "--headless", "--allow-multi", "--quit"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(LaunchOptions, AllowMultiInAnyCaseAnywhere) {
  EXPECT_TRUE(hasAllowMultiArgument({"agent", "--ALLOW-multi"}));
  EXPECT_TRUE(hasAllowMultiArgument({"agent", "--hub", "--allow-multi"}));
  EXPECT_FALSE(hasAllowMultiArgument({"--allow-multi"}));  // argument 0 is the program
  EXPECT_FALSE(hasAllowMultiArgument({"agent", "--allow-multiple"}));
  // Not an option of the parser: skipped silently.
  EXPECT_FALSE(parse({"--allow-multi"}).hasRegionOverride);
}

TEST(SingleInstanceKey, FoldsLetterCaseAndSeparatorsOnly) {
  const auto key = singleInstanceKey(L"C:\\Program Files\\Velmora\\velmora-agent.exe");
  EXPECT_EQ(key, singleInstanceKey(L"c:/program files/VELMORA/Velmora-Agent.EXE"));
  EXPECT_NE(key, singleInstanceKey(L"D:\\Program Files\\Velmora\\velmora-agent.exe"));
  // FNV-1a 32-bit: empty input is the offset basis, "a" a known value.
  EXPECT_EQ(singleInstanceKey(L""), 0x811C9DC5u);
  EXPECT_EQ(singleInstanceKey(L"a"), 0xE40C292Cu);
  EXPECT_EQ(singleInstanceKey(L"A"), 0xE40C292Cu);
  // Only A-Z fold: a non-ASCII capital stays distinct.
  EXPECT_NE(singleInstanceKey(L"\u00C9"), singleInstanceKey(L"\u00E9"));
  EXPECT_EQ(singleInstanceName(0xABCDEF01u).find("VL_SingleInstance_ABCDEF01") != std::string::npos, true);
}

}  // namespace
}  // namespace vl

#if defined(_WIN32)
#include <windows.h>

#include "app/first_stage.h"

namespace vl {
namespace {

// Whichever of the three calls the system has, the process ends up DPI
// aware, and asking again (a second start-up path) does no harm.
TEST(DpiAwareness, TheProcessEndsUpAwareAndASecondCallIsHarmless) {
  makeProcessDpiAware();
  EXPECT_TRUE(IsProcessDPIAware());
  makeProcessDpiAware();
  EXPECT_TRUE(IsProcessDPIAware());
}

}  // namespace
}  // namespace vl
#endif
