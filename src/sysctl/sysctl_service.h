// System control on its own TCP port: the Pad connects, sends one "sys.cmd"
// text frame, gets one "sys.ack" and the connection is closed. Volume and
// mute run before the acknowledgement leaves; shutdown and restart run
// 400 ms after it, from the tick, so the Pad has its answer first.
// Anyone on the network can reach the port, so what a connection may cost
// is bounded: its size, its time, the number held at once and the log
// lines it causes. UI thread only; no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "log/event_log.h"
#include "log/throttle.h"
#include "net/frame_server.h"
#include "sysctl/system_platform.h"

namespace vl {

inline constexpr std::uint16_t kSysCtlPort = 24693;
inline constexpr std::uint64_t kPowerOpDelayMs = 400;
inline constexpr std::size_t kRejectedPayloadLogBytes = 160;
inline constexpr int kDefaultVolumeStep = 2;
// At the limit, the oldest connection that has not delivered a command
// makes room for the newcomer: a storm or a few silent connections delay a
// real command by a pass, never lock the Pad out.
inline constexpr std::size_t kMaxSysCtlClients = 16;
// The Pad sends its command right after connecting; a connection that has
// not delivered one by then is closed, silent or trickling.
inline constexpr std::uint64_t kSysCtlIdleMs = 5000;
// Lines of one kind (rejected commands, refused power, oversized frames,
// idle closes) are all written while they come at a human rate: a burst of
// this many, then a few a second; a flood is summarised by the count held back.
inline constexpr std::uint64_t kSysCtlLogBurst = 16;
inline constexpr std::uint64_t kSysCtlLogPerSecond = 4;
// While lines are held back, or a power command may still fail, the tick
// looks again this often.
inline constexpr std::uint64_t kSysCtlRecheckMs = 250;

// Display name of an operation; "（未选择操作）" for "", "（未知操作）" otherwise.
const char* sysOpDisplayName(std::string_view op);
// The eight wire names, "wake" included.
bool isKnownSysOp(std::string_view op);
bool isPowerSysOp(std::string_view op);

struct SysCtlCommand {
  bool valid = false;
  std::string op;
  int step = kDefaultVolumeStep;  // clamped to 1..50
};

// Members of another JSON type count as absent.
SysCtlCommand parseSysCtlCommand(std::string_view payload);

// Compact, keys ascending; "vol"/"muted" only when >= 0.
std::string makeSysCtlAck(bool ok, const std::string& msg, int vol, int muted);

class SysCtlService {
 public:
  using Clock = std::function<std::uint64_t()>;

  // `events` receives the user-facing lines (1 info, 2 warning, 3 error);
  // without one they go to the log. `platform` defaults to the real one;
  // `clock` to monotonicMs.
  explicit SysCtlService(EventSink events = {}, SystemPlatform* platform = nullptr,
                         Clock clock = {});
  ~SysCtlService();
  SysCtlService(const SysCtlService&) = delete;
  SysCtlService& operator=(const SysCtlService&) = delete;

  // Listens once; no other port is tried. The result is sysCtlReady().
  bool start(std::uint16_t port = kSysCtlPort, const std::string& bindAddress = "0.0.0.0");
  // Closes the server and its clients and drops a power operation that is
  // not yet due: nothing runs after the agent has stopped.
  void stop();

  // One server pass when ready (frames are handled inside it).
  void poll();
  // poll, runPendingPowerOp, then a power request that failed after it was
  // handed to the system goes to the log: what the agent's tick does.
  void tick();

  void handleSysCtlFrame(net::ClientId client, net::FrameKind kind, const std::uint8_t* payload,
                         std::uint64_t length);
  void runPendingPowerOp();
  // What the next tick waits for: the server's sockets, the pending power
  // operation, the idle close of a silent connection, held-back lines.
  void planWait(net::WaitSet& waits) const;

  // false: shutdown and restart are refused; volume and mute still work.
  void setPowerAllowed(bool allowed) { powerAllowed_ = allowed; }
  bool powerAllowed() const { return powerAllowed_; }
  // Who may connect (set before start).
  void setAcceptFilter(net::FrameServer::AcceptFilter filter) { server_.setAcceptFilter(std::move(filter)); }

  bool sysCtlReady() const { return ready_; }
  std::uint16_t port() const { return port_; }
  std::uint64_t commandCount() const { return commandCount_; }
  const std::string& pendingOp() const { return pendingOp_; }
  std::uint64_t pendingDueMs() const { return pendingDueMs_; }

 private:
  void logEvent(int level, const std::string& text);
  std::uint64_t now() const;
  void reply(net::ClientId client, bool ok, const std::string& msg, int vol, int muted);
  // Writes `text` unless `budget` holds it back; the line that is written
  // says how many were held back before it.
  void logBudgeted(LineBudget& budget, int level, const std::string& text);
  // A flood that has ended is summarised once the budget allows a line.
  void reportHeldBackLines();
  void closeIdleClients();
  // The connection to close when a newcomer finds the server full.
  net::ClientId oldestWithoutCommand();
  void reportLatePowerFailures();

  net::FrameServer server_;
  std::uint16_t port_ = kSysCtlPort;
  bool ready_ = false;
  bool powerAllowed_ = true;
  std::string pendingOp_;
  std::uint64_t pendingDueMs_ = 0;
  std::uint64_t commandCount_ = 0;

  // Connections that have not delivered a command yet: when each was
  // accepted, and in which order.
  struct Waiting {
    std::uint64_t openedMs;
    std::uint64_t order;
  };
  std::map<net::ClientId, Waiting> waiting_;
  std::uint64_t acceptOrder_ = 0;
  LineBudget rejectedLog_{kSysCtlLogBurst, kSysCtlLogPerSecond};
  LineBudget refusedPowerLog_{kSysCtlLogBurst, kSysCtlLogPerSecond};
  LineBudget oversizedLog_{kSysCtlLogBurst, kSysCtlLogPerSecond};
  LineBudget idleLog_{kSysCtlLogBurst, kSysCtlLogPerSecond};

  EventSink events_;
  SystemPlatform* platform_;
  Clock clock_;
  net::FrameServer::ConnectHandler onConnect_;
  net::FrameServer::FrameHandler onFrame_;
};

}  // namespace vl
