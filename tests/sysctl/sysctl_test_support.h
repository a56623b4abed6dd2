// Helpers shared by the system-control tests: the dry-run switch, an event
// recorder and a one-command client that drives the service while it waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "net/client.h"
#include "net/frame.h"
#include "sysctl/sysctl_service.h"
#include "sysctl/system_actions.h"

namespace vl::test {

inline const char* const kAudioOps[] = {"volup", "voldown", "mute", "unmute", "mutetoggle"};
inline const char kNoDevice[] = "没有默认播放设备（声卡被禁用 / 没装驱动）";

// What executeSystemOp answered; -2 marks "not written".
struct Outcome {
  bool ok = false;
  std::string message;
  int volume = -2;
  int muted = -2;
};

inline Outcome run(SystemPlatform& platform, const std::string& op, int step = 2) {
  Outcome o;
  o.ok = executeSystemOp(platform, op, step, &o.message, &o.volume, &o.muted);
  return o;
}

// Sets or removes VL_POWER_DRY_RUN for one scope and restores it after.
class ScopedDryRun {
 public:
  explicit ScopedDryRun(bool on);
  ~ScopedDryRun();
  ScopedDryRun(const ScopedDryRun&) = delete;
  ScopedDryRun& operator=(const ScopedDryRun&) = delete;

 private:
  bool had_;
  std::string old_;
};

// Sets an environment variable for one scope (empty value: removed).
void setEnv(const char* name, const std::string& value);

// Records what a service reports to its event sink.
struct EventRecorder {
  struct Entry {
    int level;
    std::string text;
  };
  std::vector<Entry> entries;
  EventSink sink() {
    return [this](int level, const std::string& text) { entries.push_back({level, text}); };
  }
  int count(int level, const std::string& part) const {
    int n = 0;
    for (const auto& e : entries) n += e.level == level && e.text.find(part) != std::string::npos;
    return n;
  }
};

// Header and payload of one frame.
std::string frameBytes(net::FrameKind kind, const std::string& payload);
inline std::string textFrame(const std::string& payload) {
  return frameBytes(net::FrameKind::Text, payload);
}

struct Frame {
  net::FrameKind kind;
  std::string payload;
};

struct Exchange {
  bool connected = false;
  bool closedByAgent = false;  // the agent ended the connection
  std::vector<Frame> frames;   // everything received, in order
};

// Starts the service on 127.0.0.1 and a free port; 0 when none was found.
std::uint16_t startOnFreePort(SysCtlService& service);

// Connects to 127.0.0.1:port, sends `raw` and ticks the service until the
// agent closes the connection (at most 5 s).
Exchange exchangeWith(SysCtlService& service, std::uint16_t port, const std::string& raw);

// Connects to 127.0.0.1:port while ticking the service, then ticks a few
// passes more so the service has taken the connection.
bool connectTicking(SysCtlService& service, std::uint16_t port, net::TcpClient& client);

// Ticks the service (and reads `client`) until the agent ends the connection,
// at most `passes` times; whether it did.
bool closedTicking(SysCtlService& service, net::TcpClient& client, int passes);

}  // namespace vl::test
