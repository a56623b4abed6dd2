// The one wait of a thread with many sources: its time limit is the earliest
// due timer, and a ready socket or a wake-up ends it at once (the waits
// below would otherwise last a minute, or for ever).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/socket_watch.h"
#include "net/wait_set.h"
#include "net/wake_signal.h"
#include "net_test_util.h"

using namespace vl;
using namespace vl::net;

namespace {

constexpr std::uint64_t kNow = 100000;
constexpr int kMinute = 60000;

}  // namespace

TEST(WaitSetTimeout, IsTheEarliestDueTimerCutToTheCap) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> due;
    int cap;
    int expected;
  };
  const Case cases[] = {
      {"no timer, no cap: no limit", {}, -1, -1},
      {"no timer, a cap", {}, 20, 20},
      {"one timer", {kNow + 700}, -1, 700},
      {"the earliest of several, in any order", {kNow + 3001, kNow + 1001, kNow + 2501}, -1, 1001},
      {"due now", {kNow}, -1, 0},
      {"overdue", {kNow - 5}, 20, 0},
      {"one overdue among later ones", {kNow + 900, kNow - 1, kNow + 5}, -1, 0},
      {"the cap below the timer", {kNow + 2501}, 20, 20},
      {"the timer below the cap", {kNow + 7}, 20, 7},
      {"a timer beyond an int", {kNow + (std::uint64_t{1} << 40)}, -1, 0x7FFFFFFF},
      {"never counts as none", {WaitSet::kNever}, -1, -1},
  };
  for (const Case& c : cases) {
    WaitSet waits;
    for (const std::uint64_t due : c.due) waits.dueAt(due);
    EXPECT_EQ(waits.timeoutMs(kNow, c.cap), c.expected) << c.name;
    waits.clear();
    EXPECT_EQ(waits.timeoutMs(kNow, c.cap), c.cap) << c.name << " (cleared)";
  }
}

TEST(WaitSetWait, AWakeUpFromAnotherThreadEndsAWaitWithNoTimer) {
  WakeSignal wake;
  ASSERT_NE(wake.handle(), kInvalidSocket);
  WaitSet waits;
  waits.watch(wake.handle());
  std::thread other([&] { wake.notify(); });
  EXPECT_EQ(waits.wait(kNow), 1);  // for ever, but for the notice
  other.join();
  // Drained, it no longer ends a wait; notices before the drain are one.
  wake.notify();
  wake.notify();
  wake.drain();
  EXPECT_EQ(waits.wait(kNow, 0), 0);
  wake.notify();
  EXPECT_EQ(waits.wait(kNow, kMinute), 1);
}

TEST(WaitSetWait, ASocketThatHasNewsEndsTheWaitBeforeItsTimer) {
  test::LogCapture log;
  FrameServer server;
  ASSERT_TRUE(server.listen(0, "127.0.0.1"));
  WaitSet waits;
  waits.dueAt(kNow + kMinute);
  server.planWait(waits);
  ASSERT_EQ(waits.entries().size(), 1u);  // the listening socket
  EXPECT_EQ(waits.wait(kNow, 0), 0);

  TcpClient client;
  ASSERT_TRUE(test::connectLoopback(client, server.localPort()));
  EXPECT_EQ(waits.wait(kNow), 1);  // the connect, not the minute

  // Once accepted the connection is watched too; a frame from it is news.
  test::ServerRecorder rec;
  ASSERT_TRUE(rec.pollUntil(server, [&] { return !rec.connects.empty(); }));
  waits.clear();
  server.planWait(waits);
  ASSERT_EQ(waits.entries().size(), 2u);
  EXPECT_EQ(waits.wait(kNow, 0), 0);
  ASSERT_TRUE(test::sendBytes(client, test::frameBytes(FrameKind::Text, "{}")));
  EXPECT_EQ(waits.wait(kNow, kMinute), 1);
  // A handle given beside the set counts the same.
  WakeSignal extra;
  extra.notify();
  WaitSet empty;
  EXPECT_EQ(empty.wait(kNow, -1, extra.handle()), 1);
}

// The watch another kind of wait (Windows: window messages) runs beside:
// news on a socket, before or during the watch, reaches the hook once; an
// end without news returns at once; a watch left running ends with it.
TEST(SocketWatchTest, NewsReachesTheHookAndAnEndWithoutNewsReturns) {
  WakeSignal news;
  ASSERT_NE(news.handle(), kInvalidSocket);
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  SocketWatch watch([&] {
    std::lock_guard<std::mutex> lock(m);
    ++calls;
    cv.notify_all();
  });
  WaitSet waits;
  waits.watch(news.handle());
  const auto hookCalls = [&](int want) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= want; });
  };

  ASSERT_TRUE(watch.begin(waits));
  std::thread other([&] { news.notify(); });
  EXPECT_TRUE(hookCalls(1));
  EXPECT_TRUE(watch.end());
  other.join();

  // Still unread: the next watch hears of it at once.
  ASSERT_TRUE(watch.begin(waits));
  EXPECT_TRUE(hookCalls(2));
  EXPECT_TRUE(watch.end());
  news.drain();

  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(watch.begin(waits));
    EXPECT_FALSE(watch.end());
  }
  EXPECT_EQ(calls, 2);

  SocketWatch leftRunning({});
  ASSERT_TRUE(leftRunning.begin(waits));
}
