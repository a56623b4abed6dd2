// Internal: the thin platform layer under the network code. Everything that
// differs between Winsock and BSD sockets is here; the rest is portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include "net/client.h"
#include "net/socket.h"

namespace vl::net::sys {

#if defined(_WIN32)
using Native = SOCKET;
using AddrLen = int;
using PollFd = WSAPOLLFD;
// Winsock reports a readable socket as POLLRDNORM and rejects POLLPRI.
inline constexpr short kPollRead = POLLRDNORM;
inline constexpr short kPollWrite = POLLWRNORM;
inline constexpr short kPollReadReady = POLLRDNORM | POLLRDBAND;
#else
using Native = int;
using AddrLen = socklen_t;
using PollFd = pollfd;
inline constexpr short kPollRead = POLLIN;
inline constexpr short kPollWrite = POLLOUT;
inline constexpr short kPollReadReady = POLLIN | POLLRDNORM | POLLRDBAND;
#endif
inline constexpr short kPollBroken = POLLERR | POLLHUP | POLLNVAL;

inline Native toNative(SocketHandle h) { return static_cast<Native>(h); }
SocketHandle fromNative(Native s);

// Creates a socket; kInvalidSocket on failure.
SocketHandle openSocket(int family, int type, int protocol);
// The error number of the last failed socket call (WSAGetLastError/errno).
int lastError();
bool isWouldBlock(int error);
// A non-blocking connect that has started and not finished yet.
bool isConnectPending(int error);
// A UDP receive failing only because an earlier send was refused (ICMP port
// unreachable): the socket itself is fine.
bool isDatagramRefusedReport(int error);
// Windows: stop reporting such refusals at receive (SIO_UDP_CONNRESET).
// Linux reports them only on connected sockets: nothing to do.
void disableDatagramRefusedReports(SocketHandle s);
// accept(); the new socket is not inherited by child processes.
SocketHandle acceptSocket(SocketHandle listening, sockaddr* peer, AddrLen* peerLength);
void closeSocket(SocketHandle s);
void shutdownBoth(SocketHandle s);
bool setNonBlocking(SocketHandle s, bool on);
bool setIntOption(SocketHandle s, int level, int name, int value);
// The pending error of the socket (SO_ERROR); false when it cannot be read.
bool pendingError(SocketHandle s, int& error);
// Exclusive use of the bound address where the platform has it.
bool setExclusiveAddressUse(SocketHandle s);
// Turns on keepalive probing with the timings of socket.h; false when the
// system refused any part (the connection still works, it is only noticed
// later when its peer vanishes).
bool setKeepAlive(SocketHandle s);

// send/recv of at most INT_MAX bytes; never raises SIGPIPE.
long long sendSome(SocketHandle s, const void* data, std::size_t length);
long long recvSome(SocketHandle s, void* buffer, std::size_t capacity);
// One send of a then b (a gather write): bytes taken, or -1.
long long sendPair(SocketHandle s, const void* a, std::size_t aLength, const void* b, std::size_t bLength);

inline void setPollFd(PollFd& p, SocketHandle s, short events) {
  p.fd = toNative(s);
  p.events = events;
  p.revents = 0;
}
// poll(2) / WSAPoll: ready count, or -1 with lastError() set.
int pollSockets(PollFd* fds, std::size_t count, int timeoutMs);

// Waits for one socket: 1 when any requested condition holds, 0 after the
// time-out, -1 on failure. `failed` covers the exception set (Windows
// reports a failed connect there) and error/hang-up on Linux.
int waitSocket(SocketHandle s, bool readable, bool writable, bool failed, int timeoutMs);

inline sockaddr_in toSockaddr(const Ipv4Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(e.port);
  a.sin_addr.s_addr = htonl(e.address);
  return a;
}
inline Ipv4Endpoint fromSockaddr(const sockaddr_in& a) {
  return Ipv4Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

// Resolves `address` and binds s to it. On failure the caller still owns s;
// `error` is the socket error of a failed bind, 0 when the address did not
// resolve.
bool bindIPv4(SocketHandle s, const std::string& address, std::uint16_t port, int& error);

// One IPv4 address of one adapter, as the system reports it.
struct RawAdapterAddress {
  std::string address;
  std::uint32_t prefixLength = 0;
  bool up = false;
  bool loopback = false;
};
// Every IPv4 address of every adapter; false when the query failed.
bool queryAdapterAddresses(std::vector<RawAdapterAddress>& out);
// The portable filter over the raw list (up only, loopback on request).
std::vector<AdapterAddress> selectAdapterAddresses(const std::vector<RawAdapterAddress>& raw,
                                                   bool includeLoopback);

}  // namespace vl::net::sys
