#include <gtest/gtest.h>

#include <memory>

#include "fake_system_platform.h"
#include "log/helpers.h"
#include "log/json_bounded.h"
#include "net/client.h"
#include "support/test_support.h"
#include "sysctl/sysctl_service.h"
#include "sysctl_test_support.h"

namespace vl {
namespace {

using test::EventRecorder;
using test::FakeSystemPlatform;
using test::textFrame;

const char kWakeText[] = "开机/唤醒由中控端直接发魔术包，不走本端口";
const char kBadText[] = "命令不合法：不认识的操作";
const char kRejected[] = "收到一条不合法的系统控制命令，已拒绝：";

std::string ack(bool ok, const std::string& msg) {
  return "{\"msg\":\"" + msg + "\",\"ok\":" + (ok ? "true" : "false") + ",\"t\":\"sys.ack\"}";
}

TEST(ParseSysCtlCommand, AcceptsTheTableExceptWake) {
  for (const char* op : {"shutdown", "restart", "volup", "voldown", "mutetoggle", "mute", "unmute"}) {
    const auto c = parseSysCtlCommand(std::string("{\"t\":\"sys.cmd\",\"op\":\"") + op + "\",\"x\":[1]}");
    EXPECT_TRUE(c.valid) << op;
    EXPECT_EQ(c.op, op);
    EXPECT_EQ(c.step, 2);
  }
  for (const char* text : {
           R"({"t":"sys.cmd","op":"wake"})", R"({"t":"sys.cmd","op":"Shutdown"})",
           R"({"t":"sys.cmd","op":""})", R"({"t":"sys.cmd"})", R"({"op":"volup"})",
           R"({"t":"sys.CMD","op":"volup"})", R"({"t":1,"op":"volup"})", R"({"t":"sys.cmd","op":5})",
           R"({"t":"sys.cmd","op":["volup"]})", R"([{"t":"sys.cmd","op":"volup"}])", R"("volup")",
           R"({"t":"sys.cmd","op":"volup")", "", "null", "\xff\xfe{}",
           "{\"t\":\"sys.cmd\",\"op\":\"vol\xffup\"}"}) {
    EXPECT_FALSE(parseSysCtlCommand(text).valid) << text;
  }
}

TEST(ParseSysCtlCommand, StepIsCutTowardZeroAndClamped) {
  const std::pair<const char*, int> cases[] = {
      {"0", 1},     {"-5", 1},      {"1", 1},      {"50", 50},     {"51", 50},          {"80", 50},
      {"2.9", 2},   {"0.9", 1},     {"-0.5", 1},   {"50.9", 50},   {"1e300", 50},       {"-1e300", 1},
      {"true", 1},  {"false", 1},   {"\"7\"", 2},  {"null", 2},    {"[5]", 2},          {"{}", 2},
      {"18446744073709551615", 50}, {"-9223372036854775808", 1},   {"9223372036854775807", 50},
  };
  for (const auto& [step, expected] : cases) {
    const auto c = parseSysCtlCommand(std::string(R"({"t":"sys.cmd","op":"volup","step":)") + step + "}");
    EXPECT_TRUE(c.valid) << step;
    EXPECT_EQ(c.step, expected) << step;
  }
}

TEST(MakeSysCtlAck, EscapesQuotesAndSurvivesBytesThatAreNotUtf8) {
  EXPECT_EQ(makeSysCtlAck(true, "a\"b", 0, -1), "{\"msg\":\"a\\\"b\",\"ok\":true,\"t\":\"sys.ack\",\"vol\":0}");
  EXPECT_EQ(makeSysCtlAck(true, "静音中", -1, 1), "{\"msg\":\"静音中\",\"muted\":1,\"ok\":true,\"t\":\"sys.ack\"}");
  EXPECT_FALSE(makeSysCtlAck(false, "\xff", -1, -1).empty());
}

class SysCtlServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = test::startOnFreePort(service);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(service.sysCtlReady());
    events.entries.clear();
  }

