#include "velmora-pad/console.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <nlohmann/json.hpp>

#include "log/helpers.h"
#include "velmora-pad/common.h"
#include "velmora-pad/hub_commands.h"

namespace vl::pad {

namespace {

using Json = nlohmann::json;

constexpr int kConnectTimeoutMs = 1500;
constexpr int kSysConnectTimeoutMs = 3000;
// Volume actions run before the answer; allow for a slow audio server.
constexpr int kSysAckTimeoutMs = 5000;
constexpr std::uint64_t kReconnectMs = 2000;
constexpr int kReceiveWaitMs = 100;
constexpr std::uint64_t kTickMs = 250;
constexpr std::size_t kShownMax = 80;

std::string dumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string stringOf(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A JSON number as an integer; `fallback` when absent or not a number.
long long integerOf(const Json& object, const char* key, long long fallback) {
  const auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
  if (!it->is_number()) return fallback;
  const double value = it->get<double>();
  if (!(value > -4e9 && value < 4e9)) return fallback;
  return static_cast<long long>(value);
}

bool knownSysOp(const std::string& op) {
  static const char* const kOps[] = {"shutdown", "restart", "volup", "voldown", "mutetoggle", "mute", "unmute"};
  return std::any_of(std::begin(kOps), std::end(kOps), [&](const char* known) { return op == known; });
}

// Short Chinese names of the link commands, for the page's log.
const char* linkCommandName(const std::string& type) {
  if (type == "echo.cfg") return "推流参数";
  if (type == "toast") return "提示";
  return "踢下线";
}

}  // namespace

// ---- PageOutbox ----

bool PageOutbox::putEvent(std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (events_.size() >= kEventLimit) {
      closed_ = true;
    } else {
      events_.push_back(std::move(text));
    }
  }
  wake_.notify_all();
  return !closed();
}

void PageOutbox::putFrame(std::uint32_t agent, std::shared_ptr<const std::string> frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    auto& slot = frames_[agent];
    if (slot) {
      ++replaced_;
    } else {
      frameOrder_.push_back(agent);
    }
    slot = std::move(frame);
  }
  wake_.notify_all();
}

bool PageOutbox::next(Item& out, int waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ready = wake_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] {
    return closed_ || !events_.empty() || !frameOrder_.empty();
  });
  if (!ready || closed_) return false;
  if (!events_.empty()) {
    out.binary = false;
    out.data = std::make_shared<const std::string>(std::move(events_.front()));
    events_.pop_front();
    return true;
  }
  const std::uint32_t agent = frameOrder_.front();
  frameOrder_.pop_front();
  const auto it = frames_.find(agent);
  out.binary = true;
  out.data = std::move(it->second);
  frames_.erase(it);
  return true;
}

void PageOutbox::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  wake_.notify_all();
}

bool PageOutbox::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

std::uint64_t PageOutbox::framesReplaced() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replaced_;
}

std::shared_ptr<const std::string> taggedFrame(std::uint32_t agent, const std::uint8_t* jpeg, std::size_t size) {
  std::string message;
  message.reserve(4 + size);
  for (int shift = 24; shift >= 0; shift -= 8) message.push_back(static_cast<char>((agent >> shift) & 0xFF));
  message.append(reinterpret_cast<const char*>(jpeg), size);
  return std::make_shared<const std::string>(std::move(message));
}

std::vector<std::string> parseAgentList(std::string_view text, std::vector<std::string>* bad) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = trimSpaces(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::string host;
    std::uint16_t port = kAgentEchoPort;
    net::Ipv4Endpoint endpoint;
    if (parseHostPort(line, kAgentEchoPort, host, port) && net::resolveIPv4(host, port, endpoint)) {
      const std::string normal = host + ":" + std::to_string(port);
      if (std::find(out.begin(), out.end(), normal) == out.end()) out.push_back(normal);
    } else if (bad != nullptr) {
      bad->push_back(line);
    }
  }
  return out;
}

// ---- EchoWorker: one agent's echo port ----

// Watches one agent's echo port on its own thread, subscribed at the rate
// the pages want (none: unsubscribed), and sends the pages' input on a
// second connection of its own so a click never waits behind a frame.
class EchoWorker {
 public:
  EchoWorker(Console& console, std::uint32_t number, std::string host, std::uint16_t port)
      : console_(console), number_(number), host_(std::move(host)), port_(port) {
    thread_ = std::thread([this] { run(); });
  }
  ~EchoWorker() { stop(); }

