// TcpClient against local listeners.
#include <gtest/gtest.h>

#include <memory>

#include "net/socket_sys.h"
#include "net_test_util.h"

using namespace vl;
using namespace vl::net;

namespace {

// A bare listening socket on 127.0.0.1 that the test accepts from by hand
// (or never), with the backlog it is given.
struct RawListener {
  SocketHandle socket = kInvalidSocket;
  std::uint16_t port = 0;

  bool open(int backlog) {
    ensureWinsock();
    socket = sys::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == kInvalidSocket) return false;
    Ipv4Endpoint any;
    resolveIPv4("127.0.0.1", 0, any);
    sockaddr_in a = sys::toSockaddr(any);
    if (::bind(sys::toNative(socket), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    if (::listen(sys::toNative(socket), backlog) != 0) return false;
    sys::AddrLen length = sizeof a;
    ::getsockname(sys::toNative(socket), reinterpret_cast<sockaddr*>(&a), &length);
    port = sys::fromSockaddr(a).port;
    return true;
  }
  SocketHandle acceptOne() {
    return sys::acceptSocket(socket, nullptr, nullptr);
  }
  ~RawListener() { sys::closeSocket(socket); }
};

// Zeroed first: Wine writes a boolean option as a single byte.
int intOption(SocketHandle s, int level, int name) {
  int value = 0;
  sys::AddrLen length = sizeof value;
  if (::getsockopt(sys::toNative(s), level, name, reinterpret_cast<char*>(&value), &length) != 0) return -2;
  return value;
}

}  // namespace

TEST(TcpClient, ConnectsToAListenerAndFailsOnBadAddressesAndRefusals) {
  RawListener listener;
  ASSERT_TRUE(listener.open(16));
  TcpClient client;
  ASSERT_TRUE(test::connectLoopback(client, listener.port));
  EXPECT_FALSE(client.connecting());
  // Once connected, the time-out no longer matters.
  EXPECT_EQ(client.pollConnect(999999, 1), 1);
  client.close();
  EXPECT_FALSE(client.isOpen());
  EXPECT_EQ(client.pollConnect(0, 1500), -1);

  EXPECT_FALSE(client.startConnect("localhost", 80));  // no name lookup
  EXPECT_FALSE(client.isOpen());
  std::uint16_t freePort = 0;
  {
    RawListener gone;
    ASSERT_TRUE(gone.open(1));
    freePort = gone.port;
  }
  if (client.startConnect("127.0.0.1", freePort)) {
    int state = 0;
    const std::uint64_t start = monotonicMs();
    while ((state = client.pollConnect(static_cast<int>(monotonicMs() - start), 5000)) == 0) test::sleepMs(1);
    EXPECT_EQ(state, -1);
  }
  EXPECT_FALSE(client.isOpen());
  EXPECT_FALSE(client.connecting());
}

TEST(TcpClient, PendingConnectTimesOutOnlyAfterTheLimit) {
  // A listener whose queue is full and never accepts drops further SYNs, so
  // a connect to it stays pending without anything leaving the machine.
  RawListener listener;
  ASSERT_TRUE(listener.open(0));
  std::vector<std::unique_ptr<TcpClient>> fillers;
  TcpClient* pending = nullptr;
  for (int i = 0; i < 16 && pending == nullptr; ++i) {
    auto c = std::make_unique<TcpClient>();
    ASSERT_TRUE(c->startConnect("127.0.0.1", listener.port));
    test::sleepMs(100);
    if (c->pollConnect(0, 0) == 0) pending = c.get();
    fillers.push_back(std::move(c));
  }
  if (pending == nullptr) GTEST_SKIP() << "this system completes connects to a full listener";
  EXPECT_EQ(pending->pollConnect(1500, 1500), 0);
  EXPECT_EQ(pending->pollConnect(100000, 0), 0);   // no time-out
  EXPECT_EQ(pending->pollConnect(100000, -5), 0);
  EXPECT_TRUE(pending->connecting());
  EXPECT_EQ(pending->pollConnect(1501, 1500), -1);
  EXPECT_FALSE(pending->isOpen());
  EXPECT_FALSE(pending->connecting());
}

TEST(TcpClient, SendAllGivesUpWhenThePeerNeverReads) {
  RawListener listener;
  ASSERT_TRUE(listener.open(4));
  TcpClient client;
  ASSERT_TRUE(test::connectLoopback(client, listener.port));
  const SocketHandle peer = listener.acceptOne();
  ASSERT_NE(peer, kInvalidSocket);

  std::vector<std::uint8_t> block(4 << 20, 0x55);
  std::int64_t result = 0;
  std::uint64_t lastCallMs = 0;
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t start = monotonicMs();
    result = client.sendAll(block.data(), block.size());
    lastCallMs = monotonicMs() - start;
    if (result < 0) break;
  }
  sys::closeSocket(peer);
  ASSERT_EQ(result, -1);
  std::printf("sendAll gave up after %llu ms\n", static_cast<unsigned long long>(lastCallMs));
  EXPECT_GE(lastCallMs, 3000u);
  EXPECT_LT(lastCallMs, 60000u);  // it returns instead of hanging
}

