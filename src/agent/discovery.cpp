// Pad discovery: a probe to every local network, the first answering Pad
// becomes the link's target.
#include <cstring>

#include <nlohmann/json.hpp>

#include "agent/agent.h"
#include "agent/fonts.h"
#include "echo/input_message.h"
#include "log/helpers.h"

namespace vl {

bool parseDiscoveryReply(std::string_view datagram, const std::string& sender, PadReply& out) {
  constexpr std::size_t prefixLength = sizeof kReplyPrefix - 1;
  if (datagram.size() < prefixLength || datagram.substr(0, prefixLength) != kReplyPrefix) return false;
  const std::size_t bar = datagram.find('|');
  if (bar == std::string_view::npos) return false;
  const std::string_view body = datagram.substr(bar + 1);
  const nlohmann::json j = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;

  PadReply reply;
  reply.address = sender;
  const auto ip = j.find("ip");
  if (ip != j.end()) {
    if (!ip->is_string()) return false;
    reply.address = ip->get<std::string>();
  }
  const auto port = j.find("port");
  if (port != j.end()) {
    std::int32_t value = 0;
    if (port->is_boolean() || !readJsonInt(j, "port", value)) return false;
    reply.port = static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
  }
  reply.name = reply.address;
  const auto name = j.find("name");
  if (name != j.end()) {
    if (!name->is_string()) return false;
    reply.name = name->get<std::string>();
  }
  out = std::move(reply);
  return true;
}

bool Agent::openDiscoverySocket() { return discovery_.open(0, true, env_.bindAddress); }

void Agent::sendProbe() {
  if (!discovery_.isOpen()) return;
  constexpr int length = sizeof kProbeDatagram - 1;
  if (env_.probeTargets) {
    for (const auto& [host, port] : env_.probeTargets()) discovery_.sendTo(host, port, kProbeDatagram, length);
    return;
  }
  discovery_.sendTo("255.255.255.255", kPadPort, kProbeDatagram, length);
  for (const std::string& address : net::broadcastAddresses())
    discovery_.sendTo(address, kPadPort, kProbeDatagram, length);
}

void Agent::readReplies() {
  char buffer[kReplyCapacity + 1];
  for (int i = 0; i < kRepliesPerTick && discovery_.isOpen(); ++i) {
    std::string sender;
    std::uint16_t senderPort = 0;
    const int n = discovery_.receiveFrom(buffer, kReplyCapacity, sender, senderPort);
    if (n <= 0) break;
    PadReply reply;
    if (!parseDiscoveryReply(std::string_view(buffer, static_cast<std::size_t>(n)), sender, reply)) continue;
    // Pad text reaches the log and the status line; an address that is not
    // a dotted IPv4 simply fails to connect later.
    reply.address = padTextForDisplay(reply.address);
    reply.name = padTextForDisplay(reply.name);
    bool known = false;
    for (const auto& pad : discoveredPads)
      if (pad.first == reply.address && pad.second == reply.port) known = true;
    if (!known) {
      discoveredPads.emplace_back(reply.address, reply.port);
      logEvent(1, formatString("发现 Pad 端: %s (%s:%u)", reply.name.c_str(), reply.address.c_str(),
                               static_cast<unsigned>(reply.port)));
    }
    if (settings.hubIp.empty()) {
      settings.hubIp = reply.address;
      settings.hubPort = reply.port;
      hubName = reply.name;
      noteTextGlyphs(hubName);
      settingsDirty = true;
    }
  }
}

void Agent::discoveryStep() {
  if (!discovery_.isOpen()) openDiscoverySocket();
  const std::uint64_t t = now();
  if (t > lastProbeMs + kProbeIntervalMs) {
    lastProbeMs = t;
    sendProbe();
  }
  readReplies();
}

void Agent::rediscover() {
  settings.hubIp.clear();
  settings.hubPort = kPadPort;
  discoveredPads.clear();
  linkFailures = 0;
  if (!discovery_.isOpen()) openDiscoverySocket();
  if (discovery_.isOpen()) {
    sendProbe();
    readReplies();
  }
  settingsDirty = true;
}

}  // namespace vl
