#include "agent/access.h"

#include "log/helpers.h"
#include "log/log.h"
#include "net/socket.h"

namespace vl {

namespace {
// Refused addresses remembered for the once-a-minute warning; a scan of the
// whole IPv4 space must not grow the map without end.
constexpr std::size_t kMaxRemembered = 4096;
}  // namespace

bool AccessGate::admit(const std::string& peerAddress, const char* portName, std::uint64_t nowMs) {
  if (!list_.active) return true;
  net::Ipv4Endpoint peer;
  // An address that cannot be read is not on any list.
  const bool readable = net::resolveIPv4(peerAddress, 0, peer);
  if (readable && net::allowListPermits(list_, peer.address, pad_.load())) return true;

  std::lock_guard<std::mutex> lock(mutex_);
  if (lastWarnMs_.size() >= kMaxRemembered) {
    for (auto it = lastWarnMs_.begin(); it != lastWarnMs_.end();)
      it = nowMs - it->second >= kWarnIntervalMs ? lastWarnMs_.erase(it) : std::next(it);
    if (lastWarnMs_.size() >= kMaxRemembered) lastWarnMs_.clear();
  }
  const auto [it, first] = lastWarnMs_.try_emplace(peer.address, nowMs);
  if (first || nowMs - it->second >= kWarnIntervalMs) {
    it->second = nowMs;
    logWrite(LogLevel::Warn, "已拒绝来自 %s 的%s连接（不在允许名单内）", printableForLog(peerAddress).c_str(), portName);
  }
  return false;
}

std::string describeAccess(const net::AllowList& list, bool viewOnly, bool powerAllowed) {
  std::string text = "不限来源";
  if (list.active) {
    const std::string entries = net::describeAllowList(list);
    text = entries.empty() ? "仅允许本机" : "仅允许 " + entries + " 及本机";
  }
  if (viewOnly) text += "，仅观看";
  if (!powerAllowed) text += "，禁止远程关机/重启";
  return text;
}

}  // namespace vl
