// Single-threaded polling TCP server speaking the frame format. It owns no
// thread and takes no lock: every call, poll included, must come from the
// one thread that polls it. Everything it reports happens inside poll.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/throttle.h"
#include "net/frame.h"
#include "net/socket.h"
#include "net/wait_set.h"

namespace vl::net {

// Counts from 1 and is never 0; shown in log lines as "#%u". After the
// counter wraps, ids still held by connected clients are passed over.
using ClientId = std::uint32_t;

class FrameServer {
 public:
  using ConnectHandler = std::function<void(ClientId)>;
  // The payload pointer is null when the length is 0 and for a frame that
  // is too long to be kept (see setMaxFramePayload, setSkippedFrames); it
  // points into the client's receive buffer and is valid only during the call.
  using FrameHandler =
      std::function<void(ClientId, FrameKind, const std::uint8_t* payload, std::uint64_t length)>;
  using DisconnectHandler = std::function<void(ClientId)>;
  // Asked for every accepted connection with the peer's dotted address;
  // false closes it at once, before any callback (the filter logs why).
  using AcceptFilter = std::function<bool(const std::string& peerAddress)>;
  // Asked when a connection arrives while maxClients are connected: the
  // client to close (without callback) to make room, or 0 to refuse the
  // newcomer instead.
  using MakeRoom = std::function<ClientId()>;

  static constexpr int kDefaultSendBufferSize = 524288;
  static constexpr int kPollTimeoutMs = 2;
  static constexpr int kAcceptsPerPass = 32;
  static constexpr int kReadsPerPass = 64;
  static constexpr std::size_t kReadChunk = 65536;

  FrameServer();
  ~FrameServer();
  FrameServer(const FrameServer&) = delete;
  FrameServer& operator=(const FrameServer&) = delete;

  // SO_SNDBUF given to every socket accepted afterwards; set before listen.
  void setSendBufferSize(int bytes) { sendBufferSize_ = bytes; }
  int sendBufferSize() const { return sendBufferSize_; }
  // Connections beyond this many are closed at accept (0: no limit).
  void setMaxClients(std::size_t count) { maxClients_ = count; }
  void setMakeRoom(MakeRoom makeRoom) { makeRoom_ = std::move(makeRoom); }
  void setAcceptFilter(AcceptFilter filter) { acceptFilter_ = std::move(filter); }
  // Frames longer than this are reported to onFrame as soon as their header
  // arrives, with a null payload and the declared length, and the client is
  // then closed: such a payload is never buffered. Set before listen.
  void setMaxFramePayload(std::uint32_t bytes) { maxFramePayload_ = bytes; }
  // Frames longer than these (text, and any other kind) are read past
  // instead: reported once to onFrame with a null payload and the declared
  // length when their header arrives, their bytes dropped as they come, and
  // the client stays. Memory does not grow with such a frame. Set before
  // clients connect.
  void setSkippedFrames(std::uint32_t maxTextPayload, std::uint32_t maxOtherPayload) {
    skipFrames_ = true;
    skipText_ = maxTextPayload;
    skipOther_ = maxOtherPayload;
  }

  // Closes everything (silently), then binds and listens. false when the
  // port cannot be had; the server is then idle.
  bool listen(std::uint16_t port, const std::string& bindAddress = "0.0.0.0");

  // One pass: accept, wait up to 2 ms, read, deliver frames, flush, close.
  // Empty handlers are skipped. Callbacks may call the send, close and
  // query operations of this server. Handlers are taken by reference so an
  // owner polling in a loop can build them once.
  void poll(const ConnectHandler& onConnect, const FrameHandler& onFrame,
            const DisconnectHandler& onDisconnect);
  // The same pass, but the wait lasts up to waitMs and also watches the
  // listening socket, with or without clients: an owner with nothing else to
  // do sleeps here and still wakes at once for a connect, a message or a
  // send queue that can drain. A client accepted after the wait is first
  // read in the next pass.
  void pollWithWait(const ConnectHandler& onConnect, const FrameHandler& onFrame,
                    const DisconnectHandler& onDisconnect, int waitMs);

