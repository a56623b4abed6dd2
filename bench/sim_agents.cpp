// vl_sim_agents: many agents in one process for the web console benchmark.
// Each finds the hub by a discovery probe, links to it (hello, a heartbeat
// a second) and serves an echo port that answers subscriptions and sends a
// synthetic JPEG to each viewer at the viewer's own rate. No capture, no
// input: only what the console sees on the wire.
//
//   vl_sim_agents --count N [--hub ADDR] [--hub-port 24690] [--first-port 25000]
//                 [--width 1280] [--height 720] [--seconds S]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "echo/jpeg.h"
#include "log/helpers.h"
#include "net/client.h"
#include "net/frame.h"
#include "net/frame_server.h"

namespace {

using Json = nlohmann::json;

struct Viewer {
  bool subscribed = false;
  int fps = 25;
  std::uint64_t lastSentMs = 0;
};

struct SimAgent {
  int index = 0;
  vl::net::FrameServer echo;
  std::map<vl::net::ClientId, Viewer> viewers;
  vl::net::TcpClient link;
  vl::net::FrameDecoder decoder;
  std::uint64_t lastHeartbeatMs = 0;
  bool linked = false;
};

std::vector<std::vector<std::uint8_t>> makeFrames(int width, int height, int count) {
  // A moving gradient with some detail, so the JPEGs are of desktop size.
  std::vector<std::vector<std::uint8_t>> frames;
  vl::PixelFrame picture;
  picture.setSize(width, height);
  for (int f = 0; f < count; ++f) {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        std::uint8_t* p = &picture.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        const bool text = ((x / 7 + y / 11 + f) % 5 == 0) && (y % 24 < 14);
        p[0] = static_cast<std::uint8_t>(text ? 20 : (x + f * 13) & 0xFF);
        p[1] = static_cast<std::uint8_t>(text ? 20 : (y * 2 + f * 7) & 0xFF);
        p[2] = static_cast<std::uint8_t>(text ? 20 : 160);
        p[3] = 255;
      }
    }
    std::vector<std::uint8_t> jpeg;
    vl::encodeJpeg(picture, 60, jpeg);
    frames.push_back(std::move(jpeg));
  }
  return frames;
}

bool sendText(vl::net::TcpClient& client, const std::string& text) {
  std::vector<std::uint8_t> bytes;
  vl::net::appendFrame(bytes, vl::net::FrameKind::Text, text.data(), text.size());
  return client.sendAll(bytes.data(), bytes.size()) == static_cast<std::int64_t>(bytes.size());
}

