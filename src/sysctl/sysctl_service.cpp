#include "sysctl/sysctl_service.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "log/helpers.h"
#include "log/json_bounded.h"
#include "log/log.h"
#include "sysctl/system_actions.h"

namespace vl {
namespace {

using nlohmann::json;

constexpr int kInfo = 1;
constexpr int kWarn = 2;
constexpr int kError = 3;

constexpr char kPowerRefusedText[] = "本机已禁止远程关机/重启";

struct OpEntry {
  const char* wire;
  const char* display;
};

constexpr OpEntry kOps[] = {
    {"shutdown", "关机"},        {"restart", "重启"},     {"volup", "音量 +"},
    {"voldown", "音量 -"},       {"mutetoggle", "静音切换"}, {"mute", "静音"},
    {"unmute", "取消静音"},      {"wake", "开机 / 唤醒"},
};

std::string stringMember(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

// Any JSON number (cut toward zero) or a boolean; clamped to 1..50.
int stepMember(const json& object) {
  const auto it = object.find("step");
  if (it == object.end()) return kDefaultVolumeStep;
  double value = 0.0;
  if (it->is_boolean()) {
    value = it->get<bool>() ? 1.0 : 0.0;
  } else if (it->is_number_integer() && !it->is_number_unsigned()) {
    value = static_cast<double>(std::clamp<std::int64_t>(it->get<std::int64_t>(), -1, 51));
  } else if (it->is_number_unsigned()) {
    value = static_cast<double>(std::min<std::uint64_t>(it->get<std::uint64_t>(), 51));
  } else if (it->is_number_float()) {
    value = std::trunc(it->get<double>());
  } else {
    return kDefaultVolumeStep;  // wrong type counts as absent
  }
  if (!(value >= 1.0)) return 1;
  if (value > 50.0) return 50;
  return static_cast<int>(value);
}

}  // namespace

const char* sysOpDisplayName(std::string_view op) {
  for (const auto& entry : kOps) {
    if (op == entry.wire) return entry.display;
  }
  return op.empty() ? "（未选择操作）" : "（未知操作）";
}

bool isKnownSysOp(std::string_view op) {
  return std::any_of(std::begin(kOps), std::end(kOps),
                     [op](const OpEntry& entry) { return op == entry.wire; });
}

bool isPowerSysOp(std::string_view op) { return op == "shutdown" || op == "restart"; }

SysCtlCommand parseSysCtlCommand(std::string_view payload) {
  SysCtlCommand command;
  const json value = parseBoundedJson(payload);
  if (value.is_discarded() || !value.is_object()) return command;
  if (stringMember(value, "t") != "sys.cmd") return command;
  std::string op = stringMember(value, "op");
  if (!isKnownSysOp(op) || op == "wake") return command;
  command.step = stepMember(value);
  command.op = std::move(op);
  command.valid = true;
  return command;
}

std::string makeSysCtlAck(bool ok, const std::string& msg, int vol, int muted) {
  json ack = json::object();
  ack["t"] = "sys.ack";
  ack["ok"] = ok;
  ack["msg"] = msg;
  if (vol >= 0) ack["vol"] = vol;
  if (muted >= 0) ack["muted"] = muted;
  return ack.dump(-1, ' ', false, json::error_handler_t::replace);
}

SysCtlService::SysCtlService(EventSink events, SystemPlatform* platform, Clock clock)
    : events_(std::move(events)),
      platform_(platform ? platform : &defaultSystemPlatform()),
      clock_(std::move(clock)) {
  server_.setMaxClients(kMaxSysCtlClients);
  // An oversized command is refused from its header, never buffered.
  server_.setMaxFramePayload(static_cast<std::uint32_t>(kMaxTextFrameBytes));
  server_.setMakeRoom([this] { return oldestWithoutCommand(); });
  onConnect_ = [this](net::ClientId client) { waiting_[client] = Waiting{now(), ++acceptOrder_}; };
  onFrame_ = [this](net::ClientId client, net::FrameKind kind, const std::uint8_t* payload,
                    std::uint64_t length) { handleSysCtlFrame(client, kind, payload, length); };
}

SysCtlService::~SysCtlService() { stop(); }

bool SysCtlService::start(std::uint16_t port, const std::string& bindAddress) {
  port_ = port;
  ready_ = server_.listen(port, bindAddress);
  if (ready_) {
    logEvent(kInfo, formatString("系统控制服务就绪，端口 %u（中控端可远程关机/重启/音量/静音）", port));
  } else {
    logEvent(kWarn, formatString("系统控制端口 %u 被占用 ⇒ 中控端无法控制本机系统操作", port));
  }
  return ready_;
}

void SysCtlService::stop() {
  server_.closeAll();
  waiting_.clear();
  ready_ = false;
  pendingOp_.clear();
  pendingDueMs_ = 0;
}

void SysCtlService::poll() {
  if (!ready_) return;
  server_.poll(onConnect_, onFrame_, {});
  closeIdleClients();
  reportHeldBackLines();
}

void SysCtlService::tick() {
  poll();
  runPendingPowerOp();
  reportLatePowerFailures();
}

void SysCtlService::closeIdleClients() {
  const std::uint64_t t = now();
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    const net::ClientId client = it->first;
    if (!server_.hasClient(client)) {
      it = waiting_.erase(it);
    } else if (t - it->second.openedMs >= kSysCtlIdleMs) {
      it = waiting_.erase(it);
      server_.closeClient(client, false);
      logBudgeted(idleLog_, kInfo, formatString("系统控制连接 #%u %llu 秒内没有发来命令，已断开", client,
                                                static_cast<unsigned long long>(kSysCtlIdleMs / 1000)));
    } else {
      ++it;
    }
  }
}

net::ClientId SysCtlService::oldestWithoutCommand() {
  auto oldest = waiting_.end();
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (!server_.hasClient(it->first)) {
      it = waiting_.erase(it);
      continue;
    }
    if (oldest == waiting_.end() || it->second.order < oldest->second.order) oldest = it;
    ++it;
  }
  if (oldest == waiting_.end()) return 0;  // every one has its answer on the way
  const net::ClientId client = oldest->first;
  waiting_.erase(oldest);
  return client;
}

