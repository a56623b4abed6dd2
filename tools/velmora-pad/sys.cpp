// velmora-pad sys HOST[:PORT] OP [--step N]: sends one system command and
// prints the agent's acknowledgement as received.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "velmora-pad/commands.h"
#include "velmora-pad/common.h"

namespace vl::pad {
namespace {

constexpr std::uint16_t kSysPort = 24693;
constexpr int kConnectTimeoutMs = 3000;
// Volume actions run before the answer; allow for a slow audio server.
constexpr int kAckTimeoutMs = 5000;

int fail(const char* text, const std::string& detail = {}) {
  std::fprintf(stderr, "velmora-pad sys: %s%s\n", text, detail.c_str());
  return 2;
}

bool parseInt(const std::string& text, int& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

int runSys(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool haveStep = false;
  int step = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--step") {
      if (i + 1 >= args.size() || !parseInt(args[i + 1], step)) return fail("--step needs an integer");
      haveStep = true;
      ++i;
    } else if (args[i].size() > 1 && args[i][0] == '-' && args[i][1] == '-') {
      return fail("unknown option ", args[i]);
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2 || positional[1].empty()) {
    return fail("usage: sys HOST[:PORT] OP [--step N]");
  }
  std::string host;
  std::uint16_t port = 0;
  if (!parseHostPort(positional[0], kSysPort, host, port)) return fail("bad address ", positional[0]);

  // The operation goes out as given, so the agent's own rejection can be seen.
  nlohmann::json command = {{"t", "sys.cmd"}, {"op", positional[1]}};
  if (haveStep) command["step"] = step;

  PadConnection connection;
  std::string error;
  if (!connection.connect(host, port, kConnectTimeoutMs, error)) return fail(error.c_str());
  if (!connection.sendText(command.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) {
    return fail("sending the command failed");
  }
  net::FrameKind kind = net::FrameKind::Text;
  std::vector<std::uint8_t> payload;
  const int got = connection.receiveFrame(kind, payload, kAckTimeoutMs);
  if (got == 0) return fail("no acknowledgement within 5 s");
  if (got < 0) return fail("the agent closed the connection without an acknowledgement");
  if (kind != net::FrameKind::Text) return fail("unexpected binary answer");

  const std::string text(payload.begin(), payload.end());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);

  const auto ack = nlohmann::json::parse(text, nullptr, false);
  if (ack.is_discarded() || !ack.is_object()) return fail("the answer is not a JSON object");
  const auto t = ack.find("t");
  if (t == ack.end() || !t->is_string() || t->get<std::string>() != "sys.ack") {
    return fail("the answer is not a sys.ack");
  }
  const auto ok = ack.find("ok");
  return ok != ack.end() && ok->is_boolean() && ok->get<bool>() ? 0 : 1;
}

}  // namespace vl::pad
