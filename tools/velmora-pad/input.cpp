// velmora-pad input: sends one reverse-input event to the echo port.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "log/helpers.h"
#include "velmora-pad/commands.h"
#include "velmora-pad/common.h"

namespace vl::pad {

namespace {

constexpr std::uint16_t kEchoPort = 24692;
constexpr int kConnectTimeoutMs = 3000;
// The agent drops frames that arrive in the same pass as the connection's
// end, so the connection stays open a moment after sending.
constexpr int kLingerMs = 300;

constexpr char kUsage[] =
    "usage: velmora-pad input HOST[:PORT] EVENT\n"
    "  move U V                 pointer to (U, V), 0..1 across the picture\n"
    "  down|up|click|dbl U V [--btn B]   button B (0 left, 1 right, 2 middle)\n"
    "  wheel U V DELTA [--ctrl] DELTA notches, positive away from the user\n"
    "  key VK [--up]            Windows virtual-key code (decimal or 0x..), pressed or released\n"
    "  text STRING              types the text\n"
    "  Default port 24692. The agent lets go of buttons and keys held by a viewer\n"
    "  when its connection ends, which is right after the event is sent.\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "velmora-pad input: %s\n", message.c_str());
  return 2;
}

bool parseNumber(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || v != v) return false;
  out = v;
  return true;
}

bool parseInteger(const std::string& text, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);  // 0x.. allowed
  if (errno != 0 || end == nullptr || *end != '\0' || v < -2147483647LL - 1 || v > 4294967295LL) return false;
  out = v;
  return true;
}

}  // namespace

int runInput(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  // Options may stand anywhere; the rest are positional.
  std::vector<std::string> pos;
  long long button = 0;
  bool ctrl = false, up = false, haveButton = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--btn") {
      if (i + 1 >= args.size() || !parseInteger(args[i + 1], button)) return fail("--btn needs a number");
      haveButton = true;
      ++i;
    } else if (a == "--ctrl") {
      ctrl = true;
    } else if (a == "--up") {
      up = true;
    } else if (a.size() > 2 && a.rfind("--", 0) == 0) {
      return fail("unknown option " + a + " (see --help)");
    } else {
      pos.push_back(a);
    }
  }
  if (pos.size() < 2) return fail("missing HOST[:PORT] and EVENT (see --help)");
  std::string host;
  std::uint16_t port = kEchoPort;
  if (!parseHostPort(pos[0], kEchoPort, host, port)) return fail("bad address \"" + pos[0] + "\"");

  const std::string& event = pos[1];
  nlohmann::json m;
  m["t"] = "input";
  m["type"] = event;
  auto needArgs = [&](std::size_t n) { return pos.size() == 2 + n; };
  auto coordinates = [&](double& u, double& v) {
    return parseNumber(pos[2], u) && parseNumber(pos[3], v);
  };
  double u = 0, v = 0;
  if (event == "move" || event == "down" || event == "up" || event == "click" || event == "dbl") {
    if (!needArgs(2) || !coordinates(u, v)) return fail(event + " needs U V");
    m["u"] = u;
    m["v"] = v;
    if (event != "move") m["btn"] = button;
  } else if (event == "wheel") {
    long long delta = 0;
    if (!needArgs(3) || !coordinates(u, v) || !parseInteger(pos[4], delta)) return fail("wheel needs U V DELTA");
    m["u"] = u;
    m["v"] = v;
    m["delta"] = delta;
    if (ctrl) m["ctrl"] = true;
  } else if (event == "key") {
    long long vk = 0;
    if (!needArgs(1) || !parseInteger(pos[2], vk) || vk < 0 || vk > 0xFFFF) return fail("key needs VK (0..0xFFFF)");
    m["vk"] = vk;
    m["down"] = !up;
  } else if (event == "text") {
    if (!needArgs(1)) return fail("text needs one STRING (quote it)");
    m["s"] = pos[2];
  } else {
    return fail("unknown event \"" + event + "\" (see --help)");
  }
  if (haveButton && !m.contains("btn")) return fail("--btn applies to down, up, click and dbl only");
  if (ctrl && event != "wheel") return fail("--ctrl applies to wheel only");
  if (up && event != "key") return fail("--up applies to key only");

  // Text given on the command line may not be valid UTF-8.
  const std::string text = m.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  PadConnection connection;
  std::string error;
  if (!connection.connect(host, port, kConnectTimeoutMs, error))
    return fail(error.empty() ? formatString("cannot connect to %s:%u", host.c_str(), static_cast<unsigned>(port)) : error);
  if (!connection.sendText(text)) return fail("connection lost while sending");
  net::FrameKind kind;
  std::vector<std::uint8_t> payload;
  connection.receiveFrame(kind, payload, kLingerMs);
  connection.close();
  std::printf("sent %s\n", text.c_str());
  return 0;
}

}  // namespace vl::pad
