// velmora-pad hub as a child process over 127.0.0.1 (discovery, the link,
// standard input on Linux), and its command parser in this process.
#include <gtest/gtest.h>

#include <algorithm>

#include "net_test_util.h"
#include "velmora-pad/hub_commands.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vl {
namespace {

using pad::HubCommand;

std::string padPath() {
#if defined(_WIN32)
  return joinPath(exeDirectory(), "..\\..\\velmora-pad.exe");
#else
  return joinPath(exeDirectory(), "../../velmora-pad");
#endif
}

// A port that UDP and TCP can both have on 127.0.0.1 right now.
std::uint16_t freePort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    net::FrameServer server;
    if (!server.listen(0, "127.0.0.1")) continue;
    const std::uint16_t port = server.localPort();
    server.closeAll();
    net::UdpSocket udp;
    if (udp.open(port, false, "127.0.0.1")) return port;
  }
  return 0;
}

// The hub, killed by PID when the object goes. On Linux standard input and
// output are files (a terminal would stop a child that reads it).
struct HubProcess {
  ~HubProcess() { test::killProcess(child); }
  bool start(std::uint16_t port, const std::vector<std::string>& extra, const std::string& input = "/dev/null",
             const std::string& output = "/dev/null") {
#if defined(_WIN32)
    (void)input;
    (void)output;
    std::vector<std::string> argv = {padPath(), "hub"};
#else
    std::vector<std::string> argv = {"/bin/sh", "-c", "src=$1 dst=$2; shift 2; exec \"$0\" hub \"$@\" <\"$src\" >\"$dst\"",
                                     padPath(), input, output};
#endif
    for (const char* a : {"--bind", "127.0.0.1", "--seconds", "60", "--port"}) argv.push_back(a);
    argv.push_back(std::to_string(port));
    argv.insert(argv.end(), extra.begin(), extra.end());
    child = test::startProcess(argv);
    return child.valid();
  }
  test::ChildProcess child;
};

// Connects as an agent, retrying while the hub starts.
bool connectAgent(net::TcpClient& client, std::uint16_t port) {
  for (const std::uint64_t start = monotonicMs(); monotonicMs() - start < 15000; test::sleepMs(50)) {
    if (test::connectLoopback(client, port, 2000)) return true;
    client.close();
  }
  return false;
}

bool sendText(net::TcpClient& client, const std::string& json) {
  return test::sendBytes(client, test::frameBytes(net::FrameKind::Text, json));
}

// The next text frame's payload, "" when none came within 5 s.
std::string nextText(net::TcpClient& client, net::FrameDecoder& decoder) {
  std::vector<test::ReceivedFrame> frames;
  if (!test::readFrames(client, decoder, 1, frames)) return "";
  return frames[0].kind == net::FrameKind::Text ? frames[0].payload : "(binary)";
}

// Datagrams arriving within waitMs, ending 300 ms after the first one.
std::vector<std::string> receiveDatagrams(net::UdpSocket& udp, int waitMs) {
  std::vector<std::string> got;
  char buffer[2048];
  for (std::uint64_t end = monotonicMs() + waitMs; monotonicMs() < end;) {
    std::string sender;
    std::uint16_t senderPort = 0;
    const int n = udp.receiveFrom(buffer, sizeof buffer, sender, senderPort);
    if (n > 0) {
      got.emplace_back(buffer, static_cast<std::size_t>(n));
      end = std::min(end, monotonicMs() + 300);
    } else {
      test::sleepMs(5);
    }
  }
  return got;
}

class PadHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fileExists(padPath())) GTEST_SKIP() << "velmora-pad is not built at " << padPath();
    port = freePort();
    ASSERT_NE(port, 0);
  }
  test::LogCapture log;
  std::uint16_t port = 0;
};

TEST_F(PadHubTest, AnswersOnlyTheExactProbe) {
  struct Case {
    std::vector<std::string> args;
    std::string body;  // "" for no answer at all
  };
  const Case cases[] = {
      {{"--name", "大厅 Hub"}, R"({"name":"大厅 Hub","port":PORT})"},
      {{"--ip", "10.0.0.7"}, R"({"ip":"10.0.0.7","name":"velmora-pad","port":PORT})"},
      {{"--no-discovery"}, ""},
  };
  const std::string wrongProbes[] = {"VL-FIND?V1\n", "vl-find?v1", "VL-FIND?V", "VL-FIND?V2", " VL-FIND?V1", ""};
  for (const Case& c : cases) {
    port = freePort();
    HubProcess hub;
    ASSERT_TRUE(hub.start(port, c.args));
    net::TcpClient agent;  // the link listens once discovery is bound
    ASSERT_TRUE(connectAgent(agent, port));
    net::UdpSocket udp;
    ASSERT_TRUE(udp.open(0, false, "127.0.0.1"));
    for (const std::string& wrong : wrongProbes)
      ASSERT_TRUE(udp.sendTo("127.0.0.1", port, wrong.data(), static_cast<int>(wrong.size())));
    ASSERT_TRUE(udp.sendTo("127.0.0.1", port, "VL-FIND?V1", 10));

    std::string body = c.body;
    if (const std::size_t at = body.find("PORT"); at != std::string::npos) body.replace(at, 4, std::to_string(port));
    const std::vector<std::string> expected =
        body.empty() ? std::vector<std::string>{} : std::vector<std::string>{"VL-HUB!V1|" + body};
    EXPECT_EQ(receiveDatagrams(udp, body.empty() ? 500 : 5000), expected) << c.args[0];
  }
}

