// The agent's ways to reach the Pad: an outgoing TCP connection whose
// connect never blocks, a non-blocking datagram socket that may broadcast,
// and the local IPv4 adapters with their directed-broadcast addresses.
// All used from one thread; no locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/socket.h"

namespace vl::net {

// The socket stays non-blocking for its whole life: sends and receives wait
// for readiness themselves, so no call can hang on a peer that stops reading.
class TcpClient {
 public:
  static constexpr int kSendWaitMs = 20;
  static constexpr int kSendGiveUpMs = 3000;

  TcpClient() = default;
  ~TcpClient() { close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Shuts down and closes the socket; clears both flags.
  void close();

  // Starts a non-blocking connect to a dotted IPv4 address (no name lookup).
  // true when connected at once or pending; false leaves the client closed.
  bool startConnect(const std::string& host, std::uint16_t port);

  // Tests a pending connect without waiting: 1 connected, 0 still pending
  // (while elapsedMs <= timeoutMs, or always when timeoutMs <= 0), -1 failed
  // or timed out (the client is then closed).
  int pollConnect(int elapsedMs, int timeoutMs);

  // Sends everything, waiting 20 ms per attempt for room; gives up (-1)
  // when the socket stays full and more than 3000 ms have passed since the
  // call began. Returns `length` on success.
  std::int64_t sendAll(const void* data, std::uint64_t length);

  // Waits up to waitMs for data. Bytes received, or 0 when nothing came or
  // the peer closed (then broken() is true), or -1 on failure (broken).
  int receive(void* buffer, int capacity, int waitMs);

  bool isOpen() const { return socket_ != kInvalidSocket; }
  bool connecting() const { return connecting_; }
  bool broken() const { return broken_; }
  // For a wait elsewhere (kInvalidSocket when closed).
  SocketHandle handle() const { return socket_; }

 private:
  SocketHandle socket_ = kInvalidSocket;
  bool broken_ = false;
  bool connecting_ = false;
};

class UdpSocket {
 public:
  static constexpr int kReceiveBufferSize = 262144;

  UdpSocket() = default;
  ~UdpSocket() { close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds a non-blocking socket (port 0: any free port). Closes a socket
  // already open first.
  bool open(std::uint16_t port, bool broadcast, const std::string& bindAddress = "0.0.0.0");
  void close();
  bool isOpen() const { return socket_ != kInvalidSocket; }
  // Port actually bound, 0 when closed.
  std::uint16_t localPort() const;
  // For a wait elsewhere (kInvalidSocket when closed).
  SocketHandle handle() const { return socket_; }

  // true only when the whole datagram left in one call. Dotted IPv4 hosts
  // and "255.255.255.255" only; host names fail without sending.
  bool sendTo(const std::string& host, std::uint16_t port, const void* data, int length);

  // Datagram length (0 for an empty one), 0 when nothing is waiting (or no
  // room was given: then nothing is read), -1 on error and for a datagram
  // longer than `capacity`, which is dropped whole (the next call reads the
  // next one). A refusal of an earlier send (ICMP port unreachable, which
  // Windows reports at the next receive) counts as nothing waiting. The
  // buffer is not terminated.
  int receiveFrom(void* buffer, int capacity, std::string& senderAddress, std::uint16_t& senderPort);

 private:
  SocketHandle socket_ = kInvalidSocket;
};

struct AdapterAddress {
  std::string address;        // dotted IPv4
  std::uint32_t prefixLength = 0;
  std::uint32_t mask = 0;     // host byte order
};

// IPv4 addresses of the adapters that are up.
std::vector<AdapterAddress> listAdapterAddresses(bool includeLoopback);
// Sorted, distinct directed-broadcast addresses of the non-loopback adapters.
std::vector<std::string> broadcastAddresses();

// The pure steps behind the two above, kept apart so they are testable
// without real adapters.
// Mask of a prefix length: 0 -> 0, 1..32 -> top bits set, above 32 ->
// 0xFFFFFF00 (a /24 guess for a value no adapter should report).
std::uint32_t prefixToMask(std::uint32_t prefixLength);
// address | ~mask for every entry whose mask is neither 0 nor all ones;
// sorted byte-wise, duplicates dropped. Unparsable addresses are skipped.
std::vector<std::string> broadcastAddressesOf(const std::vector<AdapterAddress>& adapters);

}  // namespace vl::net
