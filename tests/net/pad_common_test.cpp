// The velmora-pad connection helper against a local frame server.
#include <gtest/gtest.h>

#include <thread>

#include "net_test_util.h"
#include "velmora-pad/common.h"

using namespace vl;
using namespace vl::net;

TEST(PadCommon, ParseHostPort) {
  std::string host;
  std::uint16_t port = 0;
  ASSERT_TRUE(pad::parseHostPort("10.0.0.5", 24692, host, port));
  EXPECT_EQ(host, "10.0.0.5");
  EXPECT_EQ(port, 24692);
  ASSERT_TRUE(pad::parseHostPort("10.0.0.5:24693", 24692, host, port));
  EXPECT_EQ(port, 24693);
  ASSERT_TRUE(pad::parseHostPort("localhost:65535", 1, host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 65535);
  for (const char* bad : {"", ":80", "h:", "h:0", "h:65536", "h:12a", "h:-1", "::1", "h:123456"}) {
    host = "keep";
    EXPECT_FALSE(pad::parseHostPort(bad, 1, host, port)) << bad;
    EXPECT_EQ(host, "keep");
  }
}

TEST(PadCommon, ExchangesFramesWithAServer) {
  test::LogCapture log;
  FrameServer server;
  ASSERT_TRUE(server.listen(0, "127.0.0.1"));
  test::ServerRecorder rec;
  rec.onFrameHook = [&](ClientId id) {
    std::string big(300000, 'j');
    server.sendBinary(id, big.data(), big.size());
    server.sendText(id, "{\"t\":\"sub.ok\"}");
    server.closeClient(id, true);
  };

  pad::PadConnection pad;
  std::string error;
  std::thread serverThread([&] {
    rec.pollUntil(server, [&] { return !rec.frames.empty() && server.clientCount() == 0; }, 15000);
  });
  ASSERT_TRUE(pad.connect("127.0.0.1", server.localPort(), 3000, error)) << error;
  ASSERT_TRUE(pad.sendText("{\"t\":\"subscribe\"}"));
  FrameKind kind;
  std::vector<std::uint8_t> payload;
  ASSERT_EQ(pad.receiveFrame(kind, payload, 5000), 1);
  EXPECT_EQ(kind, FrameKind::Binary);
  EXPECT_EQ(payload.size(), 300000u);
  ASSERT_EQ(pad.receiveFrame(kind, payload, 5000), 1);
  EXPECT_EQ(kind, FrameKind::Text);
  EXPECT_EQ(std::string(payload.begin(), payload.end()), "{\"t\":\"sub.ok\"}");
  EXPECT_EQ(pad.receiveFrame(kind, payload, 5000), -1);  // server closed after draining
  EXPECT_FALSE(pad.isOpen());
  serverThread.join();
  ASSERT_EQ(rec.frames.size(), 1u);
  EXPECT_EQ(rec.frames[0].payload, "{\"t\":\"subscribe\"}");
}

TEST(PadCommon, TimeOutsAndFailures) {
  FrameServer server;
  ASSERT_TRUE(server.listen(0, "127.0.0.1"));
  const std::uint16_t port = server.localPort();
  pad::PadConnection pad;
  std::string error;
  ASSERT_TRUE(pad.connect("127.0.0.1", port, 3000, error)) << error;
  FrameKind kind;
  std::vector<std::uint8_t> payload;
  EXPECT_EQ(pad.receiveFrame(kind, payload, 30), 0);
  EXPECT_TRUE(pad.isOpen());

  EXPECT_FALSE(pad.connect("pad.example", port, 100, error));
  EXPECT_NE(error.find("IPv4"), std::string::npos);
  server.closeAll();
  error.clear();
  EXPECT_FALSE(pad.connect("127.0.0.1", port, 2000, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(pad.sendText("{}"));
}
