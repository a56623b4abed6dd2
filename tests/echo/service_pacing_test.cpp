// Pacing and waiting: capture slots and per-viewer schedules keep the
// promised rates however late the passes run; the echo thread's wait ends
// for a connect, input, the next slot and the button watchdog.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "service_fixture.h"

namespace vl::test {
namespace {

struct PacingCase {
  const char* name;
  int serviceFps;
  std::vector<int> viewerFps;  // <= 0: the service's rate
  std::vector<int> lateMs;     // how late each wake comes, cyclically
  bool spuriousWakes;          // an extra pass 1 ms after each (network traffic)
};

void PrintTo(const PacingCase& c, std::ostream* os) { *os << c.name; }

class EchoPacing : public EchoServiceTest, public ::testing::WithParamInterface<PacingCase> {};

// Ten seconds of the echo thread's loop on the fake clock: wait as long as
// the service allows, arrive late by the pattern, count what each viewer gets.
TEST_P(EchoPacing, EveryViewerGetsTheLowerOfItsRateAndTheServiceRate) {
  const PacingCase& c = GetParam();
  createService(160, 90);
  useFakeClock();
  service_->setFps(c.serviceFps);
  std::vector<std::unique_ptr<TestViewer>> viewers;
  for (int fps : c.viewerFps) {
    viewers.push_back(std::make_unique<TestViewer>());
    ASSERT_TRUE(connect(*viewers.back()));
    request(*viewers.back(), formatString(R"({"t":"sub","fps":%d})", fps));
  }
  std::vector<int> sent(viewers.size(), 0);
  std::vector<std::uint64_t> seen(viewers.size(), 0);
  auto pass = [&] {
    service_->pumpOnce(0);
    for (std::size_t i = 0; i < viewers.size(); ++i) {
      const std::uint64_t seq = service_->viewers().at(static_cast<net::ClientId>(i + 1)).lastSentSeq;
      if (seq != seen[i]) ++sent[i];
      seen[i] = seq;
      viewers[i]->receive(0);
      viewers[i]->frames().clear();
    }
  };
  const std::uint64_t end = fakeNow_ + 10000;
  for (std::size_t k = 0; fakeNow_ < end; ++k) {
    fakeNow_ += static_cast<std::uint64_t>(service_->waitBudgetMs(EchoService::kIdleWaitMs) +
                                           c.lateMs[k % c.lateMs.size()]);
    pass();
    if (c.spuriousWakes) {
      fakeNow_ += 1;
      pass();
    }
  }
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    const int own = c.viewerFps[i] > 0 ? c.viewerFps[i] : c.serviceFps;
    const double expected = 10.0 * std::min(own, c.serviceFps);
    EXPECT_NEAR(sent[i], expected, expected * 0.02 + 1) << "viewer " << i << " at " << own;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, EchoPacing,
    ::testing::Values(PacingCase{"s25_v25", 25, {25}, {0}, false},
                      PacingCase{"s30_v30_late0to3", 30, {30}, {0, 3, 1, 2}, false},
                      PacingCase{"s60_v60_late0to3_spurious", 60, {60}, {0, 3, 1, 2}, true},
                      PacingCase{"s60_v25", 60, {25}, {2, 0, 1}, false},
                      PacingCase{"s60_mixed", 60, {60, 25, 30, 1, 0}, {1}, true},
                      PacingCase{"s1_v1_v60", 1, {1, 60}, {0}, false},
                      PacingCase{"s30_hiccups", 30, {30, 30}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 25}, false},
                      PacingCase{"s12_v25", 12, {25}, {4}, false},
                      PacingCase{"s60_16viewers", 60, std::vector<int>(16, 60), {0, 2}, false}),
    [](const ::testing::TestParamInfo<PacingCase>& info) { return std::string(info.param.name); });

TEST_F(EchoServiceTest, WaitLastsUntilTheNextSlotOrTheButtonWatchdog) {
  useFakeClock();
  EXPECT_EQ(service_->waitBudgetMs(EchoService::kIdleWaitMs), EchoService::kIdleWaitMs);  // idle
  service_->setFps(60);
  service_->captureOn = true;
  EXPECT_EQ(service_->waitBudgetMs(50), 0);  // the first slot is due at once
  service_->pumpOnce(0);
  EXPECT_EQ(service_->frameSeq(), 1u);
  EXPECT_EQ(service_->waitBudgetMs(50), 17);  // 16.67 ms, rounded up
  fakeNow_ += 16;
  EXPECT_EQ(service_->waitBudgetMs(50), 1);
  fakeNow_ += 1;
  EXPECT_EQ(service_->waitBudgetMs(50), 0);
  service_->captureOn = false;

  // A held button bounds the wait by the watchdog's deadline.
  TestViewer viewer;
  ASSERT_TRUE(connect(viewer));
  deliver(viewer, R"({"t":"input","type":"down","btn":0})");
  fakeNow_ += 1000;
  EXPECT_EQ(service_->waitBudgetMs(5000), 501);
  fakeNow_ += 501;
  EXPECT_EQ(service_->waitBudgetMs(5000), 0);
  service_->pumpOnce(0);
  EXPECT_EQ(injector_->calls.back(), "button 0 up");
  EXPECT_EQ(service_->waitBudgetMs(5000), 5000);
}

// Real clock: a pass allowed to wait 20 s must end as soon as a viewer
// connects, and again as soon as it sends input.
TEST_F(EchoServiceTest, IdleWaitEndsAtOnceForAConnectAndForInput) {
  constexpr int kLongWaitMs = 20000;
  TestViewer viewer;
  std::thread connector([&] {
    sleepMs(100);
    viewer.connect(port_);
  });
  std::uint64_t start = monotonicMs();
  service_->pumpOnce(kLongWaitMs);
  connector.join();
  EXPECT_LT(monotonicMs() - start, static_cast<std::uint64_t>(kLongWaitMs / 2));
  EXPECT_EQ(service_->viewers().size(), 1u);

  std::thread sender([&] {
    sleepMs(100);
    viewer.sendText(R"({"t":"input","type":"move","u":0.5,"v":0.5})");
  });
  start = monotonicMs();
  service_->pumpOnce(kLongWaitMs);
  sender.join();
  EXPECT_LT(monotonicMs() - start, static_cast<std::uint64_t>(kLongWaitMs / 2));
  EXPECT_NE(service_->lastInputMs(), 0u);
  EXPECT_EQ(injector_->calls.size(), 1u);
}

// The echo thread's loop may wait for ever: whatever the UI thread changes,
// and stop, must end that wait, also when it comes before the wait begins
// (a notice is never drained before the pass has read what it stands for).
TEST_F(EchoServiceTest, AWaitWithoutLimitEndsForEverySettingChangeAndForStop) {
  useFakeClock();
  EXPECT_EQ(service_->waitBudgetMs(EchoService::kWaitForWork), EchoService::kWaitForWork);  // idle
  const std::pair<const char*, std::function<void()>> changes[] = {
      {"fps", [&] { service_->setFps(12); }},
      {"quality", [&] { service_->setQuality(40); }},
      {"width", [&] { service_->setMaxWidth(800); }},
      {"region", [&] { service_->setRegion(CaptureRegion::custom(0, 0, 32, 32)); }},
      {"display", [&] { service_->displayChanged(); }},
      {"a flag, then wake", [&] {
         service_->staticSkip = true;
         service_->wake();
       }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    change();
    service_->pumpOnce(EchoService::kWaitForWork);  // returns: the notice waits in the handle
  }
  // captureOn from idle: the same pass starts streaming.
  service_->captureOn = true;
  service_->wake();
  service_->pumpOnce(EchoService::kWaitForWork);
  EXPECT_EQ(service_->frameSeq(), 1u);
  service_->captureOn = false;
  service_->pumpOnce(0);

  // Stop from another thread, as the agent does it, while the loop sleeps.
  std::atomic<bool> running{true};
  std::thread echo([&] {
    while (running) service_->pumpOnce(EchoService::kWaitForWork);
  });
  running = false;
  service_->wake();
  echo.join();
}

TEST_F(EchoServiceTest, TheInjectorsHousekeepingBoundsTheWait) {
  useFakeClock();
  injector_->dueMs = fakeNow_ + 500;
  EXPECT_EQ(service_->waitBudgetMs(EchoService::kWaitForWork), 500);
  EXPECT_EQ(service_->waitBudgetMs(20), 20);
  fakeNow_ += 501;
  EXPECT_EQ(service_->waitBudgetMs(EchoService::kWaitForWork), 0);
  injector_->dueMs = net::WaitSet::kNever;
  EXPECT_EQ(service_->waitBudgetMs(EchoService::kWaitForWork), EchoService::kWaitForWork);
}

}  // namespace
}  // namespace vl::test