  void setWanted(int fps) {
    if (wanted_.exchange(fps) == fps) return;
    wake_.notify_all();
  }
  void setEndpoint(const std::string& host, std::uint16_t port) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (host == host_ && port == port_) return;
      host_ = host;
      port_ = port;
      endpointChanged_ = true;
    }
    std::lock_guard<std::mutex> lock(inputMutex_);
    input_.close();
  }
  void stop() {
    stopping_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // One "input" message, on the input connection (opened on demand).
  bool sendInput(const std::string& message) {
    std::string host;
    std::uint16_t port = 0;
    endpoint(host, port);
    std::lock_guard<std::mutex> lock(inputMutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::string error;
      if (!input_.isOpen() && !input_.connect(host, port, kConnectTimeoutMs, error)) return false;
      if (input_.sendText(message)) return true;
      input_.close();
    }
    return false;
  }

 private:
  void endpoint(std::string& host, std::uint16_t& port) {
    std::lock_guard<std::mutex> lock(mutex_);
    host = host_;
    port = port_;
  }
  void waitMs(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_.load() || endpointChanged_; });
  }
  void run();

  Console& console_;
  const std::uint32_t number_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string host_;
  std::uint16_t port_;
  bool endpointChanged_ = false;
  std::atomic<int> wanted_{0};
  std::atomic<bool> stopping_{false};
  std::mutex inputMutex_;
  PadConnection input_;
  std::thread thread_;
};

void EchoWorker::run() {
  PadConnection connection;
  int subscribedFps = 0;
  std::uint64_t nextConnectMs = 0;
  net::FrameKind kind = net::FrameKind::Text;
  std::vector<std::uint8_t> payload;
  int width = 0, height = 0;
  while (!stopping_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (endpointChanged_) {
        endpointChanged_ = false;
        connection.close();
        nextConnectMs = 0;
      }
    }
    const int want = wanted_.load();
    if (want == 0 && subscribedFps != 0 && connection.isOpen()) {
      if (!connection.sendText(R"({"t":"unsub"})")) connection.close();
      subscribedFps = 0;
    }
    if (want == 0 && !connection.isOpen()) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(500),
                     [&] { return stopping_.load() || endpointChanged_ || wanted_.load() != 0; });
      continue;
    }
    if (!connection.isOpen()) {
      const std::uint64_t now = monotonicMs();
      if (now < nextConnectMs) {
        waitMs(static_cast<int>(std::min<std::uint64_t>(nextConnectMs - now, 200)));
        continue;
      }
      console_.echoState(number_, "connecting", width, height);
      std::string host, error;
      std::uint16_t port = 0;
      endpoint(host, port);
      if (!connection.connect(host, port, kConnectTimeoutMs, error)) {
        console_.echoState(number_, "gone", width, height);
        nextConnectMs = monotonicMs() + kReconnectMs;
        continue;
      }
      subscribedFps = 0;
    }
    if (want != 0 && subscribedFps != want) {
      const std::string subscribe =
          dumpJson(Json{{"client", "velmora-pad web"}, {"fps", want}, {"t", "subscribe"}});
      if (!connection.sendText(subscribe)) {
        connection.close();
        console_.echoState(number_, "gone", width, height);
        nextConnectMs = monotonicMs() + kReconnectMs;
        continue;
      }
      subscribedFps = want;
    }
    const int r = connection.receiveFrame(kind, payload, kReceiveWaitMs);
    if (r < 0) {
      connection.close();
      subscribedFps = 0;
      console_.echoState(number_, "gone", width, height);
      nextConnectMs = monotonicMs() + kReconnectMs;
      continue;
    }
    if (r == 0) continue;
    if (kind == net::FrameKind::Binary) {
      int w = 0, h = 0;
      if (!jpegSize(payload.data(), payload.size(), w, h)) continue;
      if (w != width || h != height) {
        width = w;
        height = h;
      }
      console_.echoState(number_, "ok", width, height);
      console_.echoFrame(number_, payload.data(), payload.size());
    } else {
      const Json reply = Json::parse(payload.begin(), payload.end(), nullptr, false);
      if (!reply.is_object() || stringOf(reply, "t") != "sub.ok") continue;
      const long long w = integerOf(reply, "w", 0), h = integerOf(reply, "h", 0);
      if (w > 0 && h > 0) {
        width = static_cast<int>(w);
        height = static_cast<int>(h);
      }
      console_.echoState(number_, "ok", width, height);
    }
  }
  connection.close();
}

