// The echo service's handling of what viewers send: frames of up to four
// viewers reach the service as the frame server would hand them over, with
// a fake screen and a recording injector behind it, a fresh service per
// input. Afterwards each viewer's bookkeeping must still describe what the
// injector was told: only the three buttons, each held key once.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "echo/echo_service.h"
#include "fuzz_support.h"
#include "service_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vl::fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vl;
  auto source = std::make_unique<test::FakeFrameSource>(64, 48);
  source->monitors = {MonitorInfo{0, 0, 64, 48, true, "A"}, MonitorInfo{64, 0, 32, 24, false, "B"}};
  auto injector = std::make_unique<test::RecordingInjector>();
  test::RecordingInjector& recorded = *injector;
  EchoService service(std::move(source), std::move(injector));
  // Time moves on between frames, so the input log's pacing takes both paths.
  std::uint64_t now = 100000;
  service.setClockForTest([&now] { return now; });

  fuzz::forEachFrame(data, size, [&](unsigned client, std::uint8_t kind, const std::uint8_t* payload,
                                     std::uint64_t length) {
    service.deliverFrameForTest(client, static_cast<net::FrameKind>(kind), payload, length);
    now += 300;
  });

  std::uint32_t downs[3] = {0, 0, 0};
  for (const auto& call : recorded.calls) {
    for (int b = 0; b < 3; ++b)
      if (call == "button " + std::to_string(b) + " down") ++downs[b];
  }
  for (const auto& [id, viewer] : service.viewers()) {
    VL_FUZZ_CHECK((viewer.buttonMask & ~7u) == 0);
    for (int b = 0; b < 3; ++b)
      if (viewer.buttonMask & (1u << b)) VL_FUZZ_CHECK(downs[b] != 0);
    std::vector<std::uint16_t> keys = viewer.heldKeys;
    std::sort(keys.begin(), keys.end());
    VL_FUZZ_CHECK(std::adjacent_find(keys.begin(), keys.end()) == keys.end());
  }
  return 0;
}
