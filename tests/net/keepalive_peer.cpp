// One end of the keepalive end-to-end test. "serve ADDR PORT" runs a frame
// server and "connect ADDR PORT" a TcpClient; each prints "connected" once
// its connection is up and "lost after N ms" when the connection is found
// dead, then exits 0. Neither sends anything after connecting, so only
// keepalive probing can find out that the other end has vanished. Exits 1
// when nothing happens within two minutes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "log/helpers.h"
#include "net/client.h"
#include "net/frame_server.h"

namespace {

constexpr std::uint64_t kGiveUpMs = 120000;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int serve(const std::string& address, std::uint16_t port) {
  vl::net::FrameServer server;
  if (!server.listen(port, address)) {
    say("cannot listen");
    return 1;
  }
  say("listening");
  std::uint64_t connectedAt = 0;
  bool lost = false;
  const auto onConnect = [&](vl::net::ClientId id) {
    connectedAt = vl::monotonicMs();
    say("connected #" + std::to_string(id));
  };
  const auto onDisconnect = [&](vl::net::ClientId id) {
    lost = true;
    say("lost #" + std::to_string(id) + " after " + std::to_string(vl::monotonicMs() - connectedAt) + " ms");
  };
  const std::uint64_t started = vl::monotonicMs();
  while (!lost && vl::monotonicMs() - started < kGiveUpMs) server.pollWithWait(onConnect, {}, onDisconnect, 100);
  return lost ? 0 : 1;
}

int connect(const std::string& address, std::uint16_t port) {
  vl::net::TcpClient client;
  if (!client.startConnect(address, port)) {
    say("cannot connect");
    return 1;
  }
  const std::uint64_t started = vl::monotonicMs();
  int state = 0;
  while ((state = client.pollConnect(static_cast<int>(vl::monotonicMs() - started), 10000)) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (state < 0) {
    say("cannot connect");
    return 1;
  }
  const std::uint64_t connectedAt = vl::monotonicMs();
  say("connected");
  char buffer[256];
  while (!client.broken() && vl::monotonicMs() - started < kGiveUpMs) client.receive(buffer, sizeof buffer, 100);
  if (!client.broken()) return 1;
  say("lost after " + std::to_string(vl::monotonicMs() - connectedAt) + " ms");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s serve|connect ADDRESS PORT\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[3]));
  if (mode == "serve") return serve(argv[2], port);
  if (mode == "connect") return connect(argv[2], port);
  return 2;
}
