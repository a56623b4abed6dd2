#include "net/frame_server.h"

#include <algorithm>

#include "log/helpers.h"
#include "log/log.h"
#include "net/socket_sys.h"

namespace vl::net {

struct FrameServer::ClientConnection {
  SocketHandle socket = kInvalidSocket;
  std::string peerAddress = "0.0.0.0";
  std::uint16_t peerPort = 0;
  FrameDecoder receiveBuffer;
  std::vector<std::uint8_t> sendQueue;
  std::size_t sentOffset = 0;
  bool closeWhenDrained = false;

  std::size_t unsent() const { return sendQueue.size() - sentOffset; }
};

struct FrameServer::PollSet {
  std::vector<sys::PollFd> fds;
};

namespace {
// Compaction threshold of the send queue: move the unsent tail to the front
// only when a large, dominant part of the queue has already gone out.
constexpr std::size_t kCompactAfter = 65536;

// Grows the send queue ahead of a frame of `frameBytes`. Short of compaction
// the queue keeps up to 64 KiB (or as much as is still unsent) of sent bytes
// in front of the unsent ones, so an owner that keeps about one frame plus
// 64 KiB unsent (as the echo stream does) needs room for three frames and
// 128 KiB. Reserving that at once lets a steady stream settle after its
// first frame instead of regrowing step by step.
void reserveFor(std::vector<std::uint8_t>& queue, std::size_t frameBytes) {
  const std::size_t needed = queue.size() + frameBytes;
  if (needed <= queue.capacity()) return;
  queue.reserve(std::max(2 * needed, needed + 2 * (frameBytes + kCompactAfter)));
}
}  // namespace

FrameServer::FrameServer() : scratch_(kReadChunk), pollSet_(std::make_unique<PollSet>()) {}

FrameServer::~FrameServer() { closeAll(); }

FrameServer::ClientConnection* FrameServer::find(ClientId id) const {
  const auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second.get();
}

ClientId FrameServer::takeClientId() {
  // After the counter wraps, an id still held by a long-lived client is
  // passed over instead of replacing that client's record.
  for (;;) {
    const ClientId id = nextClientId_;
    nextClientId_ = nextClientId_ + 1 == 0 ? 1 : nextClientId_ + 1;
    if (clients_.find(id) == clients_.end()) return id;
  }
}

bool FrameServer::listen(std::uint16_t port, const std::string& bindAddress) {
  closeAll();
  ensureWinsock();
  const SocketHandle s = sys::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kInvalidSocket) return false;
  if (!sys::setExclusiveAddressUse(s)) sys::setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
  int error = 0;
  if (!sys::bindIPv4(s, bindAddress, port, error)) {
    if (error != 0) logWrite(LogLevel::Error, "TCP 绑定端口 %u 失败, err=%d", static_cast<unsigned>(port), error);
    sys::closeSocket(s);
    return false;
  }
  if (::listen(sys::toNative(s), SOMAXCONN) != 0) {
    sys::closeSocket(s);
    return false;
  }
  sys::setNonBlocking(s, true);
  listenSocket_ = s;
  port_ = port;
  logWrite(LogLevel::Info, "TCP 控制通道已监听 0.0.0.0:%u", static_cast<unsigned>(port));
  return true;
}