  test::Exchange send(const std::string& payload) { return test::exchangeWith(service, port, textFrame(payload)); }

  // The single reply of one connection.
  std::string reply(const std::string& payload) {
    const auto x = send(payload);
    EXPECT_TRUE(x.connected);
    EXPECT_TRUE(x.closedByAgent);
    EXPECT_EQ(x.frames.size(), 1u);
    if (x.frames.size() != 1) return {};
    EXPECT_EQ(x.frames[0].kind, net::FrameKind::Text);
    return x.frames[0].payload;
  }

  test::ScopedDryRun noDryRun{false};
  test::LogCapture log;
  FakeSystemPlatform fake;
  EventRecorder events;
  std::uint64_t now = 1000;
  SysCtlService service{events.sink(), &fake, [this] { return now; }};
  std::uint16_t port = 0;
};

TEST_F(SysCtlServiceTest, VolumeCommandsAnswerWithTheLevelsThatHoldAfterwards) {
  fake.level = 0.5f;
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"volup"})"),
            "{\"msg\":\"音量 52%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":52}");
  EXPECT_EQ(events.count(1, "系统控制 音量 +（幅度 2）：音量 52%"), 1);

  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"voldown","step":0})"),
            "{\"msg\":\"音量 51%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":51}");
  EXPECT_EQ(events.count(1, "系统控制 音量 -（幅度 1）：音量 51%"), 1);

  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"volup","step":80})"),
            "{\"msg\":\"音量 100%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":100}");
  EXPECT_EQ(events.count(1, "系统控制 音量 +（幅度 50）：音量 100%"), 1);

  // Other operations ignore the step, but their line shows it clamped.
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"mute","step":-5})"),
            "{\"msg\":\"已静音\",\"muted\":1,\"ok\":true,\"t\":\"sys.ack\",\"vol\":100}");
  EXPECT_EQ(events.count(1, "系统控制 静音（幅度 1）：已静音"), 1);
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"mutetoggle","step":51})"),
            "{\"msg\":\"已取消静音\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":100}");
  EXPECT_EQ(events.count(1, "系统控制 静音切换（幅度 50）：已取消静音"), 1);
  EXPECT_EQ(service.commandCount(), 5u);
}

TEST_F(SysCtlServiceTest, FailedAudioActionAnswersOkFalseWithoutLevels) {
  fake.deviceNull = true;
  for (const char* op : {"mute", "volup"}) {
    EXPECT_EQ(reply(std::string(R"({"t":"sys.cmd","op":")") + op + "\"}"),
              ack(false, "没有默认播放设备（声卡被禁用 / 没装驱动）"));
  }
  EXPECT_EQ(events.count(3, "系统控制 静音（幅度 2）：没有默认播放设备"), 1);
  EXPECT_EQ(events.count(3, "系统控制 音量 +（幅度 2）：没有默认播放设备"), 1);
  EXPECT_EQ(service.commandCount(), 2u);  // counted even though they failed
}

