#include "net/client.h"

#include <set>

#include "log/helpers.h"
#include "log/log.h"
#include "net/socket_sys.h"

namespace vl::net {

// ---- TcpClient ----

void TcpClient::close() {
  if (socket_ != kInvalidSocket) {
    sys::shutdownBoth(socket_);
    sys::closeSocket(socket_);
    socket_ = kInvalidSocket;
  }
  broken_ = false;
  connecting_ = false;
}

bool TcpClient::startConnect(const std::string& host, std::uint16_t port) {
  close();
  ensureWinsock();
  const SocketHandle s = sys::openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kInvalidSocket) return false;
  sys::setNonBlocking(s, true);
  Ipv4Endpoint endpoint;
  if (!resolveIPv4(host, port, endpoint)) {
    sys::closeSocket(s);
    return false;
  }
  const sockaddr_in address = sys::toSockaddr(endpoint);
  if (::connect(sys::toNative(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    // The socket stays non-blocking once connected: every send and receive
    // waits for readiness itself, and a blocking send could hang the
    // calling thread for as long as the peer does not read.
    sys::setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
    sys::setKeepAlive(s);
    socket_ = s;
    return true;
  }
  if (sys::isConnectPending(sys::lastError())) {
    socket_ = s;
    connecting_ = true;
    broken_ = false;
    return true;
  }
  sys::closeSocket(s);
  return false;
}

int TcpClient::pollConnect(int elapsedMs, int timeoutMs) {
  if (socket_ == kInvalidSocket) return -1;
  if (!connecting_) return 1;
  const int ready = sys::waitSocket(socket_, false, true, true, 0);
  if (ready == 0 && (timeoutMs <= 0 || elapsedMs <= timeoutMs)) return 0;
  int error = -1;
  if (ready > 0 && sys::pendingError(socket_, error) && error == 0) {
    sys::setIntOption(socket_, IPPROTO_TCP, TCP_NODELAY, 1);
    // The Pad may vanish without closing; probing lets the link reconnect.
    sys::setKeepAlive(socket_);
    connecting_ = false;
    return 1;
  }
  close();  // refused, failed or timed out: the caller cannot tell which
  return -1;
}

std::int64_t TcpClient::sendAll(const void* data, std::uint64_t length) {
  if (socket_ == kInvalidSocket || (data == nullptr && length != 0)) return -1;
  const std::uint64_t start = monotonicMs();
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint64_t sent = 0;
  while (sent < length) {
    if (sys::waitSocket(socket_, false, true, false, kSendWaitMs) > 0) {
      const long long n = sys::sendSome(socket_, bytes + sent, static_cast<std::size_t>(length - sent));
      if (n > 0) {
        sent += static_cast<std::uint64_t>(n);
        continue;
      }
      if (!(n < 0 && sys::isWouldBlock(sys::lastError()))) return -1;
    }
    if (monotonicMs() - start > static_cast<std::uint64_t>(kSendGiveUpMs)) return -1;
  }
  return static_cast<std::int64_t>(length);
}

int TcpClient::receive(void* buffer, int capacity, int waitMs) {
  if (socket_ == kInvalidSocket) {
    broken_ = true;
    return -1;
  }
  // A zero-byte recv would look like the peer closing.
  if (capacity <= 0 || buffer == nullptr) return 0;
  const int ready = sys::waitSocket(socket_, true, false, false, waitMs);
  if (ready == 0) return 0;
  if (ready < 0) {
    broken_ = true;
    return -1;
  }
  const long long n = sys::recvSome(socket_, buffer, static_cast<std::size_t>(capacity));
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    broken_ = true;
    return 0;
  }
  if (sys::isWouldBlock(sys::lastError())) return 0;
  broken_ = true;
  return -1;
}

// ---- UdpSocket ----

bool UdpSocket::open(std::uint16_t port, bool broadcast, const std::string& bindAddress) {
  if (socket_ != kInvalidSocket) {
    sys::closeSocket(socket_);
    socket_ = kInvalidSocket;
  }
  ensureWinsock();
  const SocketHandle s = sys::openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == kInvalidSocket) return false;
  sys::setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
  if (broadcast) sys::setIntOption(s, SOL_SOCKET, SO_BROADCAST, 1);
  int error = 0;
  if (!sys::bindIPv4(s, bindAddress, port, error)) {
    if (error != 0) logWrite(LogLevel::Error, "UDP 绑定端口 %u 失败 err=%d", static_cast<unsigned>(port), error);
    sys::closeSocket(s);
    return false;
  }
  sys::setIntOption(s, SOL_SOCKET, SO_RCVBUF, kReceiveBufferSize);
  sys::setNonBlocking(s, true);
  sys::disableDatagramRefusedReports(s);
  socket_ = s;
  return true;
}