// ---- Console ----

struct Console::Agent {
  std::uint32_t number = 0;
  std::string id, name, version;
  std::string host;
  std::uint16_t echoPort = kAgentEchoPort;
  bool byAddress = false;  // added by address (page or file) rather than by its link
  bool persisted = false;  // added in the page: kept in the file
  bool removed = false;
  std::uint32_t linkClient = 0;
  std::string link = "none";
  std::uint64_t lastHeartbeatMs = 0;
  std::string echo = "idle";
  int width = 0, height = 0;
  int wanted = 0;
  std::uint64_t frames = 0;
  std::unique_ptr<EchoWorker> worker;
};

struct Console::Page {
  std::uint32_t number = 0;
  PageOutbox outbox;
  std::thread sender;
  std::set<std::uint32_t> thumbs;
  std::uint32_t open = 0;
};

struct ViewRequest {
  std::set<std::uint32_t> thumbs;
  std::uint32_t open = 0;
};

Console::Console(std::string persistFile) : persistFile_(std::move(persistFile)) {}

Console::~Console() { stop(); }

void Console::stop() {
  std::vector<std::unique_ptr<Page>> pages;
  std::vector<EchoWorker*> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (auto& [number, page] : pages_) pages.push_back(std::move(page));
    pages_.clear();
    for (auto& agent : agents_)
      if (agent->worker) workers.push_back(agent->worker.get());
  }
  for (auto& page : pages) {
    page->outbox.close();
    if (page->sender.joinable()) page->sender.join();
  }
  // Workers call back into the console, so they stop without the lock.
  for (EchoWorker* worker : workers) worker->stop();
  std::lock_guard<std::mutex> lock(sysMutex_);
  for (auto& entry : sysThreads_)
    if (entry.second.joinable()) entry.second.join();
  sysThreads_.clear();
}

Console::Agent* Console::findByNumber(std::uint32_t number) {
  for (auto& agent : agents_)
    if (agent->number == number && !agent->removed) return agent.get();
  return nullptr;
}

Console::Agent* Console::findByEcho(const std::string& host, std::uint16_t port) {
  for (auto& agent : agents_)
    if (!agent->removed && agent->host == host && agent->echoPort == port) return agent.get();
  return nullptr;
}

Console::Agent& Console::newAgent() {
  agents_.push_back(std::make_unique<Agent>());
  agents_.back()->number = nextAgent_++;
  return *agents_.back();
}

std::string Console::agentJson(const Agent& agent) const {
  Json card = {{"t", "agent"},         {"n", agent.number},     {"id", agent.id},
               {"name", agent.name},   {"ver", agent.version},  {"addr", agent.host},
               {"echoPort", agent.echoPort}, {"w", agent.width}, {"h", agent.height},
               {"link", agent.link},   {"echo", agent.echo},    {"byAddr", agent.byAddress},
               {"removed", agent.removed}};
  return dumpJson(card);
}

void Console::broadcastEvent(const std::string& text) {
  for (auto& [number, page] : pages_) page->outbox.putEvent(text);
}

void Console::broadcastAgent(const Agent& agent) { broadcastEvent(agentJson(agent)); }

void Console::sendEvent(std::uint32_t page, const std::string& text) {
  const auto it = pages_.find(page);
  if (it != pages_.end()) it->second->outbox.putEvent(text);
}

void Console::startWorker(Agent& agent) {
  if (agent.worker || stopped_) return;
  agent.worker = std::make_unique<EchoWorker>(*this, agent.number, agent.host, agent.echoPort);
}

void Console::updateWanted() {
  for (auto& agent : agents_) {
    int want = 0;
    if (!agent->removed) {
      for (const auto& [number, page] : pages_) {
        if (page->open == agent->number) want = std::max(want, kOpenFps);
        if (page->thumbs.count(agent->number) != 0) want = std::max(want, kThumbFps);
      }
    }
    agent->wanted = want;
    if (want != 0) startWorker(*agent);
    if (agent->worker) agent->worker->setWanted(want);
    if (want == 0 && agent->echo != "idle" && agent->echo != "gone") agent->echo = "idle";
  }
}