TEST(TcpClient, ReceiveTellsNothingWaitingFromAClosedPeer) {
  RawListener listener;
  ASSERT_TRUE(listener.open(4));
  TcpClient client;
  ASSERT_TRUE(test::connectLoopback(client, listener.port));
  const SocketHandle peer = listener.acceptOne();
  ASSERT_NE(peer, kInvalidSocket);

  char buffer[64];
  EXPECT_EQ(client.receive(buffer, sizeof buffer, 0), 0);
  EXPECT_EQ(client.receive(buffer, sizeof buffer, 30), 0);
  EXPECT_FALSE(client.broken());

  ASSERT_EQ(sys::sendSome(peer, "abc", 3), 3);
  int n = 0;
  for (int i = 0; i < 100 && n == 0; ++i) n = client.receive(buffer, sizeof buffer, 20);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(client.sendAll(nullptr, 3), -1);
  ASSERT_EQ(client.sendAll("xyz", 3), 3);
  char echo[3] = {};
  for (int i = 0; i < 100; ++i) {
    if (sys::recvSome(peer, echo, 3) == 3) break;
    test::sleepMs(10);
  }
  EXPECT_EQ(std::string(echo, 3), "xyz");

  sys::shutdownBoth(peer);
  sys::closeSocket(peer);
  for (int i = 0; i < 100 && !client.broken(); ++i) EXPECT_LE(client.receive(buffer, sizeof buffer, 20), 0);
  EXPECT_TRUE(client.broken());
  client.close();
  EXPECT_FALSE(client.broken());
  EXPECT_EQ(client.receive(buffer, sizeof buffer, 0), -1);
  EXPECT_TRUE(client.broken());
  EXPECT_EQ(client.sendAll("x", 1), -1);
}

// What the system reports back, so a refused or misspelt option shows here
// rather than as a dead peer that is never noticed.
TEST(SocketKeepAlive, ProbingIsOnWithTheConfiguredTimings) {
  ensureWinsock();
  const SocketHandle s = sys::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, kInvalidSocket);
  EXPECT_EQ(intOption(s, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_TRUE(sys::setKeepAlive(s));
  EXPECT_NE(intOption(s, SOL_SOCKET, SO_KEEPALIVE), 0);
#if !defined(_WIN32)
  EXPECT_EQ(intOption(s, IPPROTO_TCP, TCP_KEEPIDLE), kKeepAliveIdleSeconds);
  EXPECT_EQ(intOption(s, IPPROTO_TCP, TCP_KEEPINTVL), kKeepAliveIntervalSeconds);
  EXPECT_EQ(intOption(s, IPPROTO_TCP, TCP_KEEPCNT), kKeepAliveProbes);
  EXPECT_EQ(intOption(s, IPPROTO_TCP, TCP_USER_TIMEOUT), kUnackedTimeoutMs);
#endif
  sys::closeSocket(s);
}
