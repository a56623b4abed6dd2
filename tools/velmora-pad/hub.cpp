// velmora-pad hub: a stand-in Pad. Answers discovery probes, accepts agent
// links, prints what the agents report and sends them what standard input
// asks for.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/stop_request.h"
#include "log/helpers.h"
#include "log/log.h"
#include "net/client.h"
#include "net/frame_server.h"
#include "velmora-pad/commands.h"
#include "velmora-pad/console.h"
#include "velmora-pad/hub_commands.h"
#include "velmora-pad/web_server.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vl::pad {

namespace {

using Json = nlohmann::json;

// Each pass waits this long for a stop request; the frame server adds its
// own short wait while agents are linked.
constexpr int kLoopWaitMs = 5;
constexpr int kProbesPerPass = 16;
constexpr int kDatagramCapacity = 2048;
constexpr std::uint64_t kHeartbeatLineMs = 5000;
// Ids and names of agents as printed; the agent itself allows far longer.
constexpr std::size_t kShownTextMax = 80;
// A line of standard input that never ends is dropped rather than kept.
constexpr std::size_t kInputLineMax = 65536;
constexpr char kDefaultName[] = "velmora-pad";
constexpr char kHeartbeatAck[] = R"({"t":"hb.ack"})";

constexpr char kUsage[] =
    "usage: velmora-pad hub [--name NAME] [--port 24690] [--no-discovery] [--ip ADDR] [--bind ADDR] "
    "[--seconds S]\n"
    "       [--web [[ADDR:]PORT]] [--web-token TOKEN] [--agents FILE] [--web-store FILE]\n"
    "  Stands in for the Pad: answers discovery probes (UDP) and accepts agent links (TCP) on PORT,\n"
    "  prints one line per hello, a heartbeat summary per agent every 5 s and one line per goodbye.\n"
    "  --name NAME      name sent in discovery replies and welcomes (default velmora-pad)\n"
    "  --port PORT      UDP and TCP port (default 24690)\n"
    "  --no-discovery   do not answer probes\n"
    "  --ip ADDR        address announced in discovery replies (default: none, the agent\n"
    "                   uses the reply's sender address)\n"
    "  --bind ADDR      local address to listen on (default 0.0.0.0; any other address\n"
    "                   hears no broadcast probes)\n"
    "  --seconds S      exit 0 after S seconds (default: run until Ctrl+C)\n"
    "  --web [[ADDR:]PORT]  serves the web console (default 127.0.0.1:24680)\n"
    "  --web-token TOKEN  access token the console asks for; on any address other than\n"
    "                   loopback one is always asked for (a random one when not given)\n"
    "  --agents FILE    agents to watch by address, one HOST[:ECHOPORT] a line\n"
    "  --web-store FILE where addresses added in the page are kept (default:\n"
    "                   velmora-pad-agents.txt beside the program)\n"
    "  Standard input, one command a line, sent to every agent that said hello:\n"
    "    cfg [quality=Q] [maxw=W] [fps=F] [on=0|1]   stream settings (no on= means off)\n"
    "    toast TEXT                                  a notice for the agent's log\n"
    "    kick REASON                                 the agent drops the link\n"
    "    list                                        prints the linked agents\n";

std::string dumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Standard output may be a pipe that a test reads line by line.
void printLine(const char* format, ...) VL_PRINTF_FMT(1, 2);
void printLine(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "velmora-pad hub: %s\n", message.c_str());
  return 2;
}

bool parseInteger(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value < lo || value > hi) return false;
  out = value;
  return true;
}

// The next word of `rest`, split where trimSpaces trims (bytes <= 32);
// rest moves past it.
std::string_view nextWord(std::string_view& rest) {
  const auto isSpace = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::size_t start = 0;
  while (start < rest.size() && isSpace(rest[start])) ++start;
  std::size_t end = start;
  while (end < rest.size() && !isSpace(rest[end])) ++end;
  const std::string_view word = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return word;
}

HubCommand invalidCommand(std::string error) {
  HubCommand command;
  command.kind = HubCommand::Kind::Invalid;
  command.error = std::move(error);
  return command;
}

HubCommand sendCommand(const char* type, Json message) {
  HubCommand command;
  command.kind = HubCommand::Kind::Send;
  command.type = type;
  message["t"] = type;
  command.message = dumpJson(message);
  return command;
}