bool Console::addAddress(const std::string& hostPort, bool persistIt) {
  const std::vector<std::string> parsed = parseAgentList(hostPort);
  if (parsed.size() != 1) return false;
  std::string host;
  std::uint16_t port = kAgentEchoPort;
  parseHostPort(parsed[0], kAgentEchoPort, host, port);
  std::lock_guard<std::mutex> lock(mutex_);
  if (Agent* known = findByEcho(host, port)) {
    if (persistIt && known->byAddress && !known->persisted) {
      known->persisted = true;
      persist();
    }
    return true;
  }
  Agent& agent = newAgent();
  agent.host = host;
  agent.echoPort = port;
  agent.byAddress = true;
  agent.persisted = persistIt;
  agent.name = host;
  if (persistIt) persist();
  broadcastAgent(agent);
  return true;
}

void Console::loadPersisted() {
  if (persistFile_.empty()) return;
  std::string text;
  if (!readWholeFile(persistFile_, text)) return;
  for (const std::string& entry : parseAgentList(text)) addAddress(entry, true);
}

void Console::persist() {
  if (persistFile_.empty()) return;
  std::string text = "# velmora-pad hub --web: agents added in the page, one HOST:ECHOPORT a line\n";
  for (const auto& agent : agents_)
    if (agent->persisted && !agent->removed) text += agent->host + ":" + std::to_string(agent->echoPort) + "\n";
  writeWholeFile(persistFile_, text);
}

void Console::linkHello(std::uint32_t clientId, const std::string& id, const std::string& name,
                        const std::string& version, const std::string& address, std::uint16_t echoPort,
                        int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  Agent* agent = nullptr;
  for (auto& known : agents_)
    if (!known->removed && !known->byAddress && !id.empty() && known->id == id) agent = known.get();
  if (agent == nullptr) agent = findByEcho(address, echoPort);
  if (agent == nullptr) agent = &newAgent();
  agent->byAddress = false;
  agent->id = textForDisplay(id, kShownMax);
  agent->name = textForDisplay(name, kShownMax);
  agent->version = textForDisplay(version, kShownMax);
  if (agent->host != address || agent->echoPort != echoPort) {
    agent->host = address;
    agent->echoPort = echoPort;
    if (agent->worker) agent->worker->setEndpoint(address, echoPort);
  }
  if (width > 0 && height > 0 && agent->width == 0) {
    agent->width = width;
    agent->height = height;
  }
  agent->linkClient = clientId;
  agent->link = "linked";
  agent->lastHeartbeatMs = monotonicMs();
  broadcastAgent(*agent);
  broadcastEvent(dumpJson(Json{{"t", "log"}, {"n", agent->number}, {"text", "已连接到本控制台"}}));
  updateWanted();
}

void Console::linkHeartbeat(std::uint32_t clientId) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& agent : agents_) {
    if (agent->linkClient != clientId || clientId == 0) continue;
    agent->lastHeartbeatMs = monotonicMs();
    if (agent->link != "linked") {
      agent->link = "linked";
      broadcastAgent(*agent);
    }
  }
}

void Console::linkGone(std::uint32_t clientId) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& agent : agents_) {
    if (agent->linkClient != clientId || clientId == 0) continue;
    agent->linkClient = 0;
    agent->link = "gone";
    broadcastAgent(*agent);
    broadcastEvent(dumpJson(Json{{"t", "log"}, {"n", agent->number}, {"text", "与本控制台的链接已断开"}}));
  }
}

void Console::tick() {
  const std::uint64_t now = monotonicMs();
  std::lock_guard<std::mutex> lock(mutex_);
  if (now - lastTickMs_ < kTickMs) return;
  lastTickMs_ = now;
  for (auto& agent : agents_) {
    if (agent->linkClient == 0 || agent->link != "linked") continue;
    if (now - agent->lastHeartbeatMs <= kHeartbeatLateMs) continue;
    agent->link = "late";
    broadcastAgent(*agent);
  }
}

std::vector<Console::LinkSend> Console::takeLinkSends() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LinkSend> out;
  out.swap(linkSends_);
  return out;
}

