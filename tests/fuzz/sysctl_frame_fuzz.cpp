// The system-control service's frame handler with the recording system
// platform behind it: any bytes from any of four clients, then the tick
// that carries out a pending power operation. The platform's power path may
// only have been entered when some text frame was a valid power command.
#include <cstdlib>
#include <string_view>

#include "fake_system_platform.h"
#include "fuzz_support.h"
#include "sysctl/sysctl_service.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vl::fuzz::quietLog();
  // The platform is a fake; this holds even if one day it is not.
  setenv("VL_POWER_DRY_RUN", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vl;
  test::FakeSystemPlatform platform;
  std::uint64_t now = 5000;
  SysCtlService service([](int, const std::string&) {}, &platform, [&now] { return now; });

  bool powerCommand = false;
  fuzz::forEachFrame(data, size, [&](unsigned client, std::uint8_t kind, const std::uint8_t* payload,
                                     std::uint64_t length) {
    if (kind == static_cast<std::uint8_t>(net::FrameKind::Text)) {
      const std::string_view text = payload ? std::string_view(reinterpret_cast<const char*>(payload), length)
                                            : std::string_view();
      const SysCtlCommand command = parseSysCtlCommand(text);
      if (command.valid && isPowerSysOp(command.op)) powerCommand = true;
    }
    service.handleSysCtlFrame(client, static_cast<net::FrameKind>(kind), payload, length);
    now += 100;
    if (length % 3 == 0) service.runPendingPowerOp();
  });
  now += kPowerOpDelayMs + 1;
  service.runPendingPowerOp();
  VL_FUZZ_CHECK(service.pendingOp().empty());

  bool powerPath = false;
  for (const auto& call : platform.calls) powerPath = powerPath || call == "openProcessToken";
  if (powerPath) VL_FUZZ_CHECK(powerCommand);
  VL_FUZZ_CHECK(platform.powerRequests.empty());  // dry run
  VL_FUZZ_CHECK(platform.comDepth == 0);          // every COM scope closed
  return 0;
}