HubCommand parseConfig(std::string_view rest) {
  Json message = Json::object();
  for (std::string_view item = nextWord(rest); !item.empty(); item = nextWord(rest)) {
    const std::string shown = textForDisplay(item, kShownTextMax);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) return invalidCommand("cfg: expected KEY=VALUE, got \"" + shown + "\"");
    const std::string key(item.substr(0, equals));
    const std::string value(item.substr(equals + 1));
    if (key == "on") {
      if (value == "1" || value == "true") {
        message["on"] = true;
      } else if (value == "0" || value == "false") {
        message["on"] = false;
      } else {
        return invalidCommand("cfg: on= takes 0 or 1, got \"" + shown + "\"");
      }
      continue;
    }
    const char* member = key == "quality"                  ? "quality"
                         : key == "maxw" || key == "maxW" ? "maxW"
                         : key == "fps"                   ? "fps"
                                                          : nullptr;
    if (member == nullptr) return invalidCommand("cfg: unknown setting \"" + shown + "\" (quality, maxw, fps, on)");
    long long number = 0;
    if (!parseInteger(value, INT32_MIN, INT32_MAX, number))
      return invalidCommand("cfg: \"" + shown + "\" needs a 32-bit integer");
    message[member] = number;
  }
  if (message.empty()) return invalidCommand("cfg needs at least one of quality=Q maxw=W fps=F on=0|1");
  return sendCommand("echo.cfg", std::move(message));
}

std::string stringMember(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A number member as decimal text ("-" when absent or not a number).
std::string numberText(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return "-";
  if (it->is_number_unsigned()) return std::to_string(it->get<unsigned long long>());
  if (it->is_number_integer()) return std::to_string(it->get<long long>());
  if (it->is_number_float()) return formatString("%.0f", it->get<double>());
  return "-";
}

bool positiveNumber(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_number() && it->get<double>() > 0.0;
}

// ---- standard input ----

// Lines of standard input, handed from the reader thread to the loop.
// Shared ownership: the reader may still be blocked in a read when the
// hub returns.
struct InputLines {
  std::mutex mutex;
  std::vector<std::string> lines;
};

// Blocks for the next bytes of standard input; false at its end.
bool readInputChunk(std::string& out) {
#if defined(_WIN32)
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) {
    // A console hands over bytes in its code page; UTF-16 is exact.
    wchar_t units[1024];
    DWORD got = 0;
    if (!ReadConsoleW(input, units, 1024, &got, nullptr) || got == 0) return false;
    out = toNarrow(std::wstring_view(units, got));
    return true;
  }
  char bytes[4096];
  DWORD got = 0;
  if (!ReadFile(input, bytes, sizeof bytes, &got, nullptr) || got == 0) return false;
  out.assign(bytes, got);
  return true;
#else
  char bytes[4096];
  for (;;) {
    const ssize_t got = ::read(0, bytes, sizeof bytes);
    if (got > 0) {
      out.assign(bytes, static_cast<std::size_t>(got));
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    return false;
  }
#endif
}

void readInput(const std::shared_ptr<InputLines>& input) {
  std::string pending, chunk;
  std::vector<std::string> lines;
  while (readInputChunk(chunk)) {
    pending += chunk;
    std::size_t start = 0;
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
      lines.push_back(pending.substr(start, end - start));
      start = end + 1;
    }
    pending.erase(0, start);
    if (pending.size() > kInputLineMax) pending.clear();
    if (lines.empty()) continue;
    std::lock_guard<std::mutex> lock(input->mutex);
    for (auto& line : lines) input->lines.push_back(std::move(line));
    lines.clear();
  }
  if (pending.empty()) return;
  std::lock_guard<std::mutex> lock(input->mutex);
  input->lines.push_back(std::move(pending));
}

// ---- the hub ----

struct HubOptions {
  std::string name = kDefaultName;
  std::uint16_t port = kHubPort;
  bool discovery = true;
  std::string ip;
  std::string bind = "0.0.0.0";
  double seconds = 0.0;
  bool web = false;
  std::string webHost = "127.0.0.1";
  std::uint16_t webPort = kWebPort;
  std::string webToken;
  std::string agentsFile;
  std::string webStore;
};

// One TCP connection; it counts as a linked agent once it said hello.
struct AgentRecord {
  bool hello = false;
  std::string id;  // shown form
  std::string name;
  std::string address;
  std::string echoPort = "-";
  unsigned long long heartbeats = 0;
  unsigned long long heartbeatsSinceLine = 0;
  bool heartbeatLineShown = false;
  std::uint64_t heartbeatLineMs = 0;

