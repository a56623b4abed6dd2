// Small socket helpers shared by the frame server, the client connection and
// the datagram socket.
#pragma once

#include <cstdint>
#include <string>

namespace vl::net {

// A platform socket (a SOCKET on Windows, a descriptor on Linux), kept in a
// portable integer so public headers need no system headers.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle(0);

// A peer that vanishes without closing (a pulled cable, a powered-off PC)
// sends nothing, so only probes can tell. An idle connection is probed
// after 10 s and dropped within about 30 s of silence.
inline constexpr int kKeepAliveIdleSeconds = 10;
inline constexpr int kKeepAliveIntervalSeconds = 5;
inline constexpr int kKeepAliveProbes = 3;
// Linux: unacknowledged data gives up after this long as well.
inline constexpr int kUnackedTimeoutMs = 30000;
// Windows fixes the probe count at 10, so its interval is shorter.
inline constexpr int kKeepAliveIntervalMsWindows = 2000;

// Starts Windows Sockets 2.2 once per process (retried after a failure);
// always true on Linux. Callers may ignore the result: the socket call that
// follows fails on its own.
bool ensureWinsock();

// An IPv4 endpoint in host byte order.
struct Ipv4Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// "" and "0.0.0.0" give the any-address; other texts go through the
// platform's dotted conversion (no host-name lookup). A text the conversion
// rejects fails, except "255.255.255.255" (limited broadcast).
bool resolveIPv4(const std::string& text, std::uint16_t port, Ipv4Endpoint& out);

// Dotted text of a host-order IPv4 address.
std::string formatIPv4(std::uint32_t hostOrderAddress);

}  // namespace vl::net
