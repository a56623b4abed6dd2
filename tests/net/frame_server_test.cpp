// FrameServer over 127.0.0.1 with real sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "net/wake_signal.h"
#include "net_test_util.h"

using namespace vl;
using namespace vl::net;
using vl::test::ServerRecorder;

namespace {

struct ServerFixture : ::testing::Test {
  test::LogCapture log;
  FrameServer server;
  ServerRecorder rec;
  std::uint16_t port = 0;

  void SetUp() override {
    ASSERT_TRUE(server.listen(0, "127.0.0.1"));
    port = server.localPort();
    ASSERT_NE(port, 0);
  }

  // Connects one client and polls until the server has accepted it.
  ClientId accept(TcpClient& client) {
    const std::size_t before = rec.connects.size();
    EXPECT_TRUE(test::connectLoopback(client, port));
    EXPECT_TRUE(rec.pollUntil(server, [&] { return rec.connects.size() > before; }));
    return rec.connects.empty() ? 0 : rec.connects.back();
  }
};

}  // namespace

TEST(FrameServerIdle, ListenOnATakenPortFailsWithTheBindLine) {
  test::LogCapture log;
  FrameServer first;
  ASSERT_TRUE(first.listen(0, "127.0.0.1"));
  const std::uint16_t taken = first.localPort();
  EXPECT_TRUE(log.contains(formatString("TCP 控制通道已监听 0.0.0.0:%u", 0u)));

  FrameServer second;
  EXPECT_FALSE(second.listen(taken, "127.0.0.1"));
  EXPECT_FALSE(second.isListening());
  EXPECT_EQ(log.count(formatString("TCP 绑定端口 %u 失败, err=", taken)), 1);
  EXPECT_FALSE(second.listen(taken, "not-an-address"));

  // An idle server with no clients returns from poll without reporting.
  ServerRecorder rec;
  rec.pollOnce(second);
  EXPECT_TRUE(rec.connects.empty() && rec.disconnects.empty());
}

TEST_F(ServerFixture, AStormOfConnectionsLogsABurstThenSaysHowManyWentUnlogged) {
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<TcpClient>());
    ASSERT_TRUE(test::connectLoopback(*clients.back(), port));
  }
  ASSERT_TRUE(rec.pollUntil(server, [&] { return rec.connects.size() == 100; }));
  EXPECT_LT(log.count("客户端接入 #"), 80);  // a burst of 64 and a few seconds' worth
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // lets a line's worth refill
  TcpClient late;
  accept(late);
  EXPECT_TRUE(log.contains("条连接记录未记）"));
}

TEST_F(ServerFixture, AcceptsAtMost32ClientsPerPassWithIncreasingIds) {
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(std::make_unique<TcpClient>());
    ASSERT_TRUE(test::connectLoopback(*clients.back(), port));
  }
  rec.pollOnce(server);
  ASSERT_EQ(rec.connects.size(), 32u);
  rec.pollOnce(server);
  ASSERT_EQ(rec.connects.size(), 40u);
  for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(rec.connects[i], i + 1);
  EXPECT_TRUE(log.contains("客户端接入 #1 来自 127.0.0.1:"));
  EXPECT_TRUE(log.contains("客户端接入 #40 来自 127.0.0.1:"));
  EXPECT_EQ(server.clientCount(), 40u);

  // Ids keep increasing across clients that have gone.
  clients[0]->close();
  ASSERT_TRUE(rec.pollUntil(server, [&] { return rec.disconnects.size() == 1; }));
  EXPECT_EQ(rec.disconnects[0], 1u);
  TcpClient late;
  EXPECT_EQ(accept(late), 41u);
}

TEST_F(ServerFixture, IdCounterWrapsToOneAndSkipsIdsStillInUse) {
  TcpClient a, b, c;
  EXPECT_EQ(accept(a), 1u);
  server.setNextClientIdForTest(0xFFFFFFFFu);
  EXPECT_EQ(accept(b), 0xFFFFFFFFu);
  // 0 is never given; 1 still belongs to `a`.
  EXPECT_EQ(accept(c), 2u);
  EXPECT_EQ(server.nextClientId(), 3u);
  EXPECT_TRUE(server.hasClient(1));
  EXPECT_EQ(server.clientCount(), 3u);
}