  const char* shownId() const { return id.empty() ? "-" : id.c_str(); }
};

class Hub {
 public:
  explicit Hub(HubOptions options)
      : options_(std::move(options)),
        reply_(hubDiscoveryReply(options_.name, options_.port, options_.ip)),
        welcome_(dumpJson(Json{{"hubName", options_.name}, {"t", "welcome"}})) {}

  int run();

 private:
  void answerProbes();
  void onMessage(net::ClientId id, std::string_view text);
  void onHello(net::ClientId id, const Json& message);
  void onHeartbeat(net::ClientId id, const Json& message);
  void onDisconnect(net::ClientId id);
  void runInputLines();
  void printAgents() const;

  HubOptions options_;
  const std::string reply_;
  const std::string welcome_;
  net::UdpSocket discovery_;
  net::FrameServer server_;
  std::map<net::ClientId, AgentRecord> agents_;
  std::shared_ptr<InputLines> input_ = std::make_shared<InputLines>();
  std::unique_ptr<Console> console_;
  WebServer web_;
  std::vector<std::string> takenLines_;
};

void Hub::answerProbes() {
  if (!discovery_.isOpen()) return;
  char datagram[kDatagramCapacity];
  constexpr std::size_t probeLength = sizeof kHubProbe - 1;
  for (int i = 0; i < kProbesPerPass; ++i) {
    std::string sender;
    std::uint16_t senderPort = 0;
    const int n = discovery_.receiveFrom(datagram, sizeof datagram, sender, senderPort);
    if (n == 0) break;
    // Windows reports an earlier reply's ICMP "port unreachable" here: read on.
    if (n < 0) continue;
    if (static_cast<std::size_t>(n) != probeLength || std::string_view(datagram, probeLength) != kHubProbe) continue;
    discovery_.sendTo(sender, senderPort, reply_.data(), static_cast<int>(reply_.size()));
  }
}

void Hub::onMessage(net::ClientId id, std::string_view text) {
  const Json message = Json::parse(text.begin(), text.end(), nullptr, false);
  if (!message.is_object()) return;
  const std::string type = stringMember(message, "t");
  if (type == "hello") {
    onHello(id, message);
  } else if (type == "hb") {
    onHeartbeat(id, message);
  }
}

void Hub::onHello(net::ClientId id, const Json& message) {
  AgentRecord& agent = agents_[id];
  agent.hello = true;
  agent.id = textForDisplay(stringMember(message, "id"), kShownTextMax);
  agent.name = textForDisplay(stringMember(message, "name"), kShownTextMax);
  agent.echoPort = numberText(message, "echoPort");
  const std::string peer = server_.peerText(id);
  agent.address = peer.substr(0, peer.rfind(':'));
  const std::string size = positiveNumber(message, "w") && positiveNumber(message, "h")
                               ? " " + numberText(message, "w") + "x" + numberText(message, "h")
                               : std::string();
  printLine("hello #%u %s \"%s\" echoPort=%s%s from %s", id, agent.shownId(), agent.name.c_str(),
            agent.echoPort.c_str(), size.c_str(), agent.address.c_str());
  server_.sendText(id, welcome_);
  if (console_) {
    const auto it = message.find("echoPort");
    const long long echoPort = it != message.end() && it->is_number() ? it->get<long long>() : 0;
    const auto dimension = [&](const char* key) {
      return positiveNumber(message, key) ? static_cast<int>(message[key].get<double>()) : 0;
    };
    console_->linkHello(id, stringMember(message, "id"), stringMember(message, "name"), stringMember(message, "ver"),
                        agent.address,
                        static_cast<std::uint16_t>(echoPort > 0 && echoPort <= 65535 ? echoPort : kAgentEchoPort),
                        dimension("w"), dimension("h"));
  }
}

void Hub::onHeartbeat(net::ClientId id, const Json& message) {
  server_.sendText(id, kHeartbeatAck);
  if (console_) console_->linkHeartbeat(id);
  AgentRecord& agent = agents_[id];
  if (agent.id.empty()) agent.id = textForDisplay(stringMember(message, "id"), kShownTextMax);
  ++agent.heartbeats;
  ++agent.heartbeatsSinceLine;
  const std::uint64_t now = monotonicMs();
  if (agent.heartbeatLineShown && now - agent.heartbeatLineMs < kHeartbeatLineMs) return;
  printLine("hb %s: %llu heartbeat%s, last ts=%s", agent.shownId(), agent.heartbeatsSinceLine,
            agent.heartbeatsSinceLine == 1 ? "" : "s", numberText(message, "ts").c_str());
  agent.heartbeatLineShown = true;
  agent.heartbeatLineMs = now;
  agent.heartbeatsSinceLine = 0;
}

