// Windows Sockets 2 and IP Helper.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mswsock.h>
#include <mstcpip.h>

#include <climits>
#include <mutex>

#include "net/socket_sys.h"

namespace vl::net {

bool ensureWinsock() {
  static std::mutex mutex;
  static bool started = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (started) return true;
  WSADATA data;
  started = WSAStartup(0x0202, &data) == 0;
  return started;
}

namespace sys {

SocketHandle fromNative(Native s) { return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s); }

SocketHandle openSocket(int family, int type, int protocol) {
  // Not inheritable, so child processes never hold a listening port.
  SOCKET s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) s = ::socket(family, type, protocol);
  return fromNative(s);
}

SocketHandle acceptSocket(SocketHandle listening, sockaddr* peer, AddrLen* peerLength) {
  return fromNative(::accept(toNative(listening), peer, peerLength));
}

int lastError() { return WSAGetLastError(); }

bool isWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

bool isConnectPending(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINVAL;
}

// WSAENETRESET is the same report for an expired TTL.
bool isDatagramRefusedReport(int error) { return error == WSAECONNRESET || error == WSAENETRESET; }

void disableDatagramRefusedReports(SocketHandle s) {
  BOOL report = FALSE;
  DWORD returned = 0;
  // Best effort: receiveFrom also treats the report as "nothing waiting".
  WSAIoctl(toNative(s), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

void closeSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::closesocket(toNative(s));
}

void shutdownBoth(SocketHandle s) {
  if (s != kInvalidSocket) ::shutdown(toNative(s), SD_BOTH);
}

bool setNonBlocking(SocketHandle s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(toNative(s), FIONBIO, &mode) == 0;
}

bool setIntOption(SocketHandle s, int level, int name, int value) {
  return ::setsockopt(toNative(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool pendingError(SocketHandle s, int& error) {
  int value = 0;
  int length = sizeof value;
  if (::getsockopt(toNative(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0)
    return false;
  error = value;
  return true;
}

bool setExclusiveAddressUse(SocketHandle s) { return setIntOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

bool setKeepAlive(SocketHandle s) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(kKeepAliveIdleSeconds) * 1000;
  values.keepaliveinterval = kKeepAliveIntervalMsWindows;
  DWORD returned = 0;
  return WSAIoctl(toNative(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                  nullptr) == 0;
}

long long sendSome(SocketHandle s, const void* data, std::size_t length) {
  if (length > INT_MAX) length = INT_MAX;
  return ::send(toNative(s), static_cast<const char*>(data), static_cast<int>(length), 0);
}

long long sendPair(SocketHandle s, const void* a, std::size_t aLength, const void* b, std::size_t bLength) {
  if (bLength > INT_MAX - aLength) bLength = INT_MAX - aLength;
  WSABUF pieces[2];
  pieces[0].len = static_cast<ULONG>(aLength);
  pieces[0].buf = static_cast<char*>(const_cast<void*>(a));
  pieces[1].len = static_cast<ULONG>(bLength);
  pieces[1].buf = static_cast<char*>(const_cast<void*>(b));
  DWORD sent = 0;
  if (::WSASend(toNative(s), pieces, bLength != 0 ? 2 : 1, &sent, 0, nullptr, nullptr) != 0) return -1;
  return static_cast<long long>(sent);
}

long long recvSome(SocketHandle s, void* buffer, std::size_t capacity) {
  if (capacity > INT_MAX) capacity = INT_MAX;
  return ::recv(toNative(s), static_cast<char*>(buffer), static_cast<int>(capacity), 0);
}

int pollSockets(PollFd* fds, std::size_t count, int timeoutMs) {
  const int rc = ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
  return rc == SOCKET_ERROR ? -1 : rc;
}

int waitSocket(SocketHandle s, bool readable, bool writable, bool failed, int timeoutMs) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  if (readable) FD_SET(toNative(s), &readSet);
  if (writable) FD_SET(toNative(s), &writeSet);
  if (failed) FD_SET(toNative(s), &exceptSet);
  if (timeoutMs < 0) timeoutMs = 0;
  timeval wait{};
  wait.tv_sec = timeoutMs / 1000;
  wait.tv_usec = (timeoutMs % 1000) * 1000;
  const int rc = ::select(0, readable ? &readSet : nullptr, writable ? &writeSet : nullptr,
                          failed ? &exceptSet : nullptr, &wait);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

bool queryAdapterAddresses(std::vector<RawAdapterAddress>& out) {
  out.clear();
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                           GAA_FLAG_INCLUDE_PREFIX;
  ULONG size = 16384;
  std::vector<unsigned char> buffer(size, 0);
  auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  ULONG rc = GetAdaptersAddresses(AF_INET, kFlags, nullptr, adapters, &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer.assign(size, 0);
    adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    rc = GetAdaptersAddresses(AF_INET, kFlags, nullptr, adapters, &size);
  }
  if (rc != NO_ERROR) return false;
  for (auto* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
      const SOCKADDR* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      RawAdapterAddress entry;
      entry.address = formatIPv4(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
      entry.prefixLength = unicast->OnLinkPrefixLength;
      entry.up = adapter->OperStatus == IfOperStatusUp;
      entry.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
      out.push_back(std::move(entry));
    }
  }
  return true;
}

}  // namespace sys
}  // namespace vl::net
