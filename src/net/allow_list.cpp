#include "net/allow_list.h"

#include <cctype>

#include "net/socket.h"

namespace vl::net {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// Strict dotted quad: four decimal parts 0…255, no signs, no spaces, at most
// three digits each (the platform conversion accepts forms like "10.1").
bool parseDottedQuad(std::string_view text, std::uint32_t& out) {
  std::uint32_t value = 0;
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    std::uint32_t part = 0;
    int digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      part = part * 10 + static_cast<std::uint32_t>(text[i++] - '0');
      if (++digits > 3 || part > 255) return false;
    }
    value = (value << 8) | part;
    if (++parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  out = value;
  return true;
}

bool parseBlock(std::string_view entry, AllowBlock& out) {
  int prefix = 32;
  const std::size_t slash = entry.find('/');
  std::string_view address = entry;
  if (slash != std::string_view::npos) {
    const std::string_view bits = entry.substr(slash + 1);
    if (bits.empty() || bits.size() > 2) return false;
    prefix = 0;
    for (const char c : bits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      prefix = prefix * 10 + (c - '0');
    }
    if (prefix > 32) return false;
    address = entry.substr(0, slash);
  }
  std::uint32_t value = 0;
  if (!parseDottedQuad(address, value)) return false;
  out.mask = prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
  out.network = value & out.mask;
  return true;
}

int prefixLength(std::uint32_t mask) {
  int n = 0;
  while (mask & 0x80000000u) {
    ++n;
    mask <<= 1;
  }
  return n;
}

}  // namespace

AllowList parseAllowList(std::string_view text) {
  AllowList list;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (entry.empty()) continue;
    list.active = true;
    AllowBlock block;
    if (entry == "pad") {
      list.includesPad = true;
    } else if (parseBlock(entry, block)) {
      list.blocks.push_back(block);
    } else {
      list.rejected.emplace_back(entry);
    }
  }
  return list;
}

bool allowListPermits(const AllowList& list, std::uint32_t address, std::uint32_t padAddress) {
  if (!list.active) return true;
  if (address == 0x7F000001u) return true;  // 127.0.0.1: the machine's own tools
  if (list.includesPad && padAddress != 0 && address == padAddress) return true;
  for (const AllowBlock& b : list.blocks)
    if ((address & b.mask) == b.network) return true;
  return false;
}

std::string describeAllowList(const AllowList& list) {
  std::string out;
  for (const AllowBlock& b : list.blocks) {
    if (!out.empty()) out += ", ";
    out += formatIPv4(b.network);
    if (b.mask != ~std::uint32_t(0)) {
      out += '/';
      out += std::to_string(prefixLength(b.mask));
    }
  }
  if (list.includesPad) {
    if (!out.empty()) out += ", ";
    out += "pad";
  }
  return out;
}

}  // namespace vl::net
