// Helpers shared by the network tests: loopback clients and a recorder for
// the frame server's callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log/helpers.h"
#include "net/client.h"
#include "net/frame.h"
#include "net/frame_server.h"
#include "support/test_support.h"

namespace vl::test {

inline std::vector<std::uint8_t> frameBytes(net::FrameKind kind, const std::string& payload) {
  std::vector<std::uint8_t> out;
  net::appendFrame(out, kind, payload.data(), payload.size());
  return out;
}

// Connects to 127.0.0.1:port, waiting for the connect to finish.
inline bool connectLoopback(net::TcpClient& client, std::uint16_t port, int timeoutMs = 5000) {
  if (!client.startConnect("127.0.0.1", port)) return false;
  const std::uint64_t start = monotonicMs();
  for (;;) {
    const int state = client.pollConnect(static_cast<int>(monotonicMs() - start), timeoutMs);
    if (state != 0) return state == 1;
    sleepMs(1);
  }
}

inline bool sendBytes(net::TcpClient& client, const std::vector<std::uint8_t>& bytes) {
  return client.sendAll(bytes.data(), bytes.size()) == static_cast<std::int64_t>(bytes.size());
}

struct ReceivedFrame {
  net::ClientId id = 0;
  net::FrameKind kind = net::FrameKind::Text;
  std::string payload;
  bool nullPayload = false;
};

// Records what a FrameServer reports; `onFrameHook` runs after recording.
struct ServerRecorder {
  std::vector<net::ClientId> connects;
  std::vector<ReceivedFrame> frames;
  std::vector<net::ClientId> disconnects;
  std::function<void(net::ClientId)> onFrameHook;

  net::FrameServer::ConnectHandler connectHandler() {
    return [this](net::ClientId id) { connects.push_back(id); };
  }
  net::FrameServer::FrameHandler frameHandler() {
    return [this](net::ClientId id, net::FrameKind kind, const std::uint8_t* data, std::uint64_t length) {
      ReceivedFrame f;
      f.id = id;
      f.kind = kind;
      f.nullPayload = data == nullptr;
      if (data != nullptr) f.payload.assign(reinterpret_cast<const char*>(data), length);
      frames.push_back(std::move(f));
      if (onFrameHook) onFrameHook(id);
    };
  }
  net::FrameServer::DisconnectHandler disconnectHandler() {
    return [this](net::ClientId id) { disconnects.push_back(id); };
  }
  void pollOnce(net::FrameServer& server) {
    server.poll(connectHandler(), frameHandler(), disconnectHandler());
  }
  // Polls until `done` holds or the time runs out; true when it held.
  bool pollUntil(net::FrameServer& server, const std::function<bool()>& done, int timeoutMs = 5000) {
    const std::uint64_t start = monotonicMs();
    while (!done()) {
      if (monotonicMs() - start > static_cast<std::uint64_t>(timeoutMs)) return false;
      pollOnce(server);
    }
    return true;
  }
};

// Reads whole frames from a client connection into `out` until `count`
// frames arrived, the peer closed or the time ran out.
inline bool readFrames(net::TcpClient& client, net::FrameDecoder& decoder, std::size_t count,
                       std::vector<ReceivedFrame>& out, int timeoutMs = 5000) {
  std::vector<std::uint8_t> chunk(65536);
  const std::uint64_t start = monotonicMs();
  for (;;) {
    net::FrameView frame;
    while (out.size() < count && decoder.next(frame) == net::DecodeStatus::Frame) {
      ReceivedFrame f;
      f.kind = frame.kind;
      f.nullPayload = frame.payload == nullptr;
      if (frame.payload) f.payload.assign(reinterpret_cast<const char*>(frame.payload), frame.length);
      out.push_back(std::move(f));
    }
    decoder.discardDelivered();
    if (out.size() >= count) return true;
    if (monotonicMs() - start > static_cast<std::uint64_t>(timeoutMs)) return false;
    const int n = client.receive(chunk.data(), static_cast<int>(chunk.size()), 20);
    if (n > 0) decoder.append(chunk.data(), static_cast<std::size_t>(n));
    if (n < 0 || client.broken()) return false;
  }
}

}  // namespace vl::test
