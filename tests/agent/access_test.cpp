// Access control: the allow-list as a table, the gate's warnings, and a
// refusal at the real ports of a started agent.
#include <gtest/gtest.h>

#include "agent_fixture.h"
#include "net/allow_list.h"
#include "net/socket_sys.h"

namespace vl {
namespace {

std::uint32_t ip(const char* text) {
  net::Ipv4Endpoint e;
  EXPECT_TRUE(net::resolveIPv4(text, 0, e)) << text;
  return e.address;
}

TEST(AllowList, ParsesEntriesAndDecidesByAddress) {
  struct Case {
    const char* list;
    const char* peer;
    const char* pad;  // "" none
    bool permitted;
  };
  const Case cases[] = {
      {"", "10.1.2.3", "", true},  // no list: everyone
      {" , ,", "10.1.2.3", "", true},
      {"192.168.1.20", "192.168.1.20", "", true},
      {"192.168.1.20", "192.168.1.21", "", false},
      {"192.168.1.20", "127.0.0.1", "", true},  // always
      {"192.168.1.20", "127.0.0.2", "", false},
      {"10.0.0.0/8", "10.255.1.1", "", true},
      {"10.1.2.3/8", "10.9.9.9", "", true},  // host bits are ignored
      {"10.0.0.0/8", "11.0.0.1", "", false},
      {"0.0.0.0/0", "8.8.8.8", "", true},
      {"172.16.5.4/32", "172.16.5.4", "", true},
      {"pad", "192.168.1.9", "192.168.1.9", true},
      {"pad", "192.168.1.9", "", false},  // no Pad known yet
      {"pad", "192.168.1.8", "192.168.1.9", false},
      {" 192.168.1.0/24 ,pad ", "192.168.1.77", "10.0.0.1", true},
      // Typos narrow, never widen: the list stays in force.
      {"192.168.1", "192.168.1.1", "", false},
      {"192.168.1.0/33", "192.168.1.1", "", false},
      {"192.168.1.0/", "192.168.1.1", "", false},
      {"256.1.1.1", "0.1.1.1", "", false},
      {"1.2.3.4.5", "1.2.3.4", "", false},
      {"+1.2.3.4", "1.2.3.4", "", false},
      {"PAD", "192.168.1.9", "192.168.1.9", false},
      {"0001.2.3.4", "1.2.3.4", "", false},
  };
  for (const Case& c : cases) {
    const net::AllowList list = net::parseAllowList(c.list);
    const std::uint32_t pad = c.pad[0] ? ip(c.pad) : 0;
    EXPECT_EQ(net::allowListPermits(list, ip(c.peer), pad), c.permitted) << c.list << " / " << c.peer;
  }
  const net::AllowList list = net::parseAllowList("10.1.2.3/8, 1.2.3.4, bogus, pad, 5.6.7.8/0");
  EXPECT_EQ(net::describeAllowList(list), "10.0.0.0/8, 1.2.3.4, 0.0.0.0/0, pad");
  EXPECT_EQ(list.rejected, std::vector<std::string>{"bogus"});
}

TEST(AccessSummary, SaysWhatIsInForce) {
  EXPECT_EQ(describeAccess(net::parseAllowList(""), false, true), "不限来源");
  EXPECT_EQ(describeAccess(net::parseAllowList("x"), false, true), "仅允许本机");
  EXPECT_EQ(describeAccess(net::parseAllowList("10.0.0.0/8,pad"), true, false),
            "仅允许 10.0.0.0/8, pad 及本机，仅观看，禁止远程关机/重启");
}

TEST(AccessGate, RefusedAddressIsLoggedOncePerMinute) {
  test::LogCapture log;
  AccessGate gate;
  gate.configure(net::parseAllowList("pad"));
  EXPECT_TRUE(gate.admit("127.0.0.1", "推流", 0));
  EXPECT_FALSE(gate.admit("10.0.0.5", "推流", 1000));
  EXPECT_FALSE(gate.admit("10.0.0.5", "系统控制", 30000));
  EXPECT_FALSE(gate.admit("10.0.0.6", "推流", 30000));
  EXPECT_FALSE(gate.admit("not an address", "推流", 30000));
  EXPECT_EQ(log.count("已拒绝来自 10.0.0.5 的推流连接（不在允许名单内）"), 1);
  EXPECT_EQ(log.count("已拒绝来自 10.0.0.6 的推流连接"), 1);
  EXPECT_FALSE(gate.admit("10.0.0.5", "推流", 61000));
  EXPECT_EQ(log.count("已拒绝来自 10.0.0.5"), 2);
  gate.setPadAddress(ip("10.0.0.5"));
  EXPECT_TRUE(gate.admit("10.0.0.5", "推流", 62000));
}

// Connects from `source` (a loopback address other than 127.0.0.1) and
// reports whether the agent closed the connection without a byte.
bool closedAtAccept(const char* source, std::uint16_t port, int waitMs = 3000) {
  using namespace net;
  ensureWinsock();
  const SocketHandle s = sys::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int error = 0;
  if (s == kInvalidSocket || !sys::bindIPv4(s, source, 0, error)) {
    sys::closeSocket(s);
    ADD_FAILURE() << "cannot bind " << source;
    return false;
  }
  Ipv4Endpoint to;
  resolveIPv4("127.0.0.1", port, to);
  const sockaddr_in address = sys::toSockaddr(to);
  bool closed = false;
  if (::connect(sys::toNative(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    char byte = 0;
    closed = sys::waitSocket(s, true, false, true, waitMs) > 0 && sys::recvSome(s, &byte, 1) <= 0;
  }
  sys::closeSocket(s);
  return closed;
}

class AccessAgentTest : public test::AgentTest {};

TEST_F(AccessAgentTest, OnlyListedAddressesReachTheStreamAndSystemPorts) {
  // The agent's tick and the echo thread accept; refusals happen there.
  Agent a(environment(test::freePortPair()));
  a.allowGivenOnCommandLine = true;
  a.allowOnCommandLine = "127.0.0.3, nonsense";
  a.noPowerOnCommandLine = true;
  a.start(nullptr);
  EXPECT_EQ(a.accessSummary(), "仅允许 127.0.0.3 及本机，禁止远程关机/重启");
  EXPECT_TRUE(log_.contains("允许名单中有无法识别的条目，已忽略：nonsense"));

  EXPECT_TRUE(closedAtAccept("127.0.0.2", a.echoPort()));
  EXPECT_FALSE(closedAtAccept("127.0.0.3", a.echoPort(), 300));
  test::TestViewer viewer;  // 127.0.0.1
  ASSERT_TRUE(viewer.connect(a.echoPort()));
  ASSERT_TRUE(viewer.sendText(R"({"t":"sub"})"));
  for (int i = 0; i < 100 && viewer.frames().empty(); ++i) viewer.receive(20);
  EXPECT_EQ(viewer.takeText().rfind("{\"fps\"", 0), 0u);

  std::atomic<bool> refused{false};
  std::thread ticker([&] {
    for (int i = 0; i < 200 && !refused; ++i) {
      a.agentTick();
      test::sleepMs(5);
    }
  });
  refused = closedAtAccept("127.0.0.2", a.sysCtl()->port());
  ticker.join();
  EXPECT_TRUE(refused);
  a.finishSettingsWrites();
  // One warning per address and minute, whichever port it tried.
  EXPECT_EQ(log_.count("已拒绝来自 127.0.0.2 的推流连接（不在允许名单内）"), 1);
  EXPECT_EQ(log_.count("已拒绝来自 127.0.0.2"), 1);
  a.stop();
  // A one-run list is not written into the settings.
  EXPECT_EQ(readSettings().find("allow"), std::string::npos);
}

TEST_F(AccessAgentTest, BackgroundSavesKeepTheNewestTextAndTheSavedList) {
  writeSettings(R"({"allow":"10.0.0.0/8"})");
  Agent& a = startAgent();
  EXPECT_EQ(a.accessSummary(), "仅允许 10.0.0.0/8 及本机");
  for (int fps = 1; fps <= 20; ++fps) {
    a.settings.fps = fps;
    a.saveSettingsInBackground();
  }
  a.finishSettingsWrites();
  EXPECT_NE(readSettings().find("\"fps\": 20"), std::string::npos);
  EXPECT_NE(readSettings().find("\"allow\": \"10.0.0.0/8\""), std::string::npos);
}

}  // namespace
}  // namespace vl