// Asks the hub's discovery port for its link port; 0 when nobody answers.
std::uint16_t discover(const std::string& hub, std::uint16_t port) {
  vl::net::UdpSocket udp;
  if (!udp.open(0, false, "127.0.0.1") && !udp.open(0, false)) return 0;
  for (int attempt = 0; attempt < 50; ++attempt) {
    udp.sendTo(hub, port, "VL-FIND?V1", 10);
    for (int wait = 0; wait < 20; ++wait) {
      char reply[2048];
      std::string sender;
      std::uint16_t senderPort = 0;
      const int n = udp.receiveFrom(reply, sizeof reply, sender, senderPort);
      if (n > 10 && std::strncmp(reply, "VL-HUB!V1|", 10) == 0) {
        const Json body = Json::parse(reply + 10, reply + n, nullptr, false);
        if (body.is_object() && body.contains("port") && body["port"].is_number())
          return static_cast<std::uint16_t>(body["port"].get<int>());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 64, width = 1280, height = 720;
  std::string hub = "127.0.0.1";
  std::uint16_t hubPort = 24690, firstPort = 25000;
  double seconds = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--count") count = std::atoi(v.c_str());
    else if (a == "--hub") hub = v;
    else if (a == "--hub-port") hubPort = static_cast<std::uint16_t>(std::atoi(v.c_str()));
    else if (a == "--first-port") firstPort = static_cast<std::uint16_t>(std::atoi(v.c_str()));
    else if (a == "--width") width = std::atoi(v.c_str());
    else if (a == "--height") height = std::atoi(v.c_str());
    else if (a == "--seconds") seconds = std::atof(v.c_str());
  }
  vl::logSetStderrEnabled(false);
  const auto frames = makeFrames(width, height, 8);
  std::size_t bytes = 0;
  for (const auto& f : frames) bytes += f.size();
  std::printf("synthetic JPEG %dx%d, %zu bytes on average\n", width, height, bytes / frames.size());

  const std::uint16_t linkPort = discover(hub, hubPort);
  if (linkPort == 0) {
    std::fprintf(stderr, "vl_sim_agents: no discovery reply from %s:%u\n", hub.c_str(), hubPort);
    return 2;
  }
  std::vector<std::unique_ptr<SimAgent>> agents;
  for (int i = 0; i < count; ++i) {
    auto agent = std::make_unique<SimAgent>();
    agent->index = i;
    if (!agent->echo.listen(static_cast<std::uint16_t>(firstPort + i), "127.0.0.1")) {
      std::fprintf(stderr, "vl_sim_agents: port %d taken\n", firstPort + i);
      return 2;
    }
    agents.push_back(std::move(agent));
  }
  std::printf("%d agents, echo ports %u-%u, linking to %s:%u\n", count, firstPort, firstPort + count - 1,
              hub.c_str(), linkPort);
  std::fflush(stdout);

  const std::uint64_t start = vl::monotonicMs();
  std::vector<std::uint8_t> chunk(65536);
  unsigned long long sent = 0;
  while (seconds <= 0 || vl::monotonicMs() - start < static_cast<std::uint64_t>(seconds * 1000)) {
    const std::uint64_t now = vl::monotonicMs();
    for (auto& a : agents) {
      SimAgent& agent = *a;
      // The link: connect, hello, heartbeats; replies are read and dropped.
      if (!agent.link.isOpen()) {
        agent.linked = false;
        if (!agent.link.startConnect(hub, linkPort)) continue;
      }
      if (agent.link.connecting()) {
        if (agent.link.pollConnect(0, 0) < 0) continue;
        if (agent.link.connecting()) continue;
      }
      if (!agent.linked) {
        const Json hello = {{"caps", {"echo", "push"}}, {"echoPort", firstPort + agent.index},
                            {"h", height},             {"id", vl::formatString("sim_%03d", agent.index)},
                            {"kind", "agent"},         {"name", vl::formatString("模拟机 %02d", agent.index + 1)},
                            {"t", "hello"},            {"ver", "1.0.0"},
                            {"w", width}};
        agent.linked = sendText(agent.link, hello.dump());
        agent.lastHeartbeatMs = now;
      } else if (now - agent.lastHeartbeatMs > 1000) {
        agent.lastHeartbeatMs = now;
        sendText(agent.link, Json{{"id", vl::formatString("sim_%03d", agent.index)}, {"t", "hb"},
                                  {"ts", vl::unixTimeMs()}}.dump());
      }
      if (agent.link.receive(chunk.data(), static_cast<int>(chunk.size()), 0) <= 0 && agent.link.broken())
        agent.link.close();

      agent.echo.poll(
          [&](vl::net::ClientId id) { agent.viewers[id] = Viewer{}; },
          [&](vl::net::ClientId id, vl::net::FrameKind kind, const std::uint8_t* data, std::uint64_t length) {
            if (kind != vl::net::FrameKind::Text) return;
            const Json m = Json::parse(data, data + length, nullptr, false);
            if (!m.is_object() || !m.contains("t") || !m["t"].is_string()) return;
            Viewer& viewer = agent.viewers[id];
            if (m["t"] == "subscribe" || m["t"] == "sub") {
              viewer.subscribed = true;
              if (m.contains("fps") && m["fps"].is_number()) viewer.fps = std::max(1, m["fps"].get<int>());
              agent.echo.sendText(id, Json{{"fps", 25}, {"h", height}, {"maxW", width}, {"quality", 60},
                                           {"t", "sub.ok"}, {"w", width}}.dump());
            } else if (m["t"] == "unsub") {
              viewer.subscribed = false;
            }
          },
          [&](vl::net::ClientId id) { agent.viewers.erase(id); });
      for (auto& [id, viewer] : agent.viewers) {
        const int rate = std::min(viewer.fps, 25);
        if (!viewer.subscribed || now - viewer.lastSentMs < static_cast<std::uint64_t>(1000 / rate)) continue;
        // Like the agent: nothing more while the last frames still wait.
        if (agent.echo.pendingBytes(id) > 4 * frames[0].size()) continue;
        viewer.lastSentMs = now;
        const auto& jpeg = frames[(now / 500 + agent.index) % frames.size()];
        agent.echo.sendBinary(id, jpeg.data(), jpeg.size());
        ++sent;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("sent %llu frames\n", sent);
  return 0;
}
