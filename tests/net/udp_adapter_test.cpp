// UdpSocket on 127.0.0.1, address helpers and adapter filtering. Broadcasts
// are sent only inside a private network namespace created for the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "net/socket_sys.h"
#include "net_test_util.h"

using namespace vl;
using namespace vl::net;

namespace {

int receiveWithin(UdpSocket& socket, char* buffer, int capacity, std::string& from, std::uint16_t& port,
                  int timeoutMs = 2000) {
  const std::uint64_t start = monotonicMs();
  for (;;) {
    const int n = socket.receiveFrom(buffer, capacity, from, port);
    if (n != 0 || monotonicMs() - start > static_cast<std::uint64_t>(timeoutMs)) return n;
    test::sleepMs(2);
  }
}

}  // namespace

TEST(Addresses, ResolveAcceptsDottedTextOnly) {
  const struct {
    const char* text;
    bool ok;
    std::uint32_t address;
  } cases[] = {
      {"", true, 0},
      {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xFFFFFFFFu},  // the conversion's own failure value
      {"192.168.1.20", true, 0xC0A80114u},
      {"localhost", false, 0},
      {"pad.example", false, 0},
      {"1.2.3.256", false, 0},
  };
  for (const auto& c : cases) {
    Ipv4Endpoint e;
    EXPECT_EQ(resolveIPv4(c.text, 24690, e), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(e.address, c.address) << c.text;
    EXPECT_EQ(e.port, 24690);
    EXPECT_EQ(ntohs(sys::toSockaddr(e).sin_port), 24690);
  }
  EXPECT_EQ(formatIPv4(0xC0A80114u), "192.168.1.20");
}

TEST(Addresses, BroadcastComputationSkipsHostAndEmptyMasksAndSorts) {
  const std::pair<std::uint32_t, std::uint32_t> masks[] = {
      {0, 0}, {1, 0x80000000u}, {24, 0xFFFFFF00u}, {31, 0xFFFFFFFEu}, {32, 0xFFFFFFFFu}, {33, 0xFFFFFF00u}};
  for (const auto& [prefix, mask] : masks) EXPECT_EQ(prefixToMask(prefix), mask) << prefix;

  const auto a = [](const char* text, std::uint32_t prefix) {
    return AdapterAddress{text, prefix, prefixToMask(prefix)};
  };
  EXPECT_EQ(broadcastAddressesOf({a("192.168.1.20", 24)}), std::vector<std::string>{"192.168.1.255"});
  EXPECT_EQ(broadcastAddressesOf({a("192.168.1.20", 24), a("192.168.1.77", 24)}),
            std::vector<std::string>{"192.168.1.255"});
  EXPECT_TRUE(broadcastAddressesOf({a("10.1.2.3", 32), a("10.1.2.3", 0)}).empty());
  // Byte-wise text order, not numeric.
  EXPECT_EQ(broadcastAddressesOf({a("9.1.1.1", 8), a("192.168.0.1", 16), a("10.0.0.1", 30), a("garbage", 8)}),
            (std::vector<std::string>{"10.0.0.3", "192.168.255.255", "9.255.255.255"}));
}

TEST(Addresses, AdapterFilterKeepsUpNonLoopbackAddresses) {
  const std::vector<sys::RawAdapterAddress> raw{
      {"192.168.1.20", 24, true, false}, {"10.0.0.9", 8, false, false},  // down
      {"127.0.0.1", 8, true, true},      {"127.0.1.1", 8, true, false},  // loopback-range text
      {"172.16.5.5", 40, true, false},
  };
  const auto plain = sys::selectAdapterAddresses(raw, false);
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].address, "192.168.1.20");
  EXPECT_EQ(plain[0].mask, 0xFFFFFF00u);
  EXPECT_EQ(plain[1].prefixLength, 40u);
  EXPECT_EQ(plain[1].mask, 0xFFFFFF00u);
  const auto all = sys::selectAdapterAddresses(raw, true);
  EXPECT_EQ(all.size(), 4u);
}

TEST(Addresses, SystemAdapterQueryIsConsistent) {
  const auto all = listAdapterAddresses(true);
  for (const auto& entry : all) {
    Ipv4Endpoint e;
    EXPECT_TRUE(resolveIPv4(entry.address, 0, e)) << entry.address;
    EXPECT_EQ(entry.mask, prefixToMask(entry.prefixLength)) << entry.address;
  }
  for (const auto& entry : listAdapterAddresses(false)) EXPECT_NE(entry.address.rfind("127.", 0), 0u);
  const auto broadcasts = broadcastAddresses();
  EXPECT_TRUE(std::is_sorted(broadcasts.begin(), broadcasts.end()));
  EXPECT_EQ(std::adjacent_find(broadcasts.begin(), broadcasts.end()), broadcasts.end());
}