void Hub::onDisconnect(net::ClientId id) {
  if (console_) console_->linkGone(id);
  const auto it = agents_.find(id);
  if (it == agents_.end()) return;
  if (it->second.hello) printLine("bye #%u %s", id, it->second.shownId());
  agents_.erase(it);
}

void Hub::printAgents() const {
  std::size_t linked = 0;
  for (const auto& entry : agents_) linked += entry.second.hello ? 1 : 0;
  printLine("%zu agent(s) linked", linked);
  for (const auto& [id, agent] : agents_) {
    if (!agent.hello) continue;
    printLine("  #%u %s \"%s\" %s echoPort=%s heartbeats=%llu", id, agent.shownId(), agent.name.c_str(),
              agent.address.c_str(), agent.echoPort.c_str(), agent.heartbeats);
  }
}

void Hub::runInputLines() {
  {
    std::lock_guard<std::mutex> lock(input_->mutex);
    if (input_->lines.empty()) return;
    takenLines_.swap(input_->lines);
  }
  for (const std::string& line : takenLines_) {
    const HubCommand command = parseHubCommand(line);
    switch (command.kind) {
      case HubCommand::Kind::None:
        break;
      case HubCommand::Kind::Invalid:
        std::fprintf(stderr, "velmora-pad hub: %s\n", command.error.c_str());
        break;
      case HubCommand::Kind::List:
        printAgents();
        break;
      case HubCommand::Kind::Send: {
        int sent = 0;
        for (const auto& [id, agent] : agents_) {
          if (!agent.hello) continue;
          server_.sendText(id, command.message);
          ++sent;
        }
        printLine("sent %s to %d agent(s)", command.type.c_str(), sent);
        break;
      }
    }
  }
  takenLines_.clear();
}

int Hub::run() {
  // Blocks SIGINT/SIGTERM for every thread created later (Linux).
  installStopRequestHandlers();
  // The hub reports for itself; the socket layer's log lines would only
  // repeat it on standard error.
  logSetStderrEnabled(false);
  const unsigned port = options_.port;
  if (options_.discovery && !discovery_.open(options_.port, false, options_.bind))
    return fail(formatString("cannot bind UDP %s:%u", options_.bind.c_str(), port));
  if (!server_.listen(options_.port, options_.bind))
    return fail(formatString("cannot listen on TCP %s:%u", options_.bind.c_str(), port));

#if defined(_WIN32)
  // A console shows the UTF-8 lines right only in its UTF-8 code page.
  const UINT savedOutputCodePage = GetConsoleOutputCP();
  if (savedOutputCodePage != 0) SetConsoleOutputCP(CP_UTF8);
#endif
  if (options_.web) {
    std::string token = options_.webToken;
    if (token.empty() && !isLoopbackAddress(options_.webHost)) token = randomToken();
    const std::string store =
        !options_.webStore.empty() ? options_.webStore : joinPath(exeDirectory(), "velmora-pad-agents.txt");
    console_ = std::make_unique<Console>(store);
    if (!options_.agentsFile.empty()) {
      std::string text;
      if (!readWholeFile(options_.agentsFile, text)) return fail("cannot read " + options_.agentsFile);
      std::vector<std::string> bad;
      for (const std::string& entry : parseAgentList(text, &bad)) console_->addAddress(entry, false);
      for (const std::string& line : bad)
        std::fprintf(stderr, "velmora-pad hub: %s: not HOST[:PORT]: %s\n", options_.agentsFile.c_str(),
                     textForDisplay(line, kShownTextMax).c_str());
    }
    console_->loadPersisted();
    std::string error;
    if (!web_.start(options_.webHost, options_.webPort, token, *console_, error)) return fail(error);
    printLine("web console on %s", consoleUrl(options_.webHost, options_.webPort, token).c_str());
  }
  printLine("hub \"%s\" listening on %s:%u (discovery %s)", textForDisplay(options_.name, kShownTextMax).c_str(),
            options_.bind.c_str(), port, options_.discovery ? "on" : "off");
  std::thread(readInput, input_).detach();

  const net::FrameServer::ConnectHandler onConnect;
  const net::FrameServer::FrameHandler onFrame = [this](net::ClientId id, net::FrameKind kind,
                                                        const std::uint8_t* payload, std::uint64_t length) {
    if (kind != net::FrameKind::Text || payload == nullptr) return;
    onMessage(id, std::string_view(reinterpret_cast<const char*>(payload), length));
  };
  const net::FrameServer::DisconnectHandler onDisconnected = [this](net::ClientId id) { onDisconnect(id); };

  const std::uint64_t start = monotonicMs();
  const std::uint64_t limitMs = static_cast<std::uint64_t>(options_.seconds * 1000.0);
  while (!waitForStopRequest(kLoopWaitMs)) {
    if (limitMs != 0 && monotonicMs() - start >= limitMs) break;
    server_.poll(onConnect, onFrame, onDisconnected);
    answerProbes();
    runInputLines();
    if (console_) {
      console_->tick();
      for (const Console::LinkSend& send : console_->takeLinkSends()) server_.sendText(send.clientId, send.message);
    }
  }
  web_.stop();
  if (console_) console_->stop();
  server_.closeAll();
  discovery_.close();
#if defined(_WIN32)
  if (savedOutputCodePage != 0) SetConsoleOutputCP(savedOutputCodePage);
#endif
  return 0;
}

