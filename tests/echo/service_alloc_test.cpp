// Streaming at a steady picture size allocates nothing per frame; a hostile
// text frame costs no memory beyond its own bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "service_fixture.h"

// GCC sees through the malloc/free pair below and warns about a mismatch
// that isn't.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
std::atomic<long long> gBytes{0};

}  // namespace

// Counts the allocations made while gCounting is set, anywhere in the program.
void* operator new(std::size_t size) {
  if (gCounting.load(std::memory_order_relaxed)) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    gBytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vl::test {
namespace {

TEST_F(EchoServiceTest, SteadyStreamingAllocatesNothingPerFrame) {
  service_->setFps(60);
  TestViewer a, b;
  ASSERT_TRUE(connect(a));
  ASSERT_TRUE(connect(b));
  request(a, R"({"t":"sub","fps":0})");
  request(b, R"({"t":"sub","fps":0})");
  // Warm-up: buffers and queues grow to their steady size.
  ASSERT_TRUE(pumpUntil([&] { return service_->frameSeq() >= 120; }, {&a, &b}));
  const std::uint64_t seq = service_->frameSeq();
  const std::uint64_t sent = service_->framesSent();
  long allocations = 0;
  while (service_->frameSeq() < seq + 120) {
    gAllocations = 0;
    gCounting = true;
    service_->pumpOnce();
    gCounting = false;
    allocations += gAllocations;
    a.receive(0);
    b.receive(0);
    a.frames().clear();
    b.frames().clear();
  }
  EXPECT_GE(service_->framesSent() - sent, 120u);
  // Per-frame allocations would show up at least once per frame. The frame
  // server's send queues may still grow now and then (a larger frame meets
  // an unsent remainder), which is amortised, not per frame.
  EXPECT_LT(allocations, 12) << "allocations in 120 frames";
}

// A few megabytes of "[" would become hundreds of megabytes of JSON nodes
// (and a 64 MiB frame gigabytes, ending the process).
TEST_F(EchoServiceTest, DeepOrOversizedTextFramesAllocateNextToNothing) {
  for (const std::size_t size : {std::size_t{4} << 20, std::size_t{60000}}) {
    const std::string frame(size, '[');
    gBytes = 0;
    gCounting = true;
    service_->deliverFrameForTest(1, net::FrameKind::Text, reinterpret_cast<const std::uint8_t*>(frame.data()),
                                  frame.size());
    gCounting = false;
    EXPECT_LT(gBytes.load(), 64 * 1024) << size << " bytes of [";
  }
}

}  // namespace
}  // namespace vl::test