TEST_F(PadHubTest, WelcomesAgentsAndAcksHeartbeats) {
  HubProcess hub;
  ASSERT_TRUE(hub.start(port, {"--name", "大厅中控"}));
  net::TcpClient first, second;
  net::FrameDecoder firstIn, secondIn;
  ASSERT_TRUE(connectAgent(first, port));
  ASSERT_TRUE(connectAgent(second, port));

  // None of these has an answer, so the first frame back is the hb.ack.
  for (const char* ignored : {"not json", "[1,2]", "", R"({"t":5})", R"({"t":"HELLO"})", R"({"hello":1})",
                              R"({"t":"welcome"})", R"({"t":"hello")"})
    ASSERT_TRUE(sendText(first, ignored)) << ignored;
  ASSERT_TRUE(test::sendBytes(first, test::frameBytes(net::FrameKind::Binary, R"({"t":"hb"})")));
  ASSERT_TRUE(sendText(first, R"({"id":"agent_A","t":"hb","ts":1700000000123})"));
  EXPECT_EQ(nextText(first, firstIn), R"({"t":"hb.ack"})");

  ASSERT_TRUE(sendText(first, R"({"caps":["echo","push"],"echoPort":24692,"id":"agent_A","kind":"agent",)"
                              R"("name":"PC-01","t":"hello","ver":"1.0.0"})"));
  EXPECT_EQ(nextText(first, firstIn), R"({"hubName":"大厅中控","t":"welcome"})");
  // Members of the wrong type count as absent; the hello still links.
  ASSERT_TRUE(sendText(second, R"({"caps":7,"echoPort":"x","h":[],"id":5,"name":null,"t":"hello","w":"wide"})"));
  EXPECT_EQ(nextText(second, secondIn), R"({"hubName":"大厅中控","t":"welcome"})");
  ASSERT_TRUE(sendText(second, R"({"id":{},"t":"hb","ts":"soon"})"));
  EXPECT_EQ(nextText(second, secondIn), R"({"t":"hb.ack"})");
  ASSERT_TRUE(sendText(first, R"({"t":"hb"})"));
  EXPECT_EQ(nextText(first, firstIn), R"({"t":"hb.ack"})");
}

TEST_F(PadHubTest, ExitCodes) {
  net::FrameServer taken;
  const std::uint16_t takenPort = freePort();
  ASSERT_TRUE(taken.listen(takenPort, "127.0.0.1"));
  struct Case {
    std::uint16_t port;
    std::vector<std::string> extra;
    int code;
  };
  const Case cases[] = {{port, {"--seconds", "0.3"}, 0}, {takenPort, {}, 2},   {port, {"--port", "65536"}, 2},
                        {port, {"--bind", "pad.example"}, 2}, {port, {"--ip", "pad.example"}, 2},
                        {port, {"--seconds", "-1"}, 2},      {port, {"--colour"}, 2}, {port, {"--name"}, 2},
                        // The web console: its address, token and agents file.
                        {port, {"--web", std::to_string(freePort()), "--seconds", "0.3"}, 0},
                        {port, {"--web", "127.0.0.1:" + std::to_string(takenPort)}, 2},
                        {port, {"--web", "70000"}, 2}, {port, {"--web", "pad.example:80"}, 2},
                        {port, {"--web-token", "a b"}, 2}, {port, {"--web-token", ""}, 2},
                        {port, {"--web", std::to_string(freePort()), "--agents", "no-such-agents-file.txt"}, 2}};
  for (const Case& c : cases) {
    HubProcess hub;
    ASSERT_TRUE(hub.start(c.port, c.extra));
    EXPECT_EQ(test::waitProcess(hub.child, 15000), c.code) << (c.extra.empty() ? "port taken" : c.extra[0]);
  }
}

#if !defined(_WIN32)
// Reads `path` until it holds `text` or 5 s have passed.
std::string waitForOutput(const std::string& path, const std::string& text) {
  std::string out;
  for (const std::uint64_t start = monotonicMs(); monotonicMs() - start < 5000; test::sleepMs(20))
    if (readWholeFile(path, out) && out.find(text) != std::string::npos) break;
  return out;
}

