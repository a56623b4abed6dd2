// Who may connect to the stream and system-control ports: a list of IPv4
// addresses and CIDR blocks, plus "pad" for the address of the Pad the agent
// is linked to. Pure logic; the agent applies it at accept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vl::net {

struct AllowBlock {
  std::uint32_t network = 0;  // host byte order, already masked
  std::uint32_t mask = 0;
};

struct AllowList {
  bool active = false;   // a list was given: everything not on it is refused
  bool includesPad = false;
  std::vector<AllowBlock> blocks;
  std::vector<std::string> rejected;  // entries that are neither an address, a block nor "pad"
};

// Parses "a.b.c.d, a.b.c.0/24, pad". Entries are separated by commas and
// trimmed; empty ones are skipped. A text with no entry at all gives an
// inactive list. Entries that cannot be read are collected in `rejected` and
// grant nothing, so a typo narrows access instead of widening it.
AllowList parseAllowList(std::string_view text);

// Whether a peer at `address` may connect. 127.0.0.1 is always allowed; `padAddress` is 0 while no Pad is known.
bool allowListPermits(const AllowList& list, std::uint32_t address, std::uint32_t padAddress);

// The list as the panel shows it: "192.168.1.0/24, pad" (addresses without
// "/32").
std::string describeAllowList(const AllowList& list);

}  // namespace vl::net