void UdpSocket::close() {
  if (socket_ != kInvalidSocket) sys::closeSocket(socket_);
  socket_ = kInvalidSocket;
}

std::uint16_t UdpSocket::localPort() const {
  if (socket_ == kInvalidSocket) return 0;
  sockaddr_in address{};
  sys::AddrLen length = sizeof address;
  if (::getsockname(sys::toNative(socket_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return sys::fromSockaddr(address).port;
}

bool UdpSocket::sendTo(const std::string& host, std::uint16_t port, const void* data, int length) {
  if (socket_ == kInvalidSocket || length < 0 || (data == nullptr && length != 0)) return false;
  Ipv4Endpoint endpoint;
  if (!resolveIPv4(host, port, endpoint)) return false;
  const sockaddr_in address = sys::toSockaddr(endpoint);
#if defined(_WIN32)
  const int n = ::sendto(sys::toNative(socket_), static_cast<const char*>(data), length, 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address);
#else
  const long n = ::sendto(sys::toNative(socket_), data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), sizeof address);
#endif
  return n == length;
}

int UdpSocket::receiveFrom(void* buffer, int capacity, std::string& senderAddress, std::uint16_t& senderPort) {
  if (socket_ == kInvalidSocket) return -1;
  // A zero-length recvfrom would take a waiting datagram and lose it.
  if (capacity <= 0 || buffer == nullptr) return 0;
  sockaddr_in from{};
  sys::AddrLen fromLength = sizeof from;
#if defined(_WIN32)
  // An oversized datagram fails with WSAEMSGSIZE and is dropped.
  const int n = ::recvfrom(sys::toNative(socket_), static_cast<char*>(buffer), capacity, 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
#else
  // MSG_TRUNC reports the real length, so an oversized datagram (already
  // dropped by the kernel) is refused like on Windows instead of read cut.
  const long n = ::recvfrom(sys::toNative(socket_), buffer, static_cast<std::size_t>(capacity), MSG_TRUNC,
                            reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n > capacity) return -1;
#endif
  if (n < 0) {
    const int error = sys::lastError();
    return sys::isWouldBlock(error) || sys::isDatagramRefusedReport(error) ? 0 : -1;
  }
  const Ipv4Endpoint sender = sys::fromSockaddr(from);
  senderAddress = formatIPv4(sender.address);
  senderPort = sender.port;
  return static_cast<int>(n);
}

// ---- adapters ----

std::uint32_t prefixToMask(std::uint32_t prefixLength) {
  if (prefixLength == 0) return 0;
  if (prefixLength > 32) return 0xFFFFFF00u;
  return prefixLength == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefixLength);
}

std::vector<std::string> broadcastAddressesOf(const std::vector<AdapterAddress>& adapters) {
  std::set<std::string> unique;
  for (const auto& adapter : adapters) {
    if (adapter.mask == 0 || adapter.mask == 0xFFFFFFFFu) continue;
    Ipv4Endpoint endpoint;
    if (!resolveIPv4(adapter.address, 0, endpoint)) continue;
    unique.insert(formatIPv4(endpoint.address | ~adapter.mask));
  }
  return {unique.begin(), unique.end()};
}

std::vector<AdapterAddress> listAdapterAddresses(bool includeLoopback) {
  ensureWinsock();
  std::vector<sys::RawAdapterAddress> raw;
  if (!sys::queryAdapterAddresses(raw)) return {};
  return sys::selectAdapterAddresses(raw, includeLoopback);
}

std::vector<std::string> broadcastAddresses() { return broadcastAddressesOf(listAdapterAddresses(false)); }

}  // namespace vl::net