TEST_F(SysCtlServiceTest, RejectedCommandsGetTheRightTextAndAreNotCounted) {
  const std::pair<std::string, const char*> cases[] = {
      {R"({"t":"sys.cmd","op":"wake"})", kWakeText},
      {R"(not json but "wake" anyway)", kWakeText},
      {R"({"t":"sys.cmd","op":"Shutdown","note":"wake"})", kWakeText},
      {R"({"t":"sys.cmd","op":"Shutdown"})", kBadText},
      {R"({"t":"sys.cmd","op":"WAKE"})", kBadText},
      {"\"wake", kBadText},  // five bytes: never the wake text
      {"", kBadText},
      {R"({"t":"sys.cmd","op":7})", kBadText},
      {R"({"t":"hb","op":"volup"})", kBadText},
  };
  for (const auto& [payload, text] : cases) {
    SCOPED_TRACE(payload);
    now += 1000;  // each its own line, not held back
    events.entries.clear();
    EXPECT_EQ(reply(payload), ack(false, text));
    ASSERT_EQ(events.entries.size(), 1u);
    EXPECT_EQ(events.entries[0].level, 2);
    EXPECT_EQ(events.entries[0].text, kRejected + payload);
  }
  EXPECT_EQ(service.commandCount(), 0u);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(SysCtlServiceTest, RejectedPayloadIsLoggedWithItsFirst160BytesAndNoControlBytes) {
  std::string payload = "{\"t\":\"sys.cmd\",\"op\":\"";
  while (payload.size() < 498) payload += "x";
  payload += "\"}";
  ASSERT_EQ(payload.size(), 500u);
  EXPECT_EQ(reply(payload), ack(false, kBadText));
  ASSERT_EQ(events.entries.size(), 1u);
  EXPECT_EQ(events.entries[0].text, kRejected + payload.substr(0, 160));

  // Line breaks and other control bytes cannot forge or cut log lines.
  now += 1000;
  events.entries.clear();
  const char raw[] = "x\n[00:00:00.000][AGENT][ERROR] \"wake\"\r\0tail";
  const std::string forged(raw, sizeof raw - 1);
  EXPECT_EQ(reply(forged), ack(false, kWakeText));
  ASSERT_EQ(events.entries.size(), 1u);
  EXPECT_EQ(events.entries[0].text, std::string(kRejected) + "x?[00:00:00.000][AGENT][ERROR] \"wake\"??tail");
}

TEST_F(SysCtlServiceTest, NonTextFrameClosesWithoutReply) {
  for (const int kind : {2, 0, 7, 255}) {
    const auto x = test::exchangeWith(service, port,
                                      test::frameBytes(static_cast<net::FrameKind>(kind), R"({"t":"sys.cmd","op":"volup"})"));
    EXPECT_TRUE(x.closedByAgent) << kind;
    EXPECT_TRUE(x.frames.empty()) << kind;
  }
  EXPECT_TRUE(events.entries.empty());
  EXPECT_EQ(service.commandCount(), 0u);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(SysCtlServiceTest, OneCommandPerConnection) {
  fake.level = 0.5f;
  const auto x = test::exchangeWith(service, port,
                                    textFrame(R"({"t":"sys.cmd","op":"volup"})") +
                                        textFrame(R"({"t":"sys.cmd","op":"volup"})") +
                                        textFrame(R"({"t":"sys.cmd","op":"restart"})"));
  EXPECT_TRUE(x.closedByAgent);
  ASSERT_EQ(x.frames.size(), 1u);
  EXPECT_EQ(service.commandCount(), 1u);
  EXPECT_EQ(fake.volumeSets.size(), 1u);
  EXPECT_TRUE(service.pendingOp().empty());
}

TEST_F(SysCtlServiceTest, PowerCommandIsAcknowledgedFirstAndRunsFromTheTickAfter400Ms) {
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"shutdown","step":9})"), ack(true, "正在关机"));
  EXPECT_EQ(service.commandCount(), 1u);
  EXPECT_EQ(service.pendingOp(), "shutdown");
  EXPECT_EQ(service.pendingDueMs(), 1400u);
  ASSERT_EQ(events.entries.size(), 1u);
  EXPECT_EQ(events.entries[0].level, 2);
  EXPECT_EQ(events.entries[0].text, "收到系统控制：关机 —— 0.4 秒后执行（先回执，避免中控端判超时）");
  EXPECT_TRUE(fake.calls.empty());

  now = 1399;
  service.tick();
  EXPECT_TRUE(fake.powerRequests.empty());
  now = 1400;
  service.tick();
  EXPECT_EQ(fake.powerRequests, std::vector<bool>{false});
  EXPECT_TRUE(service.pendingOp().empty());
  now = 5000;
  service.tick();
  EXPECT_EQ(fake.powerRequests.size(), 1u);
  EXPECT_EQ(events.entries.size(), 1u);  // success adds no line
}

