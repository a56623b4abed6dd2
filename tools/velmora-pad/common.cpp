#include "velmora-pad/common.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "log/helpers.h"
#include "net/socket.h"
#include "velmora-pad/hub_commands.h"

namespace vl::pad {

bool parseHostPort(const std::string& text, std::uint16_t defaultPort, std::string& host,
                   std::uint16_t& port) {
  std::string h = text;
  std::uint16_t p = defaultPort;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    h = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    unsigned value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    p = static_cast<std::uint16_t>(value);
  }
  if (h.empty() || h.find(':') != std::string::npos) return false;
  if (h == "localhost") h = "127.0.0.1";
  host = h;
  port = p;
  return true;
}

std::string textForDisplay(std::string_view text, std::size_t maxBytes) {
  std::string out = printableForLog(text.substr(0, std::min(text.size(), maxBytes + 1)));
  if (out.size() <= maxBytes) return out;
  // out[maxBytes] is the first byte left out; when it continues a sequence,
  // that sequence (at most 4 bytes long) goes too.
  std::size_t cut = maxBytes;
  for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80; ++i) --cut;
  out.resize(cut);
  return out;
}

bool jpegSize(const std::uint8_t* j, std::size_t size, int& width, int& height) {
  if (size < 4 || j[0] != 0xFF || j[1] != 0xD8 || j[size - 2] != 0xFF || j[size - 1] != 0xD9) return false;
  std::size_t i = 2;
  while (i + 4 <= size && j[i] == 0xFF) {
    const std::uint8_t marker = j[i + 1];
    const std::size_t length = (static_cast<std::size_t>(j[i + 2]) << 8) | j[i + 3];
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (i + 9 > size) return false;
      height = (j[i + 5] << 8) | j[i + 6];
      width = (j[i + 7] << 8) | j[i + 8];
      return true;
    }
    i += 2 + length;
  }
  return false;
}

bool PadConnection::connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error) {
  close();
  net::Ipv4Endpoint endpoint;
  if (!net::resolveIPv4(host, port, endpoint)) {
    error = "\"" + host + "\" is not an IPv4 address";
    return false;
  }
  if (!client_.startConnect(host, port)) {
    error = formatString("cannot connect to %s:%u", host.c_str(), static_cast<unsigned>(port));
    return false;
  }
  const std::uint64_t start = monotonicMs();
  for (;;) {
    const int elapsed = static_cast<int>(monotonicMs() - start);
    const int state = client_.pollConnect(elapsed, timeoutMs > 0 ? timeoutMs : 1);
    if (state == 1) return true;
    if (state < 0) {
      error = formatString("cannot connect to %s:%u (refused or no answer within %d ms)", host.c_str(),
                           static_cast<unsigned>(port), timeoutMs);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool PadConnection::sendText(const std::string& json) {
  return sendFrame(net::FrameKind::Text, json.data(), json.size());
}

bool PadConnection::sendFrame(net::FrameKind kind, const void* payload, std::size_t length) {
  if (!client_.isOpen()) return false;
  sendBuffer_.clear();
  if (!net::appendFrame(sendBuffer_, kind, payload, length)) return false;
  return client_.sendAll(sendBuffer_.data(), sendBuffer_.size()) ==
         static_cast<std::int64_t>(sendBuffer_.size());
}

int PadConnection::receiveFrame(net::FrameKind& kind, std::vector<std::uint8_t>& payload, int timeoutMs) {
  if (readChunk_.empty()) readChunk_.resize(65536);
  const std::uint64_t start = monotonicMs();
  for (;;) {
    net::FrameView frame;
    const net::DecodeStatus status = decoder_.next(frame);
    if (status == net::DecodeStatus::Frame) {
      kind = frame.kind;
      // Delivered bytes are dropped by the next append, once per read
      // rather than once per frame.
      payload.assign(frame.payload, frame.payload + frame.length);
      return 1;
    }
    if (status == net::DecodeStatus::BadLength || !client_.isOpen()) {
      close();
      return -1;
    }
    const std::uint64_t elapsed = monotonicMs() - start;
    const int left = timeoutMs > 0 && elapsed < static_cast<std::uint64_t>(timeoutMs)
                         ? timeoutMs - static_cast<int>(elapsed)
                         : 0;
    const int n = client_.receive(readChunk_.data(), static_cast<int>(readChunk_.size()), left);
    if (n > 0) {
      if (!decoder_.append(readChunk_.data(), static_cast<std::size_t>(n))) {
        close();
        return -1;
      }
      continue;
    }
    if (n < 0 || client_.broken()) {
      close();
      return -1;
    }
    if (left == 0) return 0;
  }
}

void PadConnection::close() {
  client_.close();
  decoder_.clear();
}

}  // namespace vl::pad