TEST_F(ServerFixture, DeliversFramesInOrderAndAFrameInPiecesOnce) {
  TcpClient client;
  const ClientId id = accept(client);
  std::vector<std::uint8_t> bytes = test::frameBytes(FrameKind::Text, "{\"t\":\"a\"}");
  const auto second = test::frameBytes(FrameKind::Binary, std::string("\0\1\2", 3));
  const auto empty = test::frameBytes(FrameKind::Text, "");
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.insert(bytes.end(), empty.begin(), empty.end());
  ASSERT_TRUE(test::sendBytes(client, bytes));
  ASSERT_TRUE(rec.pollUntil(server, [&] { return rec.frames.size() == 3; }));
  EXPECT_EQ(rec.frames[0].id, id);
  EXPECT_EQ(rec.frames[0].payload, "{\"t\":\"a\"}");
  EXPECT_EQ(rec.frames[1].kind, FrameKind::Binary);
  EXPECT_EQ(rec.frames[1].payload, std::string("\0\1\2", 3));
  EXPECT_TRUE(rec.frames[2].nullPayload);

  // Header split, then the payload in two pieces, with passes in between.
  const auto piecewise = test::frameBytes(FrameKind::Text, "hello");
  const std::vector<std::vector<std::uint8_t>> parts{
      {piecewise.begin(), piecewise.begin() + 2},
      {piecewise.begin() + 2, piecewise.begin() + 7},
      {piecewise.begin() + 7, piecewise.end()}};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    ASSERT_TRUE(test::sendBytes(client, parts[i]));
    for (int pass = 0; pass < 20; ++pass) rec.pollOnce(server);
    EXPECT_EQ(rec.frames.size(), i + 1 < parts.size() ? 3u : 4u);
  }
  EXPECT_EQ(rec.frames.back().payload, "hello");
}

TEST_F(ServerFixture, FrameFollowedAtOnceByCloseIsNotDelivered) {
  TcpClient client;
  ASSERT_TRUE(test::connectLoopback(client, port));
  ASSERT_TRUE(test::sendBytes(client, test::frameBytes(FrameKind::Text, "{\"t\":\"x\"}")));
  client.close();
  test::sleepMs(50);  // let both arrive before the first pass
  ASSERT_TRUE(rec.pollUntil(server, [&] { return rec.disconnects.size() == 1; }));
  EXPECT_EQ(rec.connects.size(), 1u);
  EXPECT_TRUE(rec.frames.empty());
  EXPECT_FALSE(server.hasClient(rec.connects[0]));
}

TEST_F(ServerFixture, ClosingTheSenderFromOnFrameStopsItsDeliverySilently) {
  TcpClient a, b;
  const ClientId ida = accept(a);
  const ClientId idb = accept(b);
  rec.onFrameHook = [&](ClientId id) {
    if (id == ida) server.closeClient(id, false);
  };
  std::vector<std::uint8_t> three;
  for (const char* text : {"1", "2", "3"}) {
    const auto f = test::frameBytes(FrameKind::Text, text);
    three.insert(three.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(test::sendBytes(a, three));
  ASSERT_TRUE(test::sendBytes(b, three));
  test::sleepMs(50);
  ASSERT_TRUE(rec.pollUntil(server, [&] { return rec.frames.size() >= 4; }));
  for (int pass = 0; pass < 20; ++pass) rec.pollOnce(server);
  int fromA = 0, fromB = 0;
  for (const auto& f : rec.frames) (f.id == ida ? fromA : fromB)++;
  EXPECT_EQ(fromA, 1);
  EXPECT_EQ(fromB, 3);
  EXPECT_TRUE(rec.disconnects.empty());
  EXPECT_TRUE(server.hasClient(idb));
  EXPECT_EQ(server.peerText(idb).rfind("127.0.0.1:", 0), 0u);
  // The gone id, like one never given, is ignored by every operation.
  for (const ClientId gone : {ida, ClientId{777}}) {
    server.sendText(gone, "{}");
    server.closeClient(gone, true);
    server.closeClient(gone, false);
    EXPECT_FALSE(server.hasClient(gone));
    EXPECT_EQ(server.pendingBytes(gone), 0u);
    EXPECT_EQ(server.peerText(gone), "");
  }
  // The peer of a dropped client sees the connection end.
  char buffer[16];
  for (int i = 0; i < 100 && !a.broken(); ++i) a.receive(buffer, sizeof buffer, 20);
  EXPECT_TRUE(a.broken());
}

TEST_F(ServerFixture, GracefulCloseDrainsAMegabyteBeforeReportingTheDisconnect) {
  server.setSendBufferSize(8192);
  ASSERT_TRUE(server.listen(0, "127.0.0.1"));  // re-listen so accepted sockets get it
  port = server.localPort();
  TcpClient client;
  const ClientId id = accept(client);
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 11));
  server.sendBinary(id, big.data(), big.size());
  ASSERT_GT(server.pendingBytes(id), 0u) << "the socket buffers swallowed the whole frame";
  server.closeClient(id, true);
  EXPECT_TRUE(server.hasClient(id));

  // The reader catches up while the server polls.
  std::atomic<bool> done{false};
  std::vector<test::ReceivedFrame> got;
  bool closedAfter = false;
  std::thread reader([&] {
    FrameDecoder decoder;
    if (test::readFrames(client, decoder, 1, got, 20000)) {
      char b[16];
      for (int i = 0; i < 500 && !client.broken(); ++i) client.receive(b, sizeof b, 20);
      closedAfter = client.broken();
    }
    done = true;
  });
  EXPECT_TRUE(rec.pollUntil(server, [&] { return !rec.disconnects.empty(); }, 20000));
  while (!done) rec.pollOnce(server);
  reader.join();
  ASSERT_EQ(rec.disconnects, std::vector<ClientId>{id});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, FrameKind::Binary);
  EXPECT_TRUE(got[0].payload == big);
  EXPECT_TRUE(closedAfter);

  // With nothing queued a graceful close is immediate and silent.
  TcpClient other;
  const ClientId id2 = accept(other);
  server.closeClient(id2, true);
  EXPECT_FALSE(server.hasClient(id2));
  for (int pass = 0; pass < 10; ++pass) rec.pollOnce(server);
  EXPECT_EQ(rec.disconnects.size(), 1u);
}