TEST_F(SysCtlServiceTest, SecondPowerCommandReplacesTheFirstAndRestartsTheDelay) {
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"shutdown"})"), ack(true, "正在关机"));
  now = 1300;
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"restart"})"), ack(true, "正在重启"));
  EXPECT_EQ(service.pendingDueMs(), 1700u);
  now = 1699;
  service.tick();
  EXPECT_TRUE(fake.powerRequests.empty());
  now = 1700;
  service.tick();
  EXPECT_EQ(fake.powerRequests, std::vector<bool>{true});
  EXPECT_EQ(service.commandCount(), 2u);
  EXPECT_EQ(events.count(2, "收到系统控制：重启 —— 0.4 秒后执行"), 1);
}

TEST_F(SysCtlServiceTest, PowerFailureAfterTheDelayOnlyReachesTheLog) {
  fake.adjustLastError = kErrorNotAllAssigned;
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"restart"})"), ack(true, "正在重启"));
  now = 2000;
  service.tick();
  EXPECT_TRUE(fake.powerRequests.empty());
  EXPECT_EQ(events.count(3, "系统控制 重启 执行失败：没有关机权限（“关闭系统”权限被组策略收走了，需要管理员运行被控端）"), 1);
}

TEST_F(SysCtlServiceTest, PendingPowerCommandIsDroppedAtStop) {
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"shutdown"})"), ack(true, "正在关机"));
  service.stop();
  EXPECT_FALSE(service.sysCtlReady());
  now = 10000;
  service.tick();
  service.runPendingPowerOp();
  EXPECT_TRUE(fake.powerRequests.empty());
  EXPECT_TRUE(fake.calls.empty());
}

std::string volupPaddedTo(std::size_t size) {
  std::string text = R"({"t":"sys.cmd","op":"volup"})";
  text.resize(size, ' ');
  return text;
}

