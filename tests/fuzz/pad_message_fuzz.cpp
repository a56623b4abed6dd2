// The agent's handling of what the Pad sends on the link: every text frame
// of the input goes to the message handler of one started agent (fake
// screen, injector and system; its ports on 127.0.0.1 or ephemeral, no
// echo thread, no discovery probes). Pad text reaching the status line and
// the event log must stay bounded and free of control bytes, and stream
// settings from the Pad must end up clamped and the same in the agent and
// its echo service.
#include <memory>
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "fake_system_platform.h"
#include "fuzz_support.h"
#include "service_support.h"
#include "support/test_support.h"

namespace {

using namespace vl;

bool printable(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

std::uint64_t fakeNow = 50000;

Agent& agent() {
  // Built once: starting an agent per input would spend the run on sockets.
  static test::TempDir* dir = new test::TempDir;
  static test::FakeSystemPlatform* system = new test::FakeSystemPlatform;
  static Agent* instance = [] {
    AgentEnvironment env;
    env.clock = [] { return fakeNow; };
    env.dataDirectory = dir->path();
    env.echoBasePort = 0;  // any free port
    env.sysCtlPort = 0;
    env.bindAddress = "127.0.0.1";
    env.desktop = [](std::vector<MonitorInfo>& m, DesktopMetrics& d) {
      m = {MonitorInfo{0, 0, 1920, 1080, true, "A"}, MonitorInfo{1920, 0, 1280, 1024, false, "B"}};
      d = DesktopMetrics{0, 0, 3200, 1080, 1920, 1080};
    };
    env.probeTargets = [] { return std::vector<std::pair<std::string, std::uint16_t>>{}; };
    env.makeEchoService = [] {
      return std::make_unique<EchoService>(std::make_unique<test::FakeFrameSource>(64, 48),
                                           std::make_unique<test::RecordingInjector>());
    };
    env.systemPlatform = system;
    env.startThread = [](std::thread&, std::function<void()>) { return true; };
    auto* a = new Agent(std::move(env));
    a->start(nullptr);
    return a;
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  agent();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Agent& a = agent();
  fuzz::forEachFrame(data, size, [&](unsigned, std::uint8_t kind, const std::uint8_t* payload, std::uint64_t length) {
    // The link hands text frames over and drops the rest.
    if (kind != static_cast<std::uint8_t>(net::FrameKind::Text)) return;
    a.handlePadMessage(payload ? std::string_view(reinterpret_cast<const char*>(payload), length)
                               : std::string_view());
    fakeNow += 250;
  });

  VL_FUZZ_CHECK(a.hubName.size() <= kPadTextMax);
  VL_FUZZ_CHECK(printable(a.hubName));
  VL_FUZZ_CHECK(printable(a.linkStatus));
  for (const auto& entry : a.eventLog().entries()) VL_FUZZ_CHECK(printable(entry.text));

  EchoService& echo = *a.echo();
  VL_FUZZ_CHECK(a.settings.quality == echo.quality());
  VL_FUZZ_CHECK(a.settings.maxW == echo.maxWidth());
  VL_FUZZ_CHECK(a.settings.fps == echo.fps());
  VL_FUZZ_CHECK(echo.quality() >= 10 && echo.quality() <= 95);
  VL_FUZZ_CHECK(echo.maxWidth() >= 320 && echo.maxWidth() <= 3840);
  VL_FUZZ_CHECK(echo.fps() >= 1 && echo.fps() <= 60);
  VL_FUZZ_CHECK(a.settings.captureOn == echo.captureOn.load());
  return 0;
}
