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