// Text over the limit is dropped unparsed and ends the connection; up to the
// limit it is parsed, but never deeper than the depth bound.
TEST_F(SysCtlServiceTest, OversizedTextIsNeverParsedAndEndsTheConnection) {
  struct Case {
    const char* name;
    std::string payload;
    const char* answer;  // null: closed without one
  };
  const Case cases[] = {
      {"valid command one byte over", volupPaddedTo(kMaxTextFrameBytes + 1), nullptr},
      {"valid command at the limit", volupPaddedTo(kMaxTextFrameBytes), "音量 52%"},
      {"nesting at the limit in size", std::string(kMaxTextFrameBytes, '['), kBadText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake.level = 0.5f;
    fake.volumeSets.clear();
    events.entries.clear();
    now += 1000;
    const auto x = send(c.payload);
    EXPECT_TRUE(x.closedByAgent);
    if (c.answer == nullptr) {
      EXPECT_TRUE(x.frames.empty());
      EXPECT_TRUE(fake.volumeSets.empty());
      ASSERT_EQ(events.entries.size(), 1u);
      EXPECT_EQ(events.entries[0].level, 2);
      EXPECT_NE(events.entries[0].text.find(formatString("发来过大的文本帧（%zu 字节），已断开", c.payload.size())),
                std::string::npos);
    } else {
      ASSERT_EQ(x.frames.size(), 1u);
      EXPECT_NE(x.frames[0].payload.find(c.answer), std::string::npos) << x.frames[0].payload;
    }
  }

  // The header alone is enough: the payload is neither awaited nor kept.
  events.entries.clear();
  now += 1000;
  std::string header(net::kFrameHeaderSize, '\0');
  net::encodeFrameHeader(reinterpret_cast<std::uint8_t*>(header.data()), net::FrameKind::Text, 4 << 20);
  const auto x = test::exchangeWith(service, port, header);
  EXPECT_TRUE(x.closedByAgent);
  EXPECT_EQ(events.count(2, "发来过大的文本帧（4194304 字节），已断开"), 1);

  // Megabytes of "[" once took gigabytes to parse; now a few bytes of log.
  events.entries.clear();
  now += 1000;
  const std::string deep(4 << 20, '[');
  service.handleSysCtlFrame(77, net::FrameKind::Text, reinterpret_cast<const std::uint8_t*>(deep.data()), deep.size());
  ASSERT_EQ(events.entries.size(), 1u);
  EXPECT_EQ(events.entries[0].text, "系统控制连接 #77 发来过大的文本帧（4194304 字节），已断开");
}

// Lines of each kind come through whole at a human rate; a flood is
// bounded, and every line left out is counted in a line that is written
// (inline, or in the summary once the flood is over).
TEST(SysCtlServiceLogBudget, RejectedRefusedAndOversizedLinesAtEachRate) {
  const std::string bad = R"({"t":"sys.cmd","op":"nope"})";
  const std::string power = R"({"t":"sys.cmd","op":"shutdown"})";
  const std::string big(kMaxTextFrameBytes + 1, ' ');
  struct Kind {
    const std::string* payload;
    const char* line;
    const char* summary;
  };
  const Kind kinds[] = {
      {&bad, kRejected, "条不合法的系统控制命令未记"},
      {&power, "本机已禁止远程关机/重启，已拒绝", "条被拒绝的关机/重启命令未记"},
      {&big, "过大的文本帧", "条过大的系统控制帧未记"},
  };
  struct Pattern {
    const char* name;
    int count;
    std::uint64_t spacingMs;
    int lines;  // written while they come
  };
  const Pattern patterns[] = {
      {"one", 1, 0, 1},
      {"five within a second", 5, 200, 5},
      {"sixteen at once", 16, 0, 16},
      {"a flood of 1,000 at once", 1000, 0, 16},
      // 16 at once, then one per 250 ms: at 250, 500 and 750.
      {"a flood of 1,000 over a second", 1000, 1, 19},
  };
  for (const auto& kind : kinds) {
    for (const auto& p : patterns) {
      SCOPED_TRACE(std::string(kind.line) + " / " + p.name);
      FakeSystemPlatform fake;
      EventRecorder events;
      std::uint64_t now = 5000;
      SysCtlService service{events.sink(), &fake, [&now] { return now; }};
      ASSERT_NE(test::startOnFreePort(service), 0);
      service.setPowerAllowed(false);
      events.entries.clear();
      for (int i = 0; i < p.count; ++i) {
        service.handleSysCtlFrame(9, net::FrameKind::Text, reinterpret_cast<const std::uint8_t*>(kind.payload->data()),
                                  kind.payload->size());
        now += p.spacingMs;
      }
      EXPECT_EQ(events.count(2, kind.line), p.lines);
      service.tick();
      now += 250;
      service.tick();
      service.tick();
      // Every command is either a line or counted in one.
      std::uint64_t accounted = 0;
      int summaries = 0;
      for (const auto& e : events.entries) {
        unsigned long long held = 0;
        const auto at = e.text.find("另有 ");
        if (at != std::string::npos) held = std::strtoull(e.text.c_str() + at + 7, nullptr, 10);
        if (e.text.find(kind.summary) != std::string::npos) {
          ++summaries;
        } else {
          EXPECT_NE(e.text.find(kind.line), std::string::npos) << e.text;
          ++accounted;
        }
        accounted += held;
      }
      EXPECT_EQ(accounted, static_cast<std::uint64_t>(p.count));
      EXPECT_EQ(summaries, p.count > p.lines ? 1 : 0);
      EXPECT_TRUE(fake.calls.empty());
    }
  }
}

TEST_F(SysCtlServiceTest, ForbiddenPowerIsAnsweredOkFalseWhileAudioStillWorks) {
  service.setPowerAllowed(false);
  for (const char* op : {"shutdown", "restart"}) {
    now += 1000;
    EXPECT_EQ(reply(std::string(R"({"t":"sys.cmd","op":")") + op + "\"}"), ack(false, "本机已禁止远程关机/重启"));
  }
  EXPECT_EQ(events.count(2, "收到系统控制：关机 —— 本机已禁止远程关机/重启，已拒绝"), 1);
  EXPECT_EQ(events.count(2, "收到系统控制：重启 —— 本机已禁止远程关机/重启，已拒绝"), 1);
  EXPECT_TRUE(service.pendingOp().empty());
  now += 10000;
  service.tick();
  EXPECT_TRUE(fake.calls.empty());
  fake.level = 0.5f;
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"volup"})"),
            "{\"msg\":\"音量 52%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":52}");

  // Forbidden while one was waiting: it never runs.
  service.setPowerAllowed(true);
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"shutdown"})"), ack(true, "正在关机"));
  service.setPowerAllowed(false);
  now += 10000;
  service.tick();
  EXPECT_TRUE(fake.powerRequests.empty());
}