  // Sends one frame at once, queueing what the socket does not take (the
  // payload is copied only then). Unknown ids are ignored.
  void sendFrame(ClientId id, FrameKind kind, const void* payload, std::uint64_t length);
  void sendText(ClientId id, const std::string& text);
  void sendBinary(ClientId id, const void* payload, std::uint64_t length);

  // graceful: flush, and if bytes remain close after they drain (with
  // onDisconnect from a later poll); otherwise close now, without callback.
  void closeClient(ClientId id, bool graceful);
  bool hasClient(ClientId id) const;
  // Queued bytes not yet handed to the socket; 0 for an unknown id.
  std::uint64_t pendingBytes(ClientId id) const;
  // Drops every client and the listening socket without callbacks.
  void closeAll();

  bool isListening() const { return listenSocket_ != kInvalidSocket; }
  // One more handle pollWithWait watches for reading (kInvalidSocket: none),
  // so an owner also wakes when another source has news (the echo thread:
  // the X connection reporting a screen change). Nothing is read from it.
  // Up to kExtraWaitSlots such handles, one per slot.
  static constexpr int kExtraWaitSlots = 3;
  void setExtraWaitHandle(SocketHandle handle, int slot = 0) {
    if (slot >= 0 && slot < kExtraWaitSlots) extraWaits_[slot] = handle;
  }
  // Whether the last pollWithWait found the slot's handle ready (readable,
  // or an error or hang-up). After a plain poll(), which does not watch the
  // handles, false.
  bool extraWaitReady(int slot) const { return slot >= 0 && slot < kExtraWaitSlots && (extraReady_ >> slot) & 1u; }
  // For an owner that waits elsewhere (the UI thread's one wait): what a
  // pass would watch, the listening socket included; poll() then handles it.
  void planWait(WaitSet& waits) const;
  std::uint16_t port() const { return port_; }
  // Port the listening socket is bound to (the system's pick after
  // listen(0)); 0 when not listening.
  std::uint16_t localPort() const;
  std::size_t clientCount() const { return clients_.size(); }
  // Peer of a connected client as "a.b.c.d:port"; empty for an unknown id.
  std::string peerText(ClientId id) const;

  // Test seam: the id the next accepted client gets.
  ClientId nextClientId() const { return nextClientId_; }
  void setNextClientIdForTest(ClientId next) { nextClientId_ = next == 0 ? 1 : next; }
  // Test seam: bytes the client's send queue can hold before it must grow.
  std::size_t sendQueueCapacityForTest(ClientId id) const;

 private:
  struct ClientConnection;

  ClientConnection* find(ClientId id) const;
  ClientId takeClientId();
  void pollPass(const ConnectHandler& onConnect, const FrameHandler& onFrame,
                const DisconnectHandler& onDisconnect, int waitMs, bool watchListen);
  void acceptPending(const ConnectHandler& onConnect);
  void readClient(ClientId id, ClientConnection& client);
  void deliverFrames(ClientId id, const FrameHandler& onFrame);
  void flush(ClientConnection& client);
  void closeNow(ClientId id);

  SocketHandle listenSocket_ = kInvalidSocket;
  SocketHandle extraWaits_[kExtraWaitSlots] = {kInvalidSocket, kInvalidSocket, kInvalidSocket};
  unsigned extraReady_ = 0;
  int sendBufferSize_ = kDefaultSendBufferSize;
  std::size_t maxClients_ = 0;
  std::uint32_t maxFramePayload_ = kMaxFramePayload;
  bool skipFrames_ = false;
  std::uint32_t skipText_ = 0;
  std::uint32_t skipOther_ = 0;
  AcceptFilter acceptFilter_;
  MakeRoom makeRoom_;
  LineThrottle overLimitLog_;
  // Per-connection lines ("客户端接入", bad lengths): a storm of connections
  // must not rotate agent.log's history away.
  LineBudget connectionLog_{64, 5};
  std::uint16_t port_ = 0;
  ClientId nextClientId_ = 1;
  bool polling_ = false;
  std::map<ClientId, std::unique_ptr<ClientConnection>> clients_;

  // Reused across passes so a steady poll loop does not allocate.
  std::vector<std::uint8_t> scratch_;
  std::vector<ClientId> pollIds_;
  std::vector<ClientId> closeList_;
  struct PollSet;
  std::unique_ptr<PollSet> pollSet_;
};

}  // namespace vl::net