TEST_F(ServerFixture, BadFrameLengthClosesAfterTheFramesBeforeIt) {
  TcpClient client;
  const ClientId id = accept(client);
  std::vector<std::uint8_t> bytes = test::frameBytes(FrameKind::Text, "ok");
  const std::uint8_t bad[] = {0x04, 0x00, 0x00, 0x01, 0x01};
  bytes.insert(bytes.end(), bad, bad + 5);
  ASSERT_TRUE(test::sendBytes(client, bytes));
  ASSERT_TRUE(rec.pollUntil(server, [&] { return !rec.disconnects.empty(); }));
  ASSERT_EQ(rec.frames.size(), 1u);
  EXPECT_EQ(rec.frames[0].payload, "ok");
  EXPECT_EQ(log.count(formatString("连接 #%u 帧长度非法 (67108865)，断开", id)), 1);
  EXPECT_EQ(rec.disconnects, std::vector<ClientId>{id});
}

TEST_F(ServerFixture, ReceiveBufferPastTheLimitIsDropped) {
  TcpClient client;
  const ClientId id = accept(client);
  // Back-to-back frames of the largest length and no pause between them: a
  // pass's reads run past the end of a frame before it can be delivered.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const std::uint64_t frameSize = kFrameHeaderSize + kMaxFramePayload;
    std::vector<std::uint8_t> chunk(999983);
    std::uint64_t offset = 0;
    while (!stop && offset < 4 * frameSize) {
      for (std::size_t i = 0; i < chunk.size(); ++i) {
        const std::uint64_t at = (offset + i) % frameSize;
        chunk[i] = at == 0 ? 0x04 : 0;  // header 04 00 00 00 kind 0, zero payload
      }
      if (client.sendAll(chunk.data(), chunk.size()) < 0) break;
      offset += chunk.size();
    }
  });
  const bool closed = rec.pollUntil(server, [&] { return !rec.disconnects.empty(); }, 60000);
  stop = true;
  writer.join();
  ASSERT_TRUE(closed);
  EXPECT_EQ(log.count(formatString("连接 #%u 接收缓存异常增长，断开", id)), 1);
  EXPECT_EQ(rec.disconnects, std::vector<ClientId>{id});
}

TEST_F(ServerFixture, CloseAllDropsClientsSilentlyAndKeepsTheIdCounter) {
  TcpClient a;
  accept(a);
  server.closeAll();
  EXPECT_FALSE(server.isListening());
  EXPECT_EQ(server.clientCount(), 0u);
  rec.pollOnce(server);
  EXPECT_TRUE(rec.disconnects.empty());
  ASSERT_TRUE(server.listen(0, "127.0.0.1"));
  port = server.localPort();
  TcpClient b;
  EXPECT_EQ(accept(b), 2u);
}

