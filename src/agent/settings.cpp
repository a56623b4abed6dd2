// settings.json: read once at start, written debounced by the tick and at stop.
#include <nlohmann/json.hpp>

#include "agent/agent.h"
#include "echo/input_message.h"
#include "log/helpers.h"
#include "log/log.h"

namespace vl {

namespace {

void readInt(const nlohmann::json& object, const char* key, int& member) {
  std::int32_t value = 0;
  if (readJsonInt(object, key, value)) member = value;
}

void readBool(const nlohmann::json& object, const char* key, bool& member) {
  const auto it = object.find(key);
  if (it != object.end() && it->is_boolean()) member = it->get<bool>();
}

}  // namespace

std::string serializeSettings(const AgentSettings& s) {
  nlohmann::json j;
  j["hubIp"] = s.hubIp;
  j["hubPort"] = s.hubPort;
  j["autoDiscover"] = s.autoDiscover;
  j["regionMode"] = s.region.mode;
  j["monitor"] = s.region.monitorIndex;
  j["regionX"] = s.region.x;
  j["regionY"] = s.region.y;
  j["regionW"] = s.region.width;
  j["regionH"] = s.region.height;
  j["maxW"] = s.maxW;
  j["quality"] = s.quality;
  j["fps"] = s.fps;
  j["captureOn"] = s.captureOn;
  j["excludeSelf"] = s.excludeSelf;
  j["staticSkip"] = s.staticSkip;
  j["trayOnStart"] = s.trayOnStart;
  // Newer than the other keys: files of the default setup stay as they were.
  if (!s.drawCursor) j["drawCursor"] = false;
  if (!s.allow.empty()) j["allow"] = s.allow;
  // Invalid UTF-8 in hubIp (typed by hand) must not make dump throw.
  return j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
}

SettingsParse parseSettings(std::string_view text, bool readHub, AgentSettings& s) {
  const nlohmann::json j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false, false);
  if (j.is_discarded() || !j.is_object()) return SettingsParse::Corrupt;
  std::string hub;
  if (readHub && readJsonString(j, "hubIp", hub)) {
    s.hubIp = hub;
    std::int32_t port = kPadPort;
    if (!readJsonInt(j, "hubPort", port)) port = kPadPort;
    s.hubPort = static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFu);
  }
  readBool(j, "autoDiscover", s.autoDiscover);
  readInt(j, "regionMode", s.region.mode);
  readInt(j, "monitor", s.region.monitorIndex);
  readInt(j, "regionX", s.region.x);
  readInt(j, "regionY", s.region.y);
  readInt(j, "regionW", s.region.width);
  readInt(j, "regionH", s.region.height);
  readInt(j, "maxW", s.maxW);
  readInt(j, "quality", s.quality);
  readInt(j, "fps", s.fps);
  readBool(j, "captureOn", s.captureOn);
  readBool(j, "excludeSelf", s.excludeSelf);
  readBool(j, "staticSkip", s.staticSkip);
  readBool(j, "trayOnStart", s.trayOnStart);
  readBool(j, "drawCursor", s.drawCursor);
  readJsonString(j, "allow", s.allow);
  return SettingsParse::Loaded;
}

std::string Agent::settingsPath() const {
  const std::string data = env_.dataDirectory.empty() ? agentDataDirectory() : env_.dataDirectory;
  return joinPath(data, "settings.json");
}

void Agent::loadSettings() {
  std::string text;
  if (!readWholeFile(settingsPath(), text)) return;
  if (parseSettings(text, !hubGivenOnCommandLine, settings) == SettingsParse::Corrupt) {
    logEvent(2, "设置文件损坏，已忽略");
    return;
  }
  normalizeRegion();
  const CaptureRegion& r = settings.region;
  const std::string region = r.mode == kRegionModeCustom
                                 ? formatString("%dx%d @ (%d,%d)", r.width, r.height, r.x, r.y)
                                 : formatString("显示器 %d", r.monitorIndex + 1);
  const std::string hub = settings.hubIp.empty() ? std::string("（未指定）") : printableForLog(settings.hubIp);
  logEvent(1, formatString("已恢复上次设置： Pad 端 %s / 自动发现 %s / 推流区域 %s / %dpx / 质量 %d / %d fps",
                           hub.c_str(), settings.autoDiscover ? "开" : "关", region.c_str(), settings.maxW,
                           settings.quality, settings.fps));
}

namespace {
AgentSettings settingsToWrite(const Agent& agent) {
  AgentSettings out = agent.settings;
  if (agent.regionOverridden) out.region = agent.savedRegion;
  return out;
}
}  // namespace

void Agent::saveSettings() {
  settingsWriter_.writeNow(settingsPath(), serializeSettings(settingsToWrite(*this)));
  reportSettingsWrites();
}

void Agent::reportSettingsWrites() {
  for (const SettingsNotice& notice : settingsWriter_.takeNotices()) logEvent(notice.level, notice.text);
}

void Agent::saveSettingsInBackground() {
  settingsWriter_.submit(settingsPath(), serializeSettings(settingsToWrite(*this)));
}

}  // namespace vl
