// BSD sockets on Linux.
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>

#include "net/socket_sys.h"

namespace vl::net {

bool ensureWinsock() { return true; }

namespace sys {

SocketHandle fromNative(Native s) { return s < 0 ? kInvalidSocket : static_cast<SocketHandle>(s); }

SocketHandle openSocket(int family, int type, int protocol) {
  // Close-on-exec so child processes never inherit a listening port.
  return fromNative(::socket(family, type | SOCK_CLOEXEC, protocol));
}

SocketHandle acceptSocket(SocketHandle listening, sockaddr* peer, AddrLen* peerLength) {
  return fromNative(::accept4(toNative(listening), peer, peerLength, SOCK_CLOEXEC));
}

int lastError() { return errno; }

bool isWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool isConnectPending(int error) { return error == EINPROGRESS || isWouldBlock(error); }

bool isDatagramRefusedReport(int error) { return error == ECONNREFUSED; }

void disableDatagramRefusedReports(SocketHandle) {}

void closeSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::close(toNative(s));
}

void shutdownBoth(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(toNative(s), SHUT_RDWR);
}

bool setNonBlocking(SocketHandle s, bool on) {
  const int flags = ::fcntl(toNative(s), F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || ::fcntl(toNative(s), F_SETFL, wanted) == 0;
}

bool setIntOption(SocketHandle s, int level, int name, int value) {
  return ::setsockopt(toNative(s), level, name, &value, sizeof value) == 0;
}

bool pendingError(SocketHandle s, int& error) {
  int value = 0;
  socklen_t length = sizeof value;
  if (::getsockopt(toNative(s), SOL_SOCKET, SO_ERROR, &value, &length) != 0) return false;
  error = value;
  return true;
}

// Linux has no exclusive-use option; SO_REUSEADDR still refuses a port that
// another socket is listening on.
bool setExclusiveAddressUse(SocketHandle) { return false; }

bool setKeepAlive(SocketHandle s) {
  bool ok = setIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1);
  ok = setIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds) && ok;
  ok = setIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds) && ok;
  ok = setIntOption(s, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes) && ok;
  // Without it a peer that vanishes while data is queued for it is retried
  // for about 15 minutes, whatever the keepalive settings say.
  ok = setIntOption(s, IPPROTO_TCP, TCP_USER_TIMEOUT, kUnackedTimeoutMs) && ok;
  return ok;
}

long long sendSome(SocketHandle s, const void* data, std::size_t length) {
  if (length > INT_MAX) length = INT_MAX;
  return ::send(toNative(s), data, length, MSG_NOSIGNAL);
}

long long sendPair(SocketHandle s, const void* a, std::size_t aLength, const void* b, std::size_t bLength) {
  if (bLength > INT_MAX - aLength) bLength = INT_MAX - aLength;
  iovec pieces[2] = {{const_cast<void*>(a), aLength}, {const_cast<void*>(b), bLength}};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = bLength != 0 ? 2 : 1;
  return ::sendmsg(toNative(s), &message, MSG_NOSIGNAL);
}

long long recvSome(SocketHandle s, void* buffer, std::size_t capacity) {
  if (capacity > INT_MAX) capacity = INT_MAX;
  return ::recv(toNative(s), buffer, capacity, 0);
}

int pollSockets(PollFd* fds, std::size_t count, int timeoutMs) {
  const int rc = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
  // A signal is no failure: the pass just sees nothing ready.
  return rc < 0 && errno == EINTR ? 0 : rc;
}

// poll instead of select: select cannot take descriptors above FD_SETSIZE.
int waitSocket(SocketHandle s, bool readable, bool writable, bool failed, int timeoutMs) {
  pollfd p{};
  p.fd = toNative(s);
  p.events = static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
  (void)failed;  // error and hang-up are always reported
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  if (rc == 0) return 0;
  // Error and hang-up come back unasked; they make a reader and a writer
  // ready the way select would (the next call then reports the cause).
  const short ready = static_cast<short>(p.revents & (p.events | POLLERR | POLLHUP | POLLNVAL));
  return ready != 0 ? 1 : 0;
}

bool queryAdapterAddresses(std::vector<RawAdapterAddress>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    RawAdapterAddress entry;
    const auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    entry.address = formatIPv4(ntohl(address->sin_addr.s_addr));
    if (it->ifa_netmask != nullptr) {
      std::uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
      while (mask & 0x80000000u) {
        ++entry.prefixLength;
        mask <<= 1;
      }
    }
    entry.up = (it->ifa_flags & IFF_UP) && (it->ifa_flags & IFF_RUNNING);
    entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
    out.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  return true;
}

}  // namespace sys
}  // namespace vl::net
