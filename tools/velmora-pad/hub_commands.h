// The socket-free parts of velmora-pad hub: the discovery answer, the
// standard-input commands and how peer text is shown. Kept apart so tests
// can check them without a running hub.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vl::pad {

inline constexpr std::uint16_t kHubPort = 24690;  // discovery (UDP) and link (TCP)
inline constexpr char kHubProbe[] = "VL-FIND?V1";
inline constexpr char kHubReplyPrefix[] = "VL-HUB!V1|";

// The whole reply datagram: prefix, then {"ip"?,"name","port"} compact with
// keys ascending. An empty ip leaves the member out, so the agent takes the
// datagram's sender address.
std::string hubDiscoveryReply(const std::string& name, std::uint16_t port, const std::string& ip);

struct HubCommand {
  enum class Kind { None, Send, List, Invalid };
  Kind kind = Kind::None;
  std::string type;     // Send: the message's "t"
  std::string message;  // Send: the JSON text to send
  std::string error;    // Invalid: one line saying what is wrong
};

// One line of standard input:
//   cfg [quality=Q] [maxw=W] [fps=F] [on=0|1]   -> echo.cfg with the members given
//   toast TEXT                                  -> toast
//   kick REASON                                 -> kick
//   list
// Blank lines are None; invalid UTF-8 in TEXT is sent as U+FFFD.
HubCommand parseHubCommand(std::string_view line);

// Peer text fit for one output line: control bytes as '?', at most maxBytes
// bytes, never ending inside a UTF-8 sequence.
std::string textForDisplay(std::string_view text, std::size_t maxBytes);

}  // namespace vl::pad