bool isIPv4Address(const std::string& text) {
  net::Ipv4Endpoint endpoint;
  return !text.empty() && net::resolveIPv4(text, 0, endpoint);
}

}  // namespace

std::string hubDiscoveryReply(const std::string& name, std::uint16_t port, const std::string& ip) {
  Json body = {{"name", name}, {"port", port}};
  if (!ip.empty()) body["ip"] = ip;
  return kHubReplyPrefix + dumpJson(body);
}

HubCommand parseHubCommand(std::string_view line) {
  std::string_view rest = line;
  const std::string_view word = nextWord(rest);
  const std::string argument = trimSpaces(rest);
  if (word.empty()) return HubCommand{};
  if (word == "cfg") return parseConfig(rest);
  if (word == "toast") return sendCommand("toast", Json{{"msg", argument}});
  if (word == "kick") return sendCommand("kick", Json{{"reason", argument}});
  if (word == "list") {
    if (!argument.empty()) return invalidCommand("list takes no arguments");
    HubCommand command;
    command.kind = HubCommand::Kind::List;
    return command;
  }
  return invalidCommand("unknown command \"" + textForDisplay(word, kShownTextMax) +
                        "\" (cfg, toast, kick, list)");
}

int runHub(const std::vector<std::string>& args) {
  HubOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--no-discovery") {
      options.discovery = false;
      continue;
    }
    // A bare --web serves on the default address.
    if (a == "--web" && (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)) {
      options.web = true;
      continue;
    }
    if (a != "--name" && a != "--port" && a != "--ip" && a != "--bind" && a != "--seconds" && a != "--web" &&
        a != "--web-token" && a != "--agents" && a != "--web-store")
      return fail("unexpected argument \"" + a + "\" (see --help)");
    if (i + 1 >= args.size()) return fail("option " + a + " needs a value");
    const std::string& value = args[++i];
    bool ok = true;
    if (a == "--name") {
      options.name = value;
    } else if (a == "--port") {
      long long port = 0;
      ok = parseInteger(value, 1, 65535, port);
      options.port = static_cast<std::uint16_t>(port);
    } else if (a == "--ip") {
      ok = isIPv4Address(value);
      options.ip = value;
    } else if (a == "--bind") {
      ok = isIPv4Address(value);
      options.bind = value;
    } else if (a == "--web") {
      options.web = true;
      ok = parseWebAddress(value, options.webHost, options.webPort);
    } else if (a == "--web-token") {
      options.webToken = value;
      // The token travels in the URL's query: keep it to characters that need no escaping.
      ok = !value.empty() && value.size() <= 128 &&
           std::all_of(value.begin(), value.end(), [](char c) {
             return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                    c == '_' || c == '.' || c == '~';
           });
    } else if (a == "--agents") {
      options.agentsFile = value;
      ok = !value.empty();
    } else if (a == "--web-store") {
      options.webStore = value;
      ok = !value.empty();
    } else {
      char* end = nullptr;
      options.seconds = std::strtod(value.c_str(), &end);
      ok = !value.empty() && end != nullptr && *end == '\0' && options.seconds > 0.0 && options.seconds <= 1e7;
    }
    if (!ok) return fail("bad value \"" + value + "\" for " + a);
  }
  return Hub(std::move(options)).run();
}

}  // namespace vl::pad