TEST(UdpSocket, DatagramsTravelBetweenTwoLoopbackSockets) {
  test::LogCapture log;
  UdpSocket receiver, sender;
  ASSERT_TRUE(receiver.open(0, false, "127.0.0.1"));
  ASSERT_TRUE(sender.open(0, true, "127.0.0.1"));
  const std::uint16_t port = receiver.localPort();
  ASSERT_NE(port, 0);

  char buffer[256];
  std::string from = "unchanged";
  std::uint16_t fromPort = 0;
  EXPECT_EQ(receiver.receiveFrom(buffer, sizeof buffer, from, fromPort), 0);  // nothing waiting
  EXPECT_EQ(from, "unchanged");

  const std::string probe = "VL probe \xE4\xB8\xAD";
  ASSERT_TRUE(sender.sendTo("127.0.0.1", port, probe.data(), static_cast<int>(probe.size())));
  test::sleepMs(20);
  // No room given: nothing is read, so the datagram is not lost.
  EXPECT_EQ(receiver.receiveFrom(buffer, 0, from, fromPort), 0);
  const int n = receiveWithin(receiver, buffer, sizeof buffer, from, fromPort);
  ASSERT_EQ(n, static_cast<int>(probe.size()));
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), probe);
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(fromPort, sender.localPort());

  // A host name is refused before anything is sent.
  EXPECT_FALSE(sender.sendTo("localhost", port, "x", 1));
  EXPECT_FALSE(sender.sendTo("127.0.0.1", port, "x", -1));
  test::sleepMs(50);
  EXPECT_EQ(receiver.receiveFrom(buffer, sizeof buffer, from, fromPort), 0);

  // Reopening closes the old socket first; a closed socket refuses both ways.
  ASSERT_TRUE(sender.open(0, false, "127.0.0.1"));
  sender.close();
  EXPECT_FALSE(sender.isOpen());
  EXPECT_FALSE(sender.sendTo("127.0.0.1", port, "x", 1));
  EXPECT_EQ(sender.receiveFrom(buffer, sizeof buffer, from, fromPort), -1);
  EXPECT_EQ(log.count("UDP 绑定端口"), 0);
}

TEST(UdpSocket, OversizedDatagramIsDroppedWholeAndTheNextOneArrivesIntact) {
  constexpr int kCapacity = 64;
  UdpSocket receiver, sender;
  ASSERT_TRUE(receiver.open(0, false, "127.0.0.1"));
  ASSERT_TRUE(sender.open(0, false, "127.0.0.1"));
  const std::string next = "next datagram";
  const struct {
    int size;
    bool fits;
  } cases[] = {{kCapacity - 1, true}, {kCapacity, true}, {kCapacity + 1, false}, {4000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::string payload(static_cast<std::size_t>(c.size), '\0');
    for (int i = 0; i < c.size; ++i) payload[static_cast<std::size_t>(i)] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(sender.sendTo("127.0.0.1", receiver.localPort(), payload.data(), c.size));
    ASSERT_TRUE(sender.sendTo("127.0.0.1", receiver.localPort(), next.data(), static_cast<int>(next.size())));
    // Room for more than the capacity, so a truncated read would show.
    char buffer[kCapacity + 16] = {};
    std::string from;
    std::uint16_t fromPort = 0;
    const int first = receiveWithin(receiver, buffer, kCapacity, from, fromPort);
    if (c.fits) {
      ASSERT_EQ(first, c.size);
      EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(first)), payload);
    } else {
      EXPECT_EQ(first, -1);
    }
    const int second = receiveWithin(receiver, buffer, kCapacity, from, fromPort);
    ASSERT_EQ(second, static_cast<int>(next.size()));
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(second)), next);
    EXPECT_EQ(fromPort, sender.localPort());
  }
}