TEST_F(PadHubTest, StandardInputReachesLinkedAgents) {
  test::TempDir dir;
  const std::string fifo = dir.file("in"), output = dir.file("out");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  HubProcess hub;
  ASSERT_TRUE(hub.start(port, {"--name", "hub-1"}, fifo, output));
  int input = -1;  // opening a FIFO for writing fails until its reader has it open
  for (const std::uint64_t start = monotonicMs(); input < 0 && monotonicMs() - start < 10000; test::sleepMs(20))
    input = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(input, 0);

  net::TcpClient agent;
  net::FrameDecoder in;
  ASSERT_TRUE(connectAgent(agent, port));
  ASSERT_TRUE(sendText(agent, "{\"echoPort\":24692,\"h\":1080,\"id\":\"agent_1A2B3C4D\",\"name\":\"PC-01 被控端\\n伪造\","
                              "\"t\":\"hello\",\"w\":1920}"));
  ASSERT_EQ(nextText(agent, in), R"({"hubName":"hub-1","t":"welcome"})");

  const std::string commands = "cfg quality=70 maxw=1280 fps=30 on=1\nbogus\ntoast 你好  世界\r\nlist\nkick 重复登录";
  ASSERT_EQ(::write(input, commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
  ::close(input);  // the last line has no newline: the end of input still sends it
  EXPECT_EQ(nextText(agent, in), R"({"fps":30,"maxW":1280,"on":true,"quality":70,"t":"echo.cfg"})");
  EXPECT_EQ(nextText(agent, in), R"({"msg":"你好  世界","t":"toast"})");
  EXPECT_EQ(nextText(agent, in), R"({"reason":"重复登录","t":"kick"})");
  ASSERT_TRUE(sendText(agent, R"({"id":"agent_1A2B3C4D","t":"hb","ts":1700000000123})"));
  EXPECT_EQ(nextText(agent, in), R"({"t":"hb.ack"})");  // still running after the end of input
  agent.close();
  waitForOutput(output, "bye #1");

  ::kill(static_cast<pid_t>(hub.child.pid), SIGTERM);
  EXPECT_EQ(test::waitProcess(hub.child, 10000), 0);
  std::string printed;
  ASSERT_TRUE(readWholeFile(output, printed));
  const std::string p = std::to_string(port);
  EXPECT_EQ(printed,
            "hub \"hub-1\" listening on 127.0.0.1:" + p + " (discovery on)\n"
            "hello #1 agent_1A2B3C4D \"PC-01 被控端?伪造\" echoPort=24692 1920x1080 from 127.0.0.1\n"
            "sent echo.cfg to 1 agent(s)\n"
            "sent toast to 1 agent(s)\n"
            "1 agent(s) linked\n"
            "  #1 agent_1A2B3C4D \"PC-01 被控端?伪造\" 127.0.0.1 echoPort=24692 heartbeats=0\n"
            "sent kick to 1 agent(s)\n"
            "hb agent_1A2B3C4D: 1 heartbeat, last ts=1700000000123\n"
            "bye #1 agent_1A2B3C4D\n");
}
#endif

TEST(PadHubCommands, LineToMessage) {
  using Kind = HubCommand::Kind;
  struct Case {
    const char* line;
    Kind kind;
    const char* message;  // Send: the JSON text
  };
  const Case cases[] = {
      {"cfg quality=70 maxw=1280 fps=30 on=1", Kind::Send, R"({"fps":30,"maxW":1280,"on":true,"quality":70,"t":"echo.cfg"})"},
      {" cfg\tmaxW=-5 on=false fps=2147483647 ", Kind::Send, R"({"fps":2147483647,"maxW":-5,"on":false,"t":"echo.cfg"})"},
      {"toast  say \"hi\"\tnow ", Kind::Send, R"({"msg":"say \"hi\"\tnow","t":"toast"})"},
      {"toast", Kind::Send, R"({"msg":"","t":"toast"})"},
      {"toast \xff!", Kind::Send, "{\"msg\":\"\xEF\xBF\xBD!\",\"t\":\"toast\"}"},
      {"kick 重复登录", Kind::Send, R"({"reason":"重复登录","t":"kick"})"},
      {"list", Kind::List, ""},
      {" \t\r", Kind::None, ""},
      {"cfg", Kind::Invalid, ""},
      {"cfg quality=", Kind::Invalid, ""},
      {"cfg fps=2147483648", Kind::Invalid, ""},
      {"cfg on=2", Kind::Invalid, ""},
      {"cfg speed=3", Kind::Invalid, ""},
      {"list all", Kind::Invalid, ""},
      {"toasty", Kind::Invalid, ""},
  };
  for (const Case& c : cases) {
    const HubCommand command = pad::parseHubCommand(c.line);
    EXPECT_EQ(command.kind, c.kind) << c.line;
    EXPECT_EQ(command.message, c.message) << c.line;
    EXPECT_EQ(command.error.empty(), c.kind != Kind::Invalid) << c.line;
  }
}

TEST(PadHubCommands, TextForDisplay) {
  struct Case {
    std::string text;
    std::size_t max;
    std::string shown;
  };
  const Case cases[] = {
      {"a\nb\x7f", 80, "a?b?"}, {"你好", 6, "你好"}, {"你好", 5, "你"},
      {"a你", 2, "a"},          {"😀x", 3, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(pad::textForDisplay(c.text, c.max), c.shown) << c.text << " " << c.max;
}

}  // namespace
}  // namespace vl