TEST_F(SysCtlServiceTest, PowerRequestThatFailsLaterIsLoggedFromTheTick) {
  fake.lateFailures = {{true, 3}, {false, 110}};
  service.tick();
  EXPECT_EQ(events.count(3, "系统控制 重启 执行失败：系统拒绝了重启请求（错误 3）"), 1);
  EXPECT_EQ(events.count(3, "系统控制 关机 执行失败：系统拒绝了关机请求（错误 110）"), 1);
  service.tick();
  EXPECT_EQ(events.entries.size(), 2u);
}

// A connection that has not delivered its command 5 s after it was accepted
// is closed, whether it sent nothing or only part of a frame.
TEST_F(SysCtlServiceTest, ConnectionWithoutACommandIsClosedAfterFiveSeconds) {
  const std::string header = textFrame(R"({"t":"sys.cmd","op":"volup"})").substr(0, 7);
  for (const std::string& sent : {std::string(), header}) {
    SCOPED_TRACE(sent.size());
    events.entries.clear();
    now += 1000;
    const std::uint64_t accepted = now;
    net::TcpClient client;
    ASSERT_TRUE(test::connectTicking(service, port, client));
    ASSERT_EQ(client.sendAll(sent.data(), sent.size()), static_cast<std::int64_t>(sent.size()));
    now = accepted + kSysCtlIdleMs - 1;
    EXPECT_FALSE(test::closedTicking(service, client, 5));
    now = accepted + kSysCtlIdleMs;
    EXPECT_TRUE(test::closedTicking(service, client, 500));
    EXPECT_EQ(events.count(1, "5 秒内没有发来命令，已断开"), 1);
  }
  EXPECT_TRUE(fake.calls.empty());
}

// A full server makes room by closing its oldest connection that has not
// sent a command: silent connections cannot lock the Pad out.
TEST_F(SysCtlServiceTest, SilentConnectionsMakeRoomForARealCommand) {
  std::vector<std::unique_ptr<net::TcpClient>> clients;
  for (std::size_t i = 0; i < kMaxSysCtlClients; ++i) {
    clients.push_back(std::make_unique<net::TcpClient>());
    ASSERT_TRUE(test::connectTicking(service, port, *clients.back()));
  }
  fake.level = 0.5f;
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"volup"})"),
            "{\"msg\":\"音量 52%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":52}");
  EXPECT_TRUE(test::closedTicking(service, *clients.front(), 300));
  for (std::size_t i = 1; i < kMaxSysCtlClients; ++i) EXPECT_FALSE(test::closedTicking(service, *clients[i], 1)) << i;
  EXPECT_TRUE(log.contains("连接数已达上限 16，断开最早的连接"));

  // Full again: the next command takes the next oldest, the newest stays.
  clients.push_back(std::make_unique<net::TcpClient>());
  ASSERT_TRUE(test::connectTicking(service, port, *clients.back()));
  EXPECT_NE(reply(R"({"t":"sys.cmd","op":"mute"})").find("\"ok\":true"), std::string::npos);
  EXPECT_TRUE(test::closedTicking(service, *clients[1], 300));
  EXPECT_FALSE(test::closedTicking(service, *clients[2], 1));
  EXPECT_FALSE(test::closedTicking(service, *clients.back(), 1));
}

