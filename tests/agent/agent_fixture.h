// The agent against fakes, shared by the agent's test programs: a fake
// screen, injector and system, loopback ports chosen per test, an injected
// clock, and a Pad on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent.h"
#include "fake_system_platform.h"
#include "log/helpers.h"
#include "net/frame_server.h"
#include "service_support.h"
#include "support/test_support.h"

namespace vl::test {

inline std::vector<MonitorInfo> twoMonitors() {
  return {MonitorInfo{0, 0, 1920, 1080, true, "A"}, MonitorInfo{1920, 0, 1280, 1024, false, "B"}};
}

inline std::uint16_t freePortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto port = static_cast<std::uint16_t>(20000 + random64() % 30000);
    net::FrameServer a, b, c;
    if (a.listen(port, "127.0.0.1") && b.listen(port + 1, "127.0.0.1") && c.listen(port + 2, "127.0.0.1"))
      return port;
  }
  return 0;
}

// An agent whose clock the test moves; ports on 127.0.0.1 chosen per test.
class AgentTest : public ::testing::Test {
 protected:
  AgentEnvironment environment(std::uint16_t basePort) {
    AgentEnvironment env;
    env.clock = [this] { return clock_; };
    env.dataDirectory = dir_.path();
    env.echoBasePort = basePort;
    env.sysCtlPort = static_cast<std::uint16_t>(basePort + 1);
    env.bindAddress = "127.0.0.1";
    env.desktop = [this](std::vector<MonitorInfo>& m, DesktopMetrics& d) {
      m = monitors_;
      d = desktop_;
      if (m.empty()) d = DesktopMetrics{};
    };
    env.probeTargets = [this] { return probeTargets_; };
    env.makeEchoService = [] {
      return std::make_unique<EchoService>(std::make_unique<FakeFrameSource>(64, 48),
                                           std::make_unique<RecordingInjector>());
    };
    env.systemPlatform = &system_;
    return env;
  }
  Agent& startAgent(std::uint16_t basePort = 0, void* window = nullptr) {
    if (basePort == 0) basePort = freePortPair();
    agent_ = std::make_unique<Agent>(environment(basePort));
    agent_->start(window);
    return *agent_;
  }
  void writeSettings(const std::string& text) {
    createDirectories(dir_.path());
    ASSERT_TRUE(writeWholeFile(dir_.file("settings.json"), text));
  }
  std::string readSettings() {
    std::string text;
    if (agent_) agent_->finishSettingsWrites();
    readWholeFile(dir_.file("settings.json"), text);
    return text;
  }
  void tickFor(int passes) {
    for (int i = 0; i < passes; ++i) {
      agent_->agentTick();
      sleepMs(2);
    }
  }

  LogCapture log_;
  TempDir dir_;
  std::uint64_t clock_ = 10000;
  std::vector<MonitorInfo> monitors_ = twoMonitors();
  DesktopMetrics desktop_{0, 0, 3200, 1080, 1920, 1080};
  std::vector<std::pair<std::string, std::uint16_t>> probeTargets_;
  FakeSystemPlatform system_;
  std::unique_ptr<Agent> agent_;
};

// A Pad on 127.0.0.1 that records what the agent sends.
class FakePad {
 public:
  bool listen() {
    for (int attempt = 0; attempt < 50; ++attempt) {
      port = static_cast<std::uint16_t>(20000 + random64() % 30000);
      if (server.listen(port, "127.0.0.1")) return true;
    }
    return false;
  }
  void poll() {
    server.poll([this](net::ClientId id) { client = id; },
                [this](net::ClientId, net::FrameKind, const std::uint8_t* p, std::uint64_t n) {
                  received.emplace_back(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
                },
                [this](net::ClientId id) {
                  if (client == id) client = 0;
                });
  }
  void send(const std::vector<std::string>& texts) {
    server.sendFrame(client, net::FrameKind::Binary, "x", 1);
    for (const auto& t : texts) server.sendText(client, t);
  }
  int count(const std::string& type) const {
    int n = 0;
    for (const auto& r : received) n += r.find("\"t\":\"" + type + "\"") != std::string::npos;
    return n;
  }
  net::FrameServer server;
  std::uint16_t port = 0;
  net::ClientId client = 0;
  std::vector<std::string> received;
};

}  // namespace vl::test