std::uint32_t Console::openPage(PageWriter writer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return 0;
  auto page = std::make_unique<Page>();
  page->number = nextPage_++;
  page->outbox.putEvent(dumpJson(Json{{"t", "hello"}, {"page", page->number}}));
  for (const auto& agent : agents_)
    if (!agent->removed) page->outbox.putEvent(agentJson(*agent));
  Page* raw = page.get();
  page->sender = std::thread([raw, writer = std::move(writer)] {
    PageOutbox::Item item;
    while (!raw->outbox.closed()) {
      if (!raw->outbox.next(item, 500)) continue;
      if (!writer(item.binary, *item.data)) raw->outbox.close();
    }
  });
  const std::uint32_t number = page->number;
  pages_.emplace(number, std::move(page));
  return number;
}

void Console::closePage(std::uint32_t number) {
  std::unique_ptr<Page> page;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = pages_.find(number);
    if (it == pages_.end()) return;
    page = std::move(it->second);
    pages_.erase(it);
    updateWanted();
  }
  page->outbox.close();
  if (page->sender.joinable()) page->sender.join();
}

void Console::echoFrame(std::uint32_t agent, const std::uint8_t* jpeg, std::size_t size) {
  std::shared_ptr<const std::string> frame;
  std::lock_guard<std::mutex> lock(mutex_);
  if (Agent* known = findByNumber(agent)) ++known->frames;
  for (auto& [number, page] : pages_) {
    if (page->open != agent && page->thumbs.count(agent) == 0) continue;
    if (!frame) frame = taggedFrame(agent, jpeg, size);
    page->outbox.putFrame(agent, frame);
  }
}

void Console::echoState(std::uint32_t number, const char* state, int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  Agent* agent = findByNumber(number);
  if (agent == nullptr) return;
  const bool sized = width > 0 && height > 0;
  if (agent->echo == state && (!sized || (agent->width == width && agent->height == height))) return;
  if (agent->wanted == 0 && std::string_view(state) != "gone") return;
  agent->echo = state;
  if (sized) {
    agent->width = width;
    agent->height = height;
  }
  broadcastAgent(*agent);
}

void Console::runSys(std::uint32_t agent, const std::string& host, const std::string& op) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, agent, host, op, done] {
    Json answer = {{"t", "ack"}, {"n", agent}, {"op", op}, {"ok", false}};
    PadConnection connection;
    std::string error;
    if (!connection.connect(host, kAgentSysPort, kSysConnectTimeoutMs, error)) {
      answer["msg"] = "连接系统控制端口失败";
    } else if (!connection.sendText(dumpJson(Json{{"op", op}, {"t", "sys.cmd"}}))) {
      answer["msg"] = "发送命令失败";
    } else {
      net::FrameKind kind = net::FrameKind::Text;
      std::vector<std::uint8_t> payload;
      const int r = connection.receiveFrame(kind, payload, kSysAckTimeoutMs);
      const Json ack = r > 0 && kind == net::FrameKind::Text
                           ? Json::parse(payload.begin(), payload.end(), nullptr, false)
                           : Json();
      if (ack.is_object() && stringOf(ack, "t") == "sys.ack") {
        const auto ok = ack.find("ok");
        answer["ok"] = ok != ack.end() && ok->is_boolean() && ok->get<bool>();
        answer["msg"] = textForDisplay(stringOf(ack, "msg"), 400);
        if (ack.contains("vol")) answer["vol"] = integerOf(ack, "vol", -1);
        if (ack.contains("muted")) answer["muted"] = integerOf(ack, "muted", 0) != 0;
      } else {
        answer["msg"] = r == 0 ? "没有收到应答" : "应答无法识别";
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      broadcastEvent(dumpJson(answer));
    }
    done->store(true);
  });
  std::lock_guard<std::mutex> lock(sysMutex_);
  // Finished commands leave their threads to be joined here.
  for (auto it = sysThreads_.begin(); it != sysThreads_.end();) {
    if (it->first->load()) {
      it->second.join();
      it = sysThreads_.erase(it);
    } else {
      ++it;
    }
  }
  sysThreads_.emplace_back(done, std::move(thread));
}

void Console::handleView(Page& page, const ViewRequest& request) {
  page.thumbs = request.thumbs;
  page.open = request.open;
  updateWanted();
}