// A storm of connections that close before they are noticed still leaves
// the next real command its answer.
TEST_F(SysCtlServiceTest, StormOfClosedConnectionsDoesNotRefuseTheNextCommand) {
  {
    std::vector<std::unique_ptr<net::TcpClient>> storm;
    for (int i = 0; i < 200; ++i) {
      storm.push_back(std::make_unique<net::TcpClient>());
      ASSERT_TRUE(storm.back()->startConnect("127.0.0.1", port)) << i;
    }
    for (auto& c : storm) {
      for (int wait = 0; wait < 3000 && c->pollConnect(0, 0) == 0; ++wait) test::sleepMs(1);
    }
  }  // all closed here, none of them accepted yet
  fake.level = 0.5f;
  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"volup"})"),
            "{\"msg\":\"音量 52%\",\"muted\":0,\"ok\":true,\"t\":\"sys.ack\",\"vol\":52}");
  EXPECT_EQ(service.commandCount(), 1u);
}

TEST(SysCtlServiceStart, TakenPortLeavesTheServiceOffButPowerStillRuns) {
  test::ScopedDryRun noDryRun(false);
  test::LogCapture log;
  FakeSystemPlatform fake;
  EventRecorder first, second;
  std::uint64_t now = 0;
  SysCtlService a(first.sink(), &fake, [&] { return now; });
  const std::uint16_t port = test::startOnFreePort(a);
  ASSERT_NE(port, 0);
  EXPECT_EQ(first.count(1, formatString("系统控制服务就绪，端口 %u（中控端可远程关机/重启/音量/静音）", port)), 1);

  SysCtlService b(second.sink(), &fake, [&] { return now; });
  EXPECT_FALSE(b.start(port, "127.0.0.1"));
  EXPECT_FALSE(b.sysCtlReady());
  EXPECT_EQ(b.port(), port);
  EXPECT_EQ(second.count(2, formatString("系统控制端口 %u 被占用 ⇒ 中控端无法控制本机系统操作", port)), 1);
  b.tick();  // not polled, no crash

  // The tick still runs a due power operation on a service that is off.
  const std::string command = R"({"t":"sys.cmd","op":"restart"})";
  b.handleSysCtlFrame(1, net::FrameKind::Text, reinterpret_cast<const std::uint8_t*>(command.data()),
                      command.size());
  now = 399;
  b.tick();
  EXPECT_TRUE(fake.powerRequests.empty());
  now = 400;
  b.tick();
  EXPECT_EQ(fake.powerRequests, std::vector<bool>{true});
  b.stop();
  b.stop();
}

// What the agent's tick waits for on this service's behalf: its sockets, the
// pending power operation and the close of a connection that stays silent.
TEST_F(SysCtlServiceTest, TheTicksWaitEndsForThePowerOperationAndASilentConnection) {
  net::WaitSet waits;
  service.planWait(waits);
  EXPECT_EQ(waits.entries().size(), 1u);  // the listening socket
  EXPECT_EQ(waits.dueMs(), net::WaitSet::kNever);

  EXPECT_EQ(reply(R"({"t":"sys.cmd","op":"shutdown"})"), ack(true, "正在关机"));
  waits.clear();
  service.planWait(waits);
  EXPECT_EQ(waits.dueMs(), 1400u);

  net::TcpClient silent;
  ASSERT_TRUE(silent.startConnect("127.0.0.1", port));
  for (int i = 0; i < 1000 && waits.entries().size() < 2; ++i) {
    service.poll();
    waits.clear();
    service.planWait(waits);
  }
  ASSERT_EQ(waits.entries().size(), 2u);
  EXPECT_EQ(waits.dueMs(), 1400u);
  now = 1400;
  service.tick();
  waits.clear();
  service.planWait(waits);
  EXPECT_EQ(waits.dueMs(), 1000u + kSysCtlIdleMs);  // the silent one's close
  now = 1000 + kSysCtlIdleMs;
  service.tick();
  waits.clear();
  service.planWait(waits);
  EXPECT_EQ(waits.dueMs(), net::WaitSet::kNever);
}

}  // namespace
}  // namespace vl
