// The small blocking client the velmora-pad commands share: one TCP
// connection speaking the frame format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/client.h"
#include "net/frame.h"

namespace vl::pad {

using net::FrameKind;

// "HOST" or "HOST:PORT" (port 1-65535). "localhost" is taken as 127.0.0.1
// because the connection resolves dotted addresses only. false on a
// malformed text; host and port are then unchanged.
bool parseHostPort(const std::string& text, std::uint16_t defaultPort, std::string& host,
                   std::uint16_t& port);

// Width and height from a JPEG file's frame header; false when the bytes
// are not a complete JPEG file.
bool jpegSize(const std::uint8_t* data, std::size_t size, int& width, int& height);

class PadConnection {
 public:
  PadConnection() = default;
  ~PadConnection() { close(); }
  PadConnection(const PadConnection&) = delete;
  PadConnection& operator=(const PadConnection&) = delete;

  // Connects within timeoutMs; on failure `error` says why in one line.
  bool connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error);
  bool isOpen() const { return client_.isOpen(); }

  bool sendText(const std::string& json);
  bool sendFrame(net::FrameKind kind, const void* payload, std::size_t length);

  // Waits up to timeoutMs for one whole frame: 1 a frame (any kind), 0 the
  // time ran out, -1 the connection closed or broke (also on a malformed
  // frame, after which the stream cannot be read on).
  int receiveFrame(net::FrameKind& kind, std::vector<std::uint8_t>& payload, int timeoutMs);

  void close();

 private:
  net::TcpClient client_;
  net::FrameDecoder decoder_;
  std::vector<std::uint8_t> sendBuffer_;
  std::vector<std::uint8_t> readChunk_;
};

}  // namespace vl::pad