void Console::onPageText(std::uint32_t pageNumber, std::string_view text) {
  const Json message = Json::parse(text.begin(), text.end(), nullptr, false);
  if (!message.is_object()) return;
  const std::string type = stringOf(message, "t");
  const long long number = integerOf(message, "n", 0);
  if (type == "view") {
    ViewRequest request;
    const auto thumbs = message.find("thumbs");
    if (thumbs != message.end() && thumbs->is_array())
      for (const Json& item : *thumbs)
        if (item.is_number_unsigned()) request.thumbs.insert(item.get<std::uint32_t>());
    request.open = static_cast<std::uint32_t>(std::max(0LL, integerOf(message, "open", 0)));
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = pages_.find(pageNumber);
    if (it != pages_.end()) handleView(*it->second, request);
    return;
  }
  if (type == "input") {
    // The members of the agent's input message pass through; nothing else.
    Json input = {{"t", "input"}};
    for (const char* key : {"type", "u", "v", "btn", "delta", "ctrl", "vk", "down", "s"}) {
      const auto it = message.find(key);
      if (it != message.end()) input[key] = *it;
    }
    EchoWorker* worker = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Agent* agent = findByNumber(static_cast<std::uint32_t>(number));
      if (agent == nullptr) return;
      startWorker(*agent);
      worker = agent->worker.get();
    }
    if (worker != nullptr && !worker->sendInput(dumpJson(input))) {
      std::lock_guard<std::mutex> lock(mutex_);
      sendEvent(pageNumber, dumpJson(Json{{"t", "log"}, {"n", number}, {"text", "输入未送达：连不上回显端口"}}));
    }
    return;
  }
  if (type == "sys") {
    const std::string op = stringOf(message, "op");
    if (!knownSysOp(op)) return;
    std::vector<std::pair<std::uint32_t, std::string>> targets;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto list = message.find("agents");
      if (list == message.end() || !list->is_array()) return;
      for (const Json& item : *list) {
        if (!item.is_number_unsigned()) continue;
        if (Agent* agent = findByNumber(item.get<std::uint32_t>())) targets.emplace_back(agent->number, agent->host);
      }
    }
    for (const auto& [agent, host] : targets) runSys(agent, host, op);
    return;
  }
  if (type == "link") {
    const auto inner = message.find("msg");
    if (inner == message.end() || !inner->is_object()) return;
    const std::string command = stringOf(*inner, "t");
    Json out;
    if (command == "echo.cfg") {
      out = Json{{"t", "echo.cfg"}};
      for (const char* key : {"quality", "maxW", "fps"}) {
        const long long value = integerOf(*inner, key, -1);
        if (value > 0) out[key] = value;
      }
      out["on"] = integerOf(*inner, "on", 0) != 0;
    } else if (command == "toast") {
      out = Json{{"msg", stringOf(*inner, "msg")}, {"t", "toast"}};
    } else if (command == "kick") {
      out = Json{{"reason", stringOf(*inner, "reason")}, {"t", "kick"}};
    } else {
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Agent* agent = findByNumber(static_cast<std::uint32_t>(number));
    if (agent == nullptr) return;
    std::string note;
    if (agent->linkClient == 0) {
      note = std::string("未发送") + linkCommandName(command) + "：它没有连接到本控制台";
    } else {
      linkSends_.push_back({agent->linkClient, dumpJson(out)});
      note = std::string("已发送") + linkCommandName(command) + "：" + dumpJson(out);
    }
    broadcastEvent(dumpJson(Json{{"t", "log"}, {"n", agent->number}, {"text", note}}));
    return;
  }
  if (type == "add") {
    const std::string address = stringOf(message, "addr");
    if (!addAddress(address, true)) {
      std::lock_guard<std::mutex> lock(mutex_);
      sendEvent(pageNumber, dumpJson(Json{{"t", "error"}, {"text", "地址不对：" + textForDisplay(address, kShownMax) +
                                                                      "（应为 IPv4 地址[:回显端口]）"}}));
    }
    return;
  }
  if (type == "remove") {
    std::lock_guard<std::mutex> lock(mutex_);
    Agent* agent = findByNumber(static_cast<std::uint32_t>(number));
    if (agent == nullptr || !agent->byAddress) return;
    agent->removed = true;
    if (agent->persisted) persist();
    broadcastAgent(*agent);
    updateWanted();
  }
}

std::vector<Console::AgentView> Console::agents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<AgentView> out;
  for (const auto& agent : agents_) {
    if (agent->removed) continue;
    out.push_back({agent->number, agent->link, agent->echo, agent->wanted, agent->frames});
  }
  return out;
}

}  // namespace vl::pad
