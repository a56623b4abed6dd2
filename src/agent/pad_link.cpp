// The agent's link to the Pad and the order of the whole agent tick.
#include <cstring>

#include <nlohmann/json.hpp>

#include "agent/agent.h"
#include "agent/fonts.h"
#include "echo/input_message.h"
#include "log/helpers.h"
#include "log/json_bounded.h"
#include "net/frame.h"

namespace vl {

namespace {

constexpr int kInfo = 1;
constexpr int kWarn = 2;

std::string dumpCompact(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string makeHelloMessage(const std::string& agentId, const std::string& displayName, std::uint16_t echoPort,
                             std::int32_t width, std::int32_t height) {
  nlohmann::json j;
  j["t"] = "hello";
  j["id"] = agentId;
  j["name"] = displayName;
  j["kind"] = "agent";
  j["ver"] = "1.0.0";
  j["caps"] = nlohmann::json::array({"echo", "push"});
  j["echoPort"] = echoPort;
  if (width > 0 && height > 0) {
    j["w"] = width;
    j["h"] = height;
  }
  return dumpCompact(j);
}

std::string makeHeartbeatMessage(const std::string& agentId, std::int64_t unixMs) {
  nlohmann::json j;
  j["t"] = "hb";
  j["id"] = agentId;
  j["ts"] = static_cast<std::uint64_t>(unixMs < 0 ? 0 : unixMs);
  return dumpCompact(j);
}

void Agent::planWait(net::WaitSet& waits) {
  const std::uint64_t t = now();
  waits.watch(wake_.handle());
  if (settingsDirty) waits.dueAt(lastSaveMs + kSaveDebounceMs + 1);
  if (displayWatch_) {
    const int handle = displayWatch_->waitHandle();
    if (handle >= 0) waits.watch(static_cast<net::SocketHandle>(handle));
    waits.dueAt(displayWatch_->nextCheckMs(t));
  }
  if (settings.autoDiscover) {
    // Closed: reopened at the next probe's time.
    waits.watch(discovery_.handle());
    waits.dueAt(lastProbeMs + kProbeIntervalMs + 1);
  }
  if (linkConnecting) {
    waits.watch(link_.handle(), true);
    waits.dueAt(connectStartedMs_ + static_cast<std::uint64_t>(kConnectTimeoutMs) + 1);
  }
  if (sysCtl_) sysCtl_->planWait(waits);
  if (linkConnected) {
    waits.watch(link_.handle());
    waits.dueAt(lastHeartbeatMs + kHeartbeatIntervalMs + 1);
  } else if (!linkConnecting && !settings.hubIp.empty()) {
    waits.dueAt(lastFailureMs == 0 ? t : lastFailureMs + kRetryDelayMs + 1);
  }
}

void Agent::agentTick() {
  wake_.drain();
  const std::uint64_t t = now();
  for (const EventLogEntry& e : takePostedEvents()) logEvent(e.level, e.text);
  if (settingsDirty && t > lastSaveMs + kSaveDebounceMs) {
    lastSaveMs = t;
    settingsDirty = false;
    saveSettingsInBackground();
  }
  reportSettingsWrites();
  updatePadAddress();
  if (displayWatch_ && displayWatch_->changed()) refreshDisplays();
  if (settings.autoDiscover) discoveryStep();

  if (linkConnecting) {
    const std::uint64_t elapsed64 = now() - connectStartedMs_;
    const int elapsed = static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(elapsed64)));
    const int r = link_.pollConnect(elapsed, kConnectTimeoutMs);
    if (r == 1) {
      onLinkConnected();
    } else if (r == -1) {
      linkConnecting = false;
      linkStatus = "未连接（连接超时）";
      lastFailureMs = t;
      logEvent(kWarn, formatString("连接 Pad 端失败 %s:%u（超时），稍后重试", connectHost.c_str(),
                                   static_cast<unsigned>(connectPort)));
      countLinkFailure();
    }
  }

  if (sysCtl_) sysCtl_->tick();

