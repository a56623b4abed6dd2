// A running EchoService on a loopback port with a fake frame source and a
// recording injector; the test thread pumps it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>

#include "log/helpers.h"
#include "service_support.h"
#include "support/test_support.h"

namespace vl::test {

class EchoServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { createService(640, 360); }

  void createService(int width, int height) {
    service_.reset();
    auto source = std::make_unique<FakeFrameSource>(width, height);
    auto injector = std::make_unique<RecordingInjector>();
    source_ = source.get();
    injector_ = injector.get();
    service_ = std::make_unique<EchoService>(std::move(source), std::move(injector));
    port_ = startOnFreePort(*service_);
    ASSERT_NE(port_, 0);
  }

  // The service's timers then read fakeNow_, moved on by the test.
  void useFakeClock() {
    fakeNow_ = 100000;
    service_->setClockForTest([this] { return fakeNow_.load(); });
  }

  void pumpOnce(std::initializer_list<TestViewer*> viewers = {}) {
    service_->pumpOnce();
    for (TestViewer* v : viewers) v->receive(0);
  }

  // Pumps (and reads for the viewers) until done() or the time-out.
  bool pumpUntil(const std::function<bool()>& done, std::initializer_list<TestViewer*> viewers = {},
                 int timeoutMs = 10000) {
    const std::uint64_t end = monotonicMs() + static_cast<std::uint64_t>(timeoutMs);
    while (monotonicMs() < end) {
      pumpOnce(viewers);
      if (done()) return true;
    }
    return false;
  }

  void pumpFor(int ms, std::initializer_list<TestViewer*> viewers = {}) {
    pumpUntil([] { return false; }, viewers, ms);
  }

  bool connect(TestViewer& viewer) {
    const std::size_t before = service_->viewers().size();
    if (!viewer.connect(port_)) return false;
    return pumpUntil([&] { return service_->viewers().size() > before; });
  }

  // Sends a message and returns the first text frame that comes back.
  std::string request(TestViewer& viewer, const std::string& message) {
    viewer.sendText(message);
    std::string reply;
    pumpUntil([&] { return !(reply = viewer.takeText()).empty(); }, {&viewer});
    return reply;
  }

  // Sends a message and pumps until the service has read it.
  void deliver(TestViewer& viewer, const std::string& message) {
    const std::uint64_t inputBefore = service_->lastInputMs();
    viewer.sendText(message);
    // Input messages are visible through lastInputMs; others get a few passes.
    if (message.find("\"input\"") != std::string::npos) {
      pumpUntil([&] { return service_->lastInputMs() != inputBefore; }, {&viewer});
    } else {
      pumpFor(100, {&viewer});
    }
  }

  LogCapture log_;
  std::atomic<std::uint64_t> fakeNow_{0};
  FakeFrameSource* source_ = nullptr;
  RecordingInjector* injector_ = nullptr;
  std::unique_ptr<EchoService> service_;
  std::uint16_t port_ = 0;
};

}  // namespace vl::test
