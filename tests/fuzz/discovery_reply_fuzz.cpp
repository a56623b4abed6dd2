// The discovery reply parser on any datagram (the first byte picks the
// sender address a reply falls back to). An accepted reply carries the
// reply prefix, an address and a name; made fit for display they are
// bounded and free of control bytes.
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "fuzz_support.h"

namespace {

bool printable(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vl;
  if (size == 0) return 0;
  static const char* const kSenders[] = {"127.0.0.1", "", "10.1.2.3"};
  const std::string sender = kSenders[data[0] % 3];
  const std::string_view datagram(reinterpret_cast<const char*>(data + 1), size - 1);

  PadReply reply;
  reply.name = "untouched";
  const bool ok = parseDiscoveryReply(datagram, sender, reply);
  if (!ok) {
    VL_FUZZ_CHECK(reply.name == "untouched");
    return 0;
  }
  VL_FUZZ_CHECK(datagram.substr(0, sizeof kReplyPrefix - 1) == kReplyPrefix);
  VL_FUZZ_CHECK(datagram.find('|') != std::string_view::npos);
  const std::string address = padTextForDisplay(reply.address);
  const std::string name = padTextForDisplay(reply.name);
  VL_FUZZ_CHECK(address.size() <= kPadTextMax && printable(address));
  VL_FUZZ_CHECK(name.size() <= kPadTextMax && printable(name));
  // Cutting never splits a character: what was valid UTF-8 stays so.
  if (reply.name.size() > kPadTextMax && name.size() < reply.name.size()) {
    const auto next = static_cast<unsigned char>(reply.name[name.size()]);
    VL_FUZZ_CHECK((next & 0xC0) != 0x80 || name.empty());
  }
  return 0;
}