TEST(UdpSocket, SendingToAClosedPortLeavesTheSocketUsable) {
  UdpSocket sender, gone, receiver;
  ASSERT_TRUE(gone.open(0, false, "127.0.0.1"));
  const std::uint16_t closedPort = gone.localPort();
  gone.close();
  ASSERT_TRUE(sender.open(0, false, "127.0.0.1"));
  ASSERT_TRUE(receiver.open(0, false, "127.0.0.1"));
  char buffer[64];
  std::string from;
  std::uint16_t fromPort = 0;
  // Windows reports the ICMP port-unreachable of an earlier send at the next
  // receive; that must read as "nothing waiting", not as a broken socket.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    sender.sendTo("127.0.0.1", closedPort, "VL", 2);
    test::sleepMs(30);
    EXPECT_EQ(sender.receiveFrom(buffer, sizeof buffer, from, fromPort), 0);
  }
  ASSERT_TRUE(receiver.sendTo("127.0.0.1", sender.localPort(), "back", 4));
  EXPECT_EQ(receiveWithin(sender, buffer, sizeof buffer, from, fromPort), 4);
  EXPECT_EQ(fromPort, receiver.localPort());
}

TEST(UdpSocket, BindFailuresAreLogged) {
  test::LogCapture log;
  UdpSocket socket;
  EXPECT_FALSE(socket.open(0, false, "not-an-address"));
  EXPECT_EQ(log.count("UDP 绑定端口"), 0);  // conversion failures are silent
  // A port held by a socket that allows no sharing cannot be bound again.
  ensureWinsock();
  const SocketHandle holder = sys::openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(holder, kInvalidSocket);
  sys::setExclusiveAddressUse(holder);
  sockaddr_in a = sys::toSockaddr(Ipv4Endpoint{0x7F000001u, 0});
  ASSERT_EQ(::bind(sys::toNative(holder), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  sys::AddrLen length = sizeof a;
  ::getsockname(sys::toNative(holder), reinterpret_cast<sockaddr*>(&a), &length);
  const std::uint16_t taken = sys::fromSockaddr(a).port;
  EXPECT_FALSE(socket.open(taken, false, "127.0.0.1"));
  sys::closeSocket(holder);
  EXPECT_EQ(log.count(formatString("UDP 绑定端口 %u 失败 err=", taken)), 1);
  EXPECT_FALSE(socket.isOpen());
}

#if !defined(_WIN32)
// The test re-runs itself inside `unshare -rn`: a private network namespace
// with its own loopback and a veth pair, so broadcasts stay inside it.
TEST(UdpSocket, BroadcastsInAPrivateNamespace) {
  if (!envExists("VL_NET_IN_PRIVATE_NAMESPACE")) {
    if (!test::haveProgram("unshare") || !test::haveProgram("ip")) GTEST_SKIP() << "unshare or ip missing";
    auto probe = test::startProcess({"unshare", "-rn", "true"});
    if (!probe.valid() || test::waitProcess(probe, 10000) != 0) GTEST_SKIP() << "no private network namespace";
    auto child = test::startProcess(
        {"unshare", "-rn", exePath(), "--gtest_filter=UdpSocket.BroadcastsInAPrivateNamespace"},
        {{"VL_NET_IN_PRIVATE_NAMESPACE", "1"}});
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(test::waitProcess(child, 60000), 0);
    return;
  }
  // Inside the namespace. Only loopback is up: no broadcast address.
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  EXPECT_TRUE(broadcastAddresses().empty());
  EXPECT_FALSE(listAdapterAddresses(true).empty());

  ASSERT_EQ(std::system("ip link add vlt0 type veth peer name vlt1 && "
                        "ip addr add 10.77.0.1/24 dev vlt0 && ip addr add 10.77.0.2/24 dev vlt1 && "
                        "ip addr add 10.88.1.1/16 dev vlt1 && ip addr add 10.99.0.1/32 dev vlt1 && "
                        "ip link set vlt0 up && ip link set vlt1 up && ip route add default dev vlt0"),
            0);
  test::sleepMs(200);
  EXPECT_EQ(broadcastAddresses(), (std::vector<std::string>{"10.77.0.255", "10.88.255.255"}));

  UdpSocket receiver, sender;
  ASSERT_TRUE(receiver.open(0, false, "0.0.0.0"));
  ASSERT_TRUE(sender.open(0, true, "0.0.0.0"));
  char buffer[64];
  std::string from;
  std::uint16_t fromPort = 0;
  for (const char* target : {"255.255.255.255", "10.77.0.255"}) {
    SCOPED_TRACE(target);
    ASSERT_TRUE(sender.sendTo(target, receiver.localPort(), "VL", 2));
    EXPECT_EQ(receiveWithin(receiver, buffer, sizeof buffer, from, fromPort), 2);
  }
  UdpSocket quiet;
  ASSERT_TRUE(quiet.open(0, false, "0.0.0.0"));
  EXPECT_FALSE(quiet.sendTo("255.255.255.255", receiver.localPort(), "VL", 2));  // no SO_BROADCAST
}
#endif