// The echo stream's pattern: a frame is queued only while at most one frame
// and 64 KiB wait, to a reader slower than the server. Every frame must come
// through partial sends and compaction intact, and the send queue must grow
// once, not step by step.
// A frame the socket takes whole goes out from the caller's bytes, never
// through the queue; a wait reports which extra handle ended it, a plain
// poll (which does not watch them) none.
TEST_F(ServerFixture, AFrameTheSocketTakesIsNotQueuedAndTheWaitNamesTheHandleThatEndedIt) {
  TcpClient client;
  const ClientId id = accept(client);
  std::string frame(200000, '\0');
  for (std::size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<char>(k * 7 + k / 251);
  server.sendBinary(id, frame.data(), frame.size());
  EXPECT_EQ(server.pendingBytes(id), 0u);
  EXPECT_EQ(server.sendQueueCapacityForTest(id), 0u);
  FrameDecoder decoder;
  std::vector<test::ReceivedFrame> got;
  ASSERT_TRUE(test::readFrames(client, decoder, 1, got));
  EXPECT_TRUE(got[0].payload == frame);

  WakeSignal quiet, loud;
  server.setExtraWaitHandle(quiet.handle(), 0);
  server.setExtraWaitHandle(loud.handle(), 2);
  loud.notify();
  server.pollWithWait(rec.connectHandler(), rec.frameHandler(), rec.disconnectHandler(), 5000);
  EXPECT_FALSE(server.extraWaitReady(0));
  EXPECT_FALSE(server.extraWaitReady(1));
  EXPECT_TRUE(server.extraWaitReady(2));
  rec.pollOnce(server);
  EXPECT_FALSE(server.extraWaitReady(2));
  loud.drain();
  server.pollWithWait(rec.connectHandler(), rec.frameHandler(), rec.disconnectHandler(), 0);
  EXPECT_FALSE(server.extraWaitReady(2)) << "drained";
}

TEST_F(ServerFixture, SteadyFramesToASlowReaderArriveIntactAndGrowTheQueueOnce) {
  constexpr int kFrames = 200;
  constexpr std::size_t kSize = 150000;
  const auto fill = [](std::string& out, int index) {
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = static_cast<char>(k * 31 + k / 4093 + index);
  };
  server.setSendBufferSize(131072);
  ASSERT_TRUE(server.listen(0, "127.0.0.1"));
  port = server.localPort();
  TcpClient client;
  const ClientId id = accept(client);

  std::atomic<bool> stop{false};
  std::atomic<int> received{0};
  int intact = 0;
  std::thread reader([&] {
    FrameDecoder decoder;
    std::vector<char> chunk(24000);
    std::string expected(kSize, '\0');
    for (unsigned n = 1; !stop && received < kFrames; ++n) {
      const int got = client.receive(chunk.data(), static_cast<int>(chunk.size()), 5);
      if (got < 0 || client.broken()) break;
      decoder.append(chunk.data(), static_cast<std::size_t>(got));
      FrameView f;
      while (decoder.next(f) == DecodeStatus::Frame) {
        fill(expected, received++);
        if (f.kind == FrameKind::Binary && f.length == kSize && std::memcmp(f.payload, expected.data(), kSize) == 0)
          ++intact;
      }
      if (n % 3 == 0) test::sleepMs(1);
    }
  });

  std::string frame(kSize, '\0');
  int growths = 0, sent = 0, heldBack = 0;
  std::size_t capacity = 0;
  const std::uint64_t start = monotonicMs();
  while (sent < kFrames && monotonicMs() - start < 30000) {
    rec.pollOnce(server);
    if (server.pendingBytes(id) > kSize + 65536) {
      ++heldBack;
      continue;
    }
    fill(frame, sent++);
    server.sendBinary(id, frame.data(), frame.size());
    const std::size_t now = server.sendQueueCapacityForTest(id);
    if (now != capacity) ++growths;
    capacity = now;
  }
  while (received < kFrames && monotonicMs() - start < 30000) rec.pollOnce(server);
  stop = true;
  reader.join();
  ASSERT_EQ(sent, kFrames);
  EXPECT_GT(heldBack, 0) << "the reader never fell behind";
  EXPECT_EQ(growths, 1);
  EXPECT_EQ(received, kFrames);
  EXPECT_EQ(intact, kFrames);
}