void FrameServer::acceptPending(const ConnectHandler& onConnect) {
  for (int i = 0; i < kAcceptsPerPass && listenSocket_ != kInvalidSocket; ++i) {
    sockaddr_in peer{};
    sys::AddrLen peerLength = sizeof peer;
    const SocketHandle s = sys::acceptSocket(listenSocket_, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (s == kInvalidSocket) break;
    sys::setNonBlocking(s, true);
    sys::setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
    sys::setIntOption(s, SOL_SOCKET, SO_SNDBUF, sendBufferSize_);
    // A viewer whose cable is pulled must still be noticed, so its held
    // buttons and keys are released.
    sys::setKeepAlive(s);

    std::string peerAddress = "0.0.0.0";
    std::uint16_t peerPort = 0;
    if (peer.sin_family == AF_INET) {
      const Ipv4Endpoint endpoint = sys::fromSockaddr(peer);
      peerAddress = formatIPv4(endpoint.address);
      peerPort = endpoint.port;
    }
    if (acceptFilter_ && !acceptFilter_(peerAddress)) {
      sys::closeSocket(s);
      continue;
    }
    if (maxClients_ != 0 && clients_.size() >= maxClients_) {
      const ClientId evicted = makeRoom_ ? makeRoom_() : 0;
      const bool room = evicted != 0 && find(evicted) != nullptr;
      std::uint64_t held = 0;
      if (overLimitLog_.allow(monotonicMs(), &held)) {
        const std::string more = held ? formatString("（另有 %llu 次未记）", static_cast<unsigned long long>(held)) : "";
        if (room) {
          logWrite(LogLevel::Warn, "端口 %u 连接数已达上限 %zu，断开最早的连接 #%u，接纳 %s:%u%s",
                   static_cast<unsigned>(port_), maxClients_, evicted, peerAddress.c_str(),
                   static_cast<unsigned>(peerPort), more.c_str());
        } else {
          logWrite(LogLevel::Warn, "端口 %u 连接数已达上限 %zu，拒绝 %s:%u%s", static_cast<unsigned>(port_),
                   maxClients_, peerAddress.c_str(), static_cast<unsigned>(peerPort), more.c_str());
        }
      }
      if (!room) {
        sys::closeSocket(s);
        continue;
      }
      closeNow(evicted);
    }

    const ClientId id = takeClientId();
    auto client = std::make_unique<ClientConnection>();
    client->socket = s;
    client->receiveBuffer.setMaxPayload(maxFramePayload_);
    if (skipFrames_) client->receiveBuffer.setSkipAbove(skipText_, skipOther_);
    client->peerAddress = std::move(peerAddress);
    client->peerPort = peerPort;
    const std::string peerText = client->peerAddress + ":" + std::to_string(client->peerPort);
    clients_.emplace(id, std::move(client));
    std::uint64_t held = 0;
    if (connectionLog_.allow(monotonicMs(), &held)) {
      if (held) {
        logWrite(LogLevel::Info, "客户端接入 #%u 来自 %s（另有 %llu 条连接记录未记）", id, peerText.c_str(),
                 static_cast<unsigned long long>(held));
      } else {
        logWrite(LogLevel::Info, "客户端接入 #%u 来自 %s", id, peerText.c_str());
      }
    }
    if (onConnect) onConnect(id);
  }
}

void FrameServer::poll(const ConnectHandler& onConnect, const FrameHandler& onFrame,
                       const DisconnectHandler& onDisconnect) {
  pollWithWait(onConnect, onFrame, onDisconnect, -1);
}

void FrameServer::pollWithWait(const ConnectHandler& onConnect, const FrameHandler& onFrame,
                               const DisconnectHandler& onDisconnect, int waitMs) {
  if (listenSocket_ == kInvalidSocket && clients_.empty()) return;
  // A poll from inside a callback would reuse the poll set under our feet.
  if (polling_) return;
  struct Guard {
    bool& flag;
    ~Guard() { flag = false; }
  } guard{polling_};
  polling_ = true;
  // A negative wait is poll's own: 2 ms, and only while clients are connected.
  if (waitMs < 0) {
    pollPass(onConnect, onFrame, onDisconnect, kPollTimeoutMs, false);
  } else {
    pollPass(onConnect, onFrame, onDisconnect, waitMs, true);
  }
}

void FrameServer::planWait(WaitSet& waits) const {
  waits.watch(listenSocket_);
  for (const auto& [id, client] : clients_) waits.watch(client->socket, client->unsent() != 0);
}

void FrameServer::pollPass(const ConnectHandler& onConnect, const FrameHandler& onFrame,
                           const DisconnectHandler& onDisconnect, int waitMs, bool watchListen) {
  // A watched listening socket is accepted from once the wait reports it:
  // an accept that finds nothing is a system call per pass for nothing.
  if (!watchListen) acceptPending(onConnect);
  extraReady_ = 0;

  auto& fds = pollSet_->fds;
  fds.clear();
  pollIds_.clear();
  for (const auto& [id, client] : clients_) {
    short events = sys::kPollRead;
    if (client->unsent() != 0) events = static_cast<short>(events | sys::kPollWrite);
    fds.emplace_back();
    sys::setPollFd(fds.back(), client->socket, events);
    pollIds_.push_back(id);
  }
  const std::size_t firstExtra = fds.size();
  int extraSlots[kExtraWaitSlots] = {};
  int extras = 0;
  for (int slot = 0; slot < kExtraWaitSlots; ++slot) {
    const SocketHandle extra = extraWaits_[slot];
    if (!watchListen || extra == kInvalidSocket) continue;
    fds.emplace_back();
    sys::setPollFd(fds.back(), extra, sys::kPollRead);
    extraSlots[extras++] = slot;
  }
  const bool listenWatched = watchListen && listenSocket_ != kInvalidSocket;
  if (listenWatched) {
    fds.emplace_back();
    sys::setPollFd(fds.back(), listenSocket_, sys::kPollRead);
  }
  if (fds.empty()) return;

  if (sys::pollSockets(fds.data(), fds.size(), waitMs) < 0) {
    logWrite(LogLevel::Error, "WSAPoll 失败 err=%d", sys::lastError());
    return;
  }

  for (int i = 0; i < extras; ++i)
    if (fds[firstExtra + static_cast<std::size_t>(i)].revents != 0) extraReady_ |= 1u << extraSlots[i];

  closeList_.clear();
  const auto listed = [this](ClientId id) {
    return std::find(closeList_.begin(), closeList_.end(), id) != closeList_.end();
  };
  for (std::size_t i = 0; i < pollIds_.size(); ++i) {
    const ClientId id = pollIds_[i];
    const short revents = fds[i].revents;
    ClientConnection* client = find(id);
    if (client == nullptr) continue;
    if (revents & sys::kPollBroken) {
      closeList_.push_back(id);
      continue;
    }
    if (revents & sys::kPollReadReady) {
      readClient(id, *client);
      if (listed(id)) continue;
      deliverFrames(id, onFrame);
    }
    client = find(id);
    if (client == nullptr) continue;
    flush(*client);
    if (client->closeWhenDrained && client->unsent() == 0 && !listed(id)) closeList_.push_back(id);
  }

  for (std::size_t i = 0; i < closeList_.size(); ++i) {
    const ClientId id = closeList_[i];
    if (find(id) == nullptr) continue;
    closeNow(id);
    if (onDisconnect) onDisconnect(id);
  }
  // A connect that ended the wait is taken now, not a whole wait later.
  if (listenWatched && (fds.back().revents & sys::kPollReadReady)) acceptPending(onConnect);
}

void FrameServer::readClient(ClientId id, ClientConnection& client) {
  for (int i = 0; i < kReadsPerPass; ++i) {
    const long long n = sys::recvSome(client.socket, scratch_.data(), scratch_.size());
    if (n > 0) {
      if (!client.receiveBuffer.append(scratch_.data(), static_cast<std::size_t>(n))) {
        logWrite(LogLevel::Warn, "连接 #%u 接收缓存异常增长，断开", id);
        closeList_.push_back(id);
        return;
      }
      continue;
    }
    if (n < 0 && sys::isWouldBlock(sys::lastError())) return;
    closeList_.push_back(id);  // peer closed (0) or a real failure
    return;
  }
}

void FrameServer::deliverFrames(ClientId id, const FrameHandler& onFrame) {
  ClientConnection* client = find(id);
  FrameView frame;
  for (;;) {
    const DecodeStatus status = client->receiveBuffer.next(frame);
    if (status == DecodeStatus::NeedMore) break;
    if (status == DecodeStatus::BadLength) {
      std::uint64_t held = 0;
      if (connectionLog_.allow(monotonicMs(), &held)) {
        logWrite(LogLevel::Warn, "连接 #%u 帧长度非法 (%u)，断开%s", id, client->receiveBuffer.badLength(),
                 held ? formatString("（另有 %llu 条连接记录未记）", static_cast<unsigned long long>(held)).c_str() : "");
      }
      closeList_.push_back(id);
      break;
    }
    if (status == DecodeStatus::Skipped) {
      if (onFrame) onFrame(id, frame.kind, nullptr, frame.length);
      client = find(id);
      if (client == nullptr) return;
      continue;
    }
    if (status == DecodeStatus::Oversized) {
      if (onFrame) onFrame(id, frame.kind, nullptr, frame.length);
      if (find(id) != nullptr) closeList_.push_back(id);
      return;
    }
    if (onFrame) onFrame(id, frame.kind, frame.payload, frame.length);
    client = find(id);
    if (client == nullptr) return;  // closed from the callback: its bytes went with it
  }
  client->receiveBuffer.discardDelivered();
}

void FrameServer::flush(ClientConnection& client) {
  if (client.socket == kInvalidSocket) return;
  while (client.unsent() != 0) {
    const long long n = sys::sendSome(client.socket, client.sendQueue.data() + client.sentOffset, client.unsent());
    if (n > 0) {
      client.sentOffset += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && sys::isWouldBlock(sys::lastError())) break;
    client.closeWhenDrained = true;
    break;
  }
  if (client.unsent() == 0) {
    if (!client.sendQueue.empty()) {
      client.sendQueue.clear();
      client.sentOffset = 0;
    }
  } else if (client.sentOffset > kCompactAfter && client.sentOffset >= client.sendQueue.size() / 2) {
    client.sendQueue.erase(client.sendQueue.begin(),
                           client.sendQueue.begin() + static_cast<std::ptrdiff_t>(client.sentOffset));
    client.sentOffset = 0;
  }
}

void FrameServer::sendFrame(ClientId id, FrameKind kind, const void* payload, std::uint64_t length) {
  ClientConnection* client = find(id);
  if (client == nullptr || client->socket == kInvalidSocket) return;
  if (length > 0xFFFFFFFFull || (length != 0 && payload == nullptr)) {
    logWrite(LogLevel::Warn, "连接 #%u 帧过大或缺少数据，未发送 (%llu)", id, static_cast<unsigned long long>(length));
    return;
  }
  std::uint8_t header[kFrameHeaderSize];
  encodeFrameHeader(header, kind, static_cast<std::uint32_t>(length));
  std::size_t sent = 0;
  const std::size_t total = kFrameHeaderSize + static_cast<std::size_t>(length);
  if (client->unsent() == 0 && !client->closeWhenDrained) {
    // Nothing queued ahead of it: straight from the caller's bytes, so a
    // frame that fits the socket's buffer is never copied into the queue.
    const long long n = sys::sendPair(client->socket, header, kFrameHeaderSize, payload, static_cast<std::size_t>(length));
    if (n > 0) {
      sent = static_cast<std::size_t>(n);
    } else if (n < 0 && !sys::isWouldBlock(sys::lastError())) {
      client->closeWhenDrained = true;
      return;
    }
    if (sent == total) return;
  }
  // Room as for the whole frame: how much the socket took varies, the queue
  // should settle at one size all the same.
  reserveFor(client->sendQueue, total);
  if (sent < kFrameHeaderSize) {
    client->sendQueue.insert(client->sendQueue.end(), header + sent, header + kFrameHeaderSize);
    sent = kFrameHeaderSize;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(payload);
  if (length != 0) client->sendQueue.insert(client->sendQueue.end(), bytes + (sent - kFrameHeaderSize), bytes + length);
  flush(*client);
}

void FrameServer::sendText(ClientId id, const std::string& text) {
  sendFrame(id, FrameKind::Text, text.data(), text.size());
}

void FrameServer::sendBinary(ClientId id, const void* payload, std::uint64_t length) {
  sendFrame(id, FrameKind::Binary, payload, length);
}

void FrameServer::closeClient(ClientId id, bool graceful) {
  ClientConnection* client = find(id);
  if (client == nullptr) return;
  if (graceful) {
    flush(*client);
    if (client->unsent() != 0) {
      client->closeWhenDrained = true;
      return;
    }
  }
  closeNow(id);
}

void FrameServer::closeNow(ClientId id) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  sys::shutdownBoth(it->second->socket);
  sys::closeSocket(it->second->socket);
  clients_.erase(it);
}

std::uint16_t FrameServer::localPort() const {
  if (listenSocket_ == kInvalidSocket) return 0;
  sockaddr_in address{};
  sys::AddrLen length = sizeof address;
  if (::getsockname(sys::toNative(listenSocket_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return sys::fromSockaddr(address).port;
}

bool FrameServer::hasClient(ClientId id) const { return find(id) != nullptr; }

std::uint64_t FrameServer::pendingBytes(ClientId id) const {
  const ClientConnection* client = find(id);
  return client == nullptr ? 0 : client->unsent();
}

std::size_t FrameServer::sendQueueCapacityForTest(ClientId id) const {
  const ClientConnection* client = find(id);
  return client == nullptr ? 0 : client->sendQueue.capacity();
}

std::string FrameServer::peerText(ClientId id) const {
  const ClientConnection* client = find(id);
  if (client == nullptr) return {};
  return client->peerAddress + ":" + std::to_string(client->peerPort);
}

void FrameServer::closeAll() {
  for (auto& [id, client] : clients_) sys::closeSocket(client->socket);
  clients_.clear();
  sys::closeSocket(listenSocket_);
  listenSocket_ = kInvalidSocket;
}

}  // namespace vl::net