void SysCtlService::reportHeldBackLines() {
  struct Kind {
    LineBudget& budget;
    int level;
    const char* what;
  };
  const Kind kinds[] = {
      {rejectedLog_, kWarn, "不合法的系统控制命令"},
      {refusedPowerLog_, kWarn, "被拒绝的关机/重启命令"},
      {oversizedLog_, kWarn, "过大的系统控制帧"},
      {idleLog_, kInfo, "未发命令而断开的系统控制连接"},
  };
  for (const Kind& kind : kinds) {
    if (kind.budget.held() == 0) continue;
    std::uint64_t held = 0;
    if (!kind.budget.allowSummary(now(), &held)) continue;
    logEvent(kind.level, formatString("此前另有 %llu 条%s未记（来得太密）", static_cast<unsigned long long>(held),
                                      kind.what));
  }
}

void SysCtlService::reportLatePowerFailures() {
  bool reboot = false;
  std::uint32_t code = 0;
  while (platform_->takeLatePowerFailure(reboot, code)) {
    logEvent(kError, formatString("系统控制 %s 执行失败：%s", sysOpDisplayName(reboot ? "restart" : "shutdown"),
                                  powerRequestRefusedText(reboot, code).c_str()));
  }
}

void SysCtlService::handleSysCtlFrame(net::ClientId client, net::FrameKind kind,
                                      const std::uint8_t* payload, std::uint64_t length) {
  // Whatever comes now, the connection is answered or closed at once.
  waiting_.erase(client);
  if (kind != net::FrameKind::Text) {
    server_.closeClient(client, true);
    return;
  }
  // A command is a few dozen bytes: anything this large is not parsed at
  // all, and one is enough to end the connection.
  if (length > kMaxTextFrameBytes) {
    server_.closeClient(client, false);
    logBudgeted(oversizedLog_, kWarn,
                formatString("系统控制连接 #%u 发来过大的文本帧（%llu 字节），已断开", client,
                             static_cast<unsigned long long>(length)));
    return;
  }
  const std::string_view text =
      payload ? std::string_view(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(length))
              : std::string_view();
  const SysCtlCommand command = parseSysCtlCommand(text);

  if (!command.valid) {
    const bool mentionsWake = text.find("\"wake\"") != std::string_view::npos;
    // Copied first: closing the client frees the buffer the payload lives in.
    // Control bytes are neutralised so a stranger cannot forge or split lines.
    const std::string line =
        "收到一条不合法的系统控制命令，已拒绝：" + printableForLog(text.substr(0, kRejectedPayloadLogBytes));
    reply(client, false,
          mentionsWake ? "开机/唤醒由中控端直接发魔术包，不走本端口" : "命令不合法：不认识的操作", -1,
          -1);
    logBudgeted(rejectedLog_, kWarn, line);
    return;
  }

  ++commandCount_;
  const char* name = sysOpDisplayName(command.op);
  if (isPowerSysOp(command.op) && !powerAllowed_) {
    reply(client, false, kPowerRefusedText, -1, -1);
    logBudgeted(refusedPowerLog_, kWarn, formatString("收到系统控制：%s —— %s，已拒绝", name, kPowerRefusedText));
    return;
  }
  if (isPowerSysOp(command.op)) {
    reply(client, true, command.op == "restart" ? "正在重启" : "正在关机", -1, -1);
    pendingOp_ = command.op;
    pendingDueMs_ = now() + kPowerOpDelayMs;
    logEvent(kWarn, formatString("收到系统控制：%s —— 0.4 秒后执行（先回执，避免中控端判超时）", name));
    return;
  }

  std::string message;
  int volume = -1;
  int muted = -1;
  const bool ok = executeSystemOp(*platform_, command.op, command.step, &message, &volume, &muted);
  reply(client, ok, message, volume, muted);
  logEvent(ok ? kInfo : kError,
           formatString("系统控制 %s（幅度 %d）：%s", name, command.step, message.c_str()));
}