  if (linkConnected) {
    pollPadLink();
    return;
  }
  if (!linkConnecting && !settings.hubIp.empty() && (lastFailureMs == 0 || t > lastFailureMs + kRetryDelayMs)) {
    connectToPad(settings.hubIp, settings.hubPort);
    return;
  }
  if (settings.hubIp.empty()) linkStatus = kSearchingStatus;
}

void Agent::connectToPad(const std::string& host, std::uint16_t port) {
  const std::string shown = printableForLog(host);
  linkStatus = "连接 Pad 端 " + shown + " …";
  connectHost = shown;
  connectPort = port;
  connectStartedMs_ = now();
  linkConnecting = true;
  if (!link_.startConnect(host, port)) {
    linkConnecting = false;
    linkStatus = "未连接（连接失败）";
    const std::uint64_t t = now();
    lastFailureMs = t;
    if (!connectWarned_ || t > lastConnectWarnMs_ + kConnectWarnThrottleMs) {
      connectWarned_ = true;
      lastConnectWarnMs_ = t;
      logEvent(kWarn, formatString("连接 Pad 端失败 %s:%u，稍后重试", shown.c_str(), static_cast<unsigned>(port)));
    }
    countLinkFailure();
    return;
  }
  if (link_.isOpen() && !link_.broken() && !link_.connecting()) onLinkConnected();
}

void Agent::onLinkConnected() {
  linkConnecting = false;
  linkFailures = 0;
  linkBuffer_.clear();
  linkConnected = true;
  lastFailureMs = 0;
  const MonitorInfo rect = resolvedRegion();
  sendToPad(makeHelloMessage(agentId_, displayName_, echoPort_, rect.width, rect.height));
  if (!linkConnected) return;
  lastHeartbeatMs = now();
  linkStatus = "已连接";
  logEvent(kInfo, formatString("已连接 Pad 端 %s:%u", connectHost.c_str(), static_cast<unsigned>(connectPort)));
}

void Agent::sendToPad(const std::string& text) {
  if (!linkConnected) return;
  std::vector<std::uint8_t> frame;
  frame.reserve(net::kFrameHeaderSize + text.size());
  net::appendFrame(frame, net::FrameKind::Text, text.data(), text.size());
  if (link_.sendAll(frame.data(), frame.size()) < 0) disconnectPad("发送失败");
}

void Agent::disconnectPad(const std::string& reason) {
  if (linkConnected) logEvent(kWarn, "断开 Pad 端：" + reason);
  link_.close();
  linkConnecting = false;
  linkConnected = false;
  linkBuffer_.clear();
  linkStatus = "未连接（" + reason + "）";
  noteTextGlyphs(linkStatus);  // a kick's reason, also when it is not logged
  lastFailureMs = now();
}

void Agent::pollPadLink() {
  if (readChunk_.size() != static_cast<std::size_t>(kLinkReadChunk)) readChunk_.resize(kLinkReadChunk);
  for (int i = 0; i < kLinkReadsPerTick; ++i) {
    const int n = link_.receive(readChunk_.data(), kLinkReadChunk, 0);
    if (n <= 0) break;
    linkBuffer_.insert(linkBuffer_.end(), readChunk_.begin(), readChunk_.begin() + n);
    if (linkBuffer_.size() > net::kMaxReceiveBuffer) {
      disconnectPad("帧过大");
      return;
    }
    if (n < kLinkReadChunk) break;
  }

  std::size_t offset = 0;
  while (linkBuffer_.size() - offset >= net::kFrameHeaderSize) {
    const std::uint8_t* h = linkBuffer_.data() + offset;
    const std::uint32_t length = (std::uint32_t(h[0]) << 24) | (std::uint32_t(h[1]) << 16) |
                                 (std::uint32_t(h[2]) << 8) | std::uint32_t(h[3]);
    if (length > net::kMaxFramePayload) {
      disconnectPad("帧长度非法");
      return;
    }
    if (linkBuffer_.size() - offset - net::kFrameHeaderSize < length) break;
    const std::uint8_t kind = h[4];
    const char* payload = reinterpret_cast<const char*>(h + net::kFrameHeaderSize);
    offset += net::kFrameHeaderSize + length;
    // Pad messages are small; a larger one is not worth a copy or a parse.
    if (kind == static_cast<std::uint8_t>(net::FrameKind::Text) && length <= kMaxTextFrameBytes) {
      handlePadMessage(std::string(payload, length));
      if (!linkConnected) return;  // the buffer went with the link
    }
  }
  linkBuffer_.erase(linkBuffer_.begin(), linkBuffer_.begin() + static_cast<std::ptrdiff_t>(offset));
  // One large frame must not pin its buffer for the rest of the link.
  if (linkBuffer_.empty() && linkBuffer_.capacity() > net::kKeptReceiveCapacity) {
    std::vector<std::uint8_t>().swap(linkBuffer_);
  }

  const std::uint64_t t = now();
  if (linkConnected && t > lastHeartbeatMs + kHeartbeatIntervalMs) {
    lastHeartbeatMs = t;
    sendToPad(makeHeartbeatMessage(agentId_, unixTimeMs()));
  }
  if (linkConnected && (!link_.isOpen() || link_.broken() || link_.connecting())) disconnectPad("连接已断开");
}

void Agent::handlePadMessage(std::string_view text) {
  const nlohmann::json j = parseBoundedJson(text);
  if (j.is_discarded() || !j.is_object()) return;
  std::string type;
  readJsonString(j, "t", type);

  if (type == "welcome") {
    std::string name;
    if (readJsonString(j, "hubName", name)) {
      hubName = padTextForDisplay(name);
    } else if (j.contains("hubName")) {
      return;  // wrong type: the whole message is ignored
    }
    linkStatus = "已连接 " + hubName;
    lastHeartbeatMs = now();
    logEvent(kInfo, "Pad 端握手完成: " + hubName + " —— 本机现在可以出现在编辑器的上传/回显列表里");
  } else if (type == "echo.cfg") {
    applyEchoConfig(j);
  } else if (type == "toast") {
    std::string msg;
    if (!readJsonString(j, "msg", msg) && j.contains("msg")) return;
    logEvent(kInfo, "Pad 端提示: " + padTextForDisplay(msg));
  } else if (type == "kick") {
    std::string reason;
    if (!readJsonString(j, "reason", reason) && j.contains("reason")) return;
    disconnectPad("被 Pad 端断开: " + padTextForDisplay(reason));
  } else if (type == "hb.ack" || type == "hb") {
    lastHeartbeatMs = now();
  }
}

void Agent::applyEchoConfig(const nlohmann::json& j) {
  if (!echo_) return;
  std::int32_t value = 0;
  if (readJsonInt(j, "quality", value)) echo_->setQuality(value);
  if (readJsonInt(j, "maxW", value)) echo_->setMaxWidth(value);
  if (readJsonInt(j, "fps", value)) echo_->setFps(value);
  bool on = false;
  const auto it = j.find("on");
  if (it != j.end()) {
    if (it->is_boolean()) {
      on = it->get<bool>();
    } else if (it->is_number()) {
      on = it->get<double>() != 0.0;
    }
  }
  echo_->captureOn = on;
  echo_->wake();
  settings.captureOn = on;
  settings.quality = echo_->quality();
  settings.maxW = echo_->maxWidth();
  settings.fps = echo_->fps();
  logEvent(kInfo, formatString("Pad 端下发推流参数：质量 %d / 宽 %d / 帧率 %d / %s", settings.quality, settings.maxW,
                               settings.fps, on ? "开播" : "停播"));
}

void Agent::countLinkFailure() {
  if (hubGivenOnCommandLine) return;
  ++linkFailures;
  if (linkFailures > kLinkFailureThreshold && settings.autoDiscover) {
    if (!settings.hubIp.empty()) {
      logEvent(kWarn, formatString("记住的 Pad 端 %s:%u 连续 %d 次连不上，改为自动发现",
                                   printableForLog(settings.hubIp).c_str(), static_cast<unsigned>(settings.hubPort),
                                   linkFailures));
      settings.hubIp.clear();
      settings.hubPort = kPadPort;
      discoveredPads.clear();
      linkFailures = 0;
      settingsDirty = true;
    } else {
      linkFailures = 0;
    }
  }
}

void Agent::useCommandLineHub(const std::string& address) {
  settings.hubIp = address;
  settings.hubPort = kPadPort;
  settings.autoDiscover = false;
  hubGivenOnCommandLine = true;
  lastFailureMs = 0;
  logEvent(kInfo, "使用命令行指定的 Pad 端：" + printableForLog(address));
}

void Agent::connectToTypedAddress(const std::string& address) {
  const std::string trimmed = trimSpaces(address);
  if (trimmed.empty()) return;  // a blank box must not retry the old address
  settings.hubIp = trimmed;
  lastFailureMs = 0;
  linkFailures = 0;
  connectToPad(settings.hubIp, settings.hubPort);
  settingsDirty = true;
}

}  // namespace vl
