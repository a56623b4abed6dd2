#include "net/socket.h"

#include <cstdio>

#include "net/socket_sys.h"

namespace vl::net {

bool resolveIPv4(const std::string& text, std::uint16_t port, Ipv4Endpoint& out) {
  out = Ipv4Endpoint{};
  out.port = port;
  if (text.empty() || text == "0.0.0.0") return true;  // INADDR_ANY
  // inet_addr answers INADDR_NONE both for garbage and for the limited
  // broadcast address, so that one text is told apart by hand.
  const auto converted = inet_addr(text.c_str());
  if (converted == INADDR_NONE) {
    if (text != "255.255.255.255") return false;
    out.address = 0xFFFFFFFFu;
    return true;
  }
  out.address = ntohl(static_cast<std::uint32_t>(converted));
  return true;
}

std::string formatIPv4(std::uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (a >> 24) & 0xFF, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
                a & 0xFF);
  return text;
}

namespace sys {

std::vector<AdapterAddress> selectAdapterAddresses(const std::vector<RawAdapterAddress>& raw,
                                                   bool includeLoopback) {
  std::vector<AdapterAddress> out;
  for (const auto& entry : raw) {
    if (!entry.up) continue;
    if (entry.loopback && !includeLoopback) continue;
    if (!includeLoopback && entry.address.size() >= 4 && entry.address.compare(0, 4, "127.") == 0)
      continue;
    out.push_back(AdapterAddress{entry.address, entry.prefixLength, prefixToMask(entry.prefixLength)});
  }
  return out;
}

bool bindIPv4(SocketHandle s, const std::string& address, std::uint16_t port, int& error) {
  error = 0;
  Ipv4Endpoint endpoint;
  if (!resolveIPv4(address, port, endpoint)) return false;
  const sockaddr_in native = toSockaddr(endpoint);
  if (::bind(toNative(s), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0) return true;
  error = lastError();
  return false;
}

}  // namespace sys
}  // namespace vl::net