void SysCtlService::planWait(net::WaitSet& waits) const {
  if (!pendingOp_.empty()) waits.dueAt(pendingDueMs_);
  const std::uint64_t t = now();
  if (platform_->powerRequestsOutstanding()) waits.dueAt(t + kSysCtlRecheckMs);
  if (!ready_) return;
  server_.planWait(waits);
  for (const auto& entry : waiting_) waits.dueAt(entry.second.openedMs + kSysCtlIdleMs);
  for (const LineBudget* budget : {&rejectedLog_, &refusedPowerLog_, &oversizedLog_, &idleLog_})
    if (budget->held() != 0) waits.dueAt(t + kSysCtlRecheckMs);
}

void SysCtlService::runPendingPowerOp() {
  if (pendingOp_.empty() || now() < pendingDueMs_) return;
  const std::string op = std::move(pendingOp_);
  pendingOp_.clear();
  if (!powerAllowed_) return;  // forbidden while it was waiting
  std::string message;
  if (!executeSystemOp(*platform_, op, 0, &message, nullptr, nullptr)) {
    logEvent(kError, formatString("系统控制 %s 执行失败：%s", sysOpDisplayName(op), message.c_str()));
  }
}

void SysCtlService::reply(net::ClientId client, bool ok, const std::string& msg, int vol, int muted) {
  server_.sendText(client, makeSysCtlAck(ok, msg, vol, muted));
  server_.closeClient(client, true);
}

void SysCtlService::logBudgeted(LineBudget& budget, int level, const std::string& text) {
  std::uint64_t held = 0;
  if (!budget.allow(now(), &held)) return;
  if (held == 0) {
    logEvent(level, text);
  } else {
    logEvent(level, text + formatString("（另有 %llu 条未记）", static_cast<unsigned long long>(held)));
  }
}

void SysCtlService::logEvent(int level, const std::string& text) {
  if (events_) {
    events_(level, text);
    return;
  }
  logWrite(level == kError ? LogLevel::Error : level == kWarn ? LogLevel::Warn : LogLevel::Info, "%s",
           text.c_str());
}

std::uint64_t SysCtlService::now() const { return clock_ ? clock_() : monotonicMs(); }

}  // namespace vl
