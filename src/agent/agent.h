// The agent: one object that owns every service (echo stream, system
// control, Pad discovery and link), the persisted settings, the identity,
// the monitor list, the capture region and the event log the panel shows.
//
// Threads: everything here runs on the UI thread except the echo thread,
// which only calls EchoService::pumpOnce. The UI thread talks to the echo
// service through its setters and flags.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "echo/capture.h"
#include "echo/capture_region.h"
#include "agent/access.h"
#include "agent/desktop_session.h"
#include "agent/settings_writer.h"
#include "agent/text_wrap.h"
#include "echo/display_watch.h"
#include "echo/echo_service.h"
#include "log/event_log.h"
#include "net/client.h"
#include "net/wait_set.h"
#include "net/wake_signal.h"
#include "sysctl/sysctl_service.h"

namespace vl {

inline constexpr std::uint16_t kEchoBasePort = 24692;
inline constexpr int kEchoPortCount = 16;  // 24692 … 24707
inline constexpr std::uint16_t kPadPort = 24690;  // discovery (UDP) and link (TCP)

inline constexpr std::uint64_t kSaveDebounceMs = 700;
inline constexpr std::uint64_t kProbeIntervalMs = 2500;
inline constexpr int kRepliesPerTick = 16;
inline constexpr int kReplyCapacity = 2047;
inline constexpr int kConnectTimeoutMs = 1500;
inline constexpr std::uint64_t kRetryDelayMs = 3000;
inline constexpr std::uint64_t kHeartbeatIntervalMs = 1000;
inline constexpr std::uint64_t kConnectWarnThrottleMs = 5000;
inline constexpr int kLinkFailureThreshold = 2;  // the third failure falls back
inline constexpr int kLinkReadsPerTick = 64;
inline constexpr int kLinkReadChunk = 65536;
// Pad-supplied text (names, notices, reasons) is cut to this many bytes.
inline constexpr std::size_t kPadTextMax = 512;

inline constexpr const char kProbeDatagram[] = "VL-FIND?V1";
inline constexpr const char kReplyPrefix[] = "VL-HUB!V1";
inline constexpr const char kSearchingStatus[] = "正在寻找 Pad 端…";

// Pad text made fit for the status line, the event log and agent.log:
// at most kPadTextMax bytes, cut at a UTF-8 boundary, no control bytes.
std::string padTextForDisplay(std::string_view text);

// Clamps into [lo, hi] after saturating to 32 bits.
int clampInt(long long value, int lo, int hi);

// The persisted members, keys as in settings.json.
struct AgentSettings {
  std::string hubIp;
  std::uint16_t hubPort = kPadPort;
  bool autoDiscover = true;
  CaptureRegion region;
  int maxW = EchoService::kDefaultMaxWidth;
  int quality = EchoService::kDefaultQuality;
  int fps = EchoService::kDefaultFps;
  bool captureOn = false;
  bool excludeSelf = true;
  bool staticSkip = false;
  bool trayOnStart = false;
  bool drawCursor = true;  // written to the file only when off
  std::string allow;       // allow-list text; written to the file only when set
};

// settings.json text: one-space indent, keys ascending, raw UTF-8, no
// newline after the closing brace.
std::string serializeSettings(const AgentSettings& settings);

enum class SettingsParse { Loaded, Corrupt };
// Reads the members present in `text` into `settings`; a member of the wrong
// type keeps its value. `readHub` false leaves hubIp/hubPort alone.
SettingsParse parseSettings(std::string_view text, bool readHub, AgentSettings& settings);

// One reply to a discovery probe.
struct PadReply {
  std::string address;
  std::uint16_t port = kPadPort;
  std::string name;
};
// false for anything but "VL-HUB!V1…|{object}" with members of the right types.
bool parseDiscoveryReply(std::string_view datagram, const std::string& sender, PadReply& out);

// The link's outgoing messages, compact with keys ascending.
std::string makeHelloMessage(const std::string& agentId, const std::string& displayName,
                             std::uint16_t echoPort, std::int32_t width, std::int32_t height);
std::string makeHeartbeatMessage(const std::string& agentId, std::int64_t unixMs);

// The computer's name ("" when it cannot be read).
std::string computerName();

// Whether a saved exclusion that fails at start-up is worth a warning in the
// panel's log: on Windows it means an old system; Linux never has the feature.
bool exclusionFailureWarnsAtStart();

// The panel's address box holds at most this many bytes with its NUL.
inline constexpr std::size_t kHubAddressBoxSize = 64;

// Whole seconds since the last reverse input. The echo thread stamps the
// input after the UI thread may have read the clock, so an input "ahead" of
// now counts as 0 instead of wrapping.
std::uint64_t secondsSinceInput(std::uint64_t nowMs, std::uint64_t lastInputMs);

// "显示器 N  WxH @ (X,Y)" for monitor `index` (0-based) into `out`, reusing its
// storage.
void formatMonitorLabel(std::string& out, std::size_t index, const MonitorInfo& monitor);

// Everything the agent reaches outside itself, replaceable in tests.
struct AgentEnvironment {
  using Clock = std::function<std::uint64_t()>;
  Clock clock;                      // monotonicMs when empty
  std::string dataDirectory;        // agentDataDirectory() when empty
  std::uint16_t echoBasePort = kEchoBasePort;
  std::uint16_t sysCtlPort = kSysCtlPort;
  std::string bindAddress = "0.0.0.0";
  // Monitors and desktop; the platform's when empty.
  std::function<void(std::vector<MonitorInfo>&, DesktopMetrics&)> desktop;
  // Where probes go; 255.255.255.255 and every directed broadcast on
  // kPadPort when empty.
  std::function<std::vector<std::pair<std::string, std::uint16_t>>()> probeTargets;
  // The echo service; the real screen and injector when empty.
  std::function<std::unique_ptr<EchoService>()> makeEchoService;
  SystemPlatform* systemPlatform = nullptr;  // the real one when null
  // Tells of display changes; the platform's when empty and `desktop` is
  // empty too (a fake desktop changes only when a test says so).
  std::function<std::unique_ptr<DisplayWatch>()> makeDisplayWatch;
  // Starts the echo thread; false when it cannot be created.
  std::function<bool(std::thread&, std::function<void()>)> startThread;
};

class Agent {
 public:
  explicit Agent(AgentEnvironment environment = {});
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Used once, before start, when the agent is a static object.
  void setEnvironment(AgentEnvironment environment);

  void start(void* mainWindow);
  void agentTick();
  void stop();
  // What the next tick waits for, so a loop without a frame rate sleeps
  // until then: every socket that brings the agent news (discovery, the Pad
  // link, the system-control port and its connections, the display watch,
  // the agent's own wake signal) and the earliest timer (the settings
  // debounce, the next probe, a connect's limit, the heartbeat, the
  // reconnect, a pending power operation). A due time in the past means
  // the tick has work now.
  void planWait(net::WaitSet& waits);

  void logEvent(int level, const std::string& text);

  // Region handling.
  void normalizeRegion();
  void applyRegion();
  void setRegionOverride(const CaptureRegion& region);
  // Reads the monitors and the desktop again; when they differ from the
  // cached ones, the stored region (left as it is) is resolved against the
  // new desktop, the echo service reopens its capturer and one line tells
  // the user. true when something changed. agentTick calls it on notice.
  bool refreshDisplays();

  // Settings file.
  std::string settingsPath() const;
  void loadSettings();
  // Writes now (stop, tests).
  void saveSettings();
  // Hands the text to the settings writer and returns (the tick).
  void saveSettingsInBackground();
  // Waits for a background save still running.
  void finishSettingsWrites() { settingsWriter_.finish(); }
  // What the settings writes since the last call have to tell the user.
  void reportSettingsWrites();
  SettingsWriter& settingsWriterForTest() { return settingsWriter_; }

  // Discovery.
  void sendProbe();
  void readReplies();
  void rediscover();

  // Pad link.
  void connectToPad(const std::string& host, std::uint16_t port);
  void disconnectPad(const std::string& reason);
  void useCommandLineHub(const std::string& address);
  void handlePadMessage(std::string_view text);

  // The panel's "连接" button: a typed address, tried at once.
  void connectToTypedAddress(const std::string& address);

  std::function<void()> onHideToTray;
  std::function<void()> onExitRequest;

  // The control panel: the whole content of the main window, drawn on every
  // rendered frame between the GUI's new-frame and render steps.
  void drawPanel();
  // The panel's actions, also reachable without a GUI (tests).
  void setRegionMode(int mode);     // "推流区域" combo
  void chooseMonitor(int index);    // "选哪块屏" entry, also the same again
  void customRegionEdited();        // one of the X/Y/宽度/高度 boxes changed
  void setMaxWidth(int maxWidth);   // the sliders: kept as typed, clamped by echo
  void setQuality(int quality);
  void setFps(int fps);
  void setExcludeSelf(bool on);     // the exclusion checkbox
  void setStaticSkip(bool on);      // the static-frame checkbox
  void setCaptureOn(bool on);
  // The address box's text: filled from hubIp while empty.
  const char* hubAddressBox();
  // What the user types into the box (cut to 63 bytes at a character edge).
  void typeHubAddress(std::string_view text);
  // Whether the log view keeps to its newest line (decided every frame).
  bool logFollowsNewest() const { return logFollowsNewest_; }

  // State the panel and the tests read.
  AgentSettings settings;  // the persisted members
  CaptureRegion savedRegion;
  bool regionOverridden = false;
  bool settingsDirty = false;
  bool hubGivenOnCommandLine = false;
  bool noCursorOnCommandLine = false;  // "--no-cursor": this run only; set before start
  // "--allow LIST", "--view-only", "--no-power": this run only; set before start.
  bool allowGivenOnCommandLine = false;
  std::string allowOnCommandLine;
  bool viewOnlyOnCommandLine = false;
  bool noPowerOnCommandLine = false;
  // The desktop back end chosen before start; start tells it (log, status).
  DesktopStartup desktopStartup;
  int linkFailures = 0;
  std::string hubName;
  std::string linkStatus = kSearchingStatus;
  bool linkConnecting = false;
  bool linkConnected = false;
  std::string connectHost;
  std::uint16_t connectPort = 0;
  std::vector<std::pair<std::string, std::uint16_t>> discoveredPads;
  std::uint64_t lastProbeMs = 0;
  std::uint64_t lastFailureMs = 0;
  std::uint64_t lastHeartbeatMs = 0;
  std::uint64_t lastSaveMs = 0;

  const std::string& agentId() const { return agentId_; }
  const std::string& displayName() const { return displayName_; }
  const std::vector<MonitorInfo>& monitors() const { return monitors_; }
  bool noDisplay() const { return monitors_.empty(); }
  std::uint16_t echoPort() const { return echoPort_; }
  bool echoReady() const { return echoReady_; }
  bool sysCtlReady() const { return sysCtl_ && sysCtl_->sysCtlReady(); }
  bool discoveryOpen() const { return discovery_.isOpen(); }
  bool echoThreadRunning() const { return echoThreadRunning_.load(); }
  EchoService* echo() { return echo_.get(); }
  SysCtlService* sysCtl() { return sysCtl_.get(); }
  const EventLog& eventLog() const { return events_; }
  const AccessGate& accessGate() const { return gate_; }
  // What the panel's "访问控制" row shows; fixed at start.
  const std::string& accessSummary() const { return accessSummary_; }
  // What the status block says about the desktop session ("" when fine).
  const std::string& sessionStatus() const { return sessionStatus_; }
  // The Wayland back end serving the session, for the status block ("" when none does).
  const std::string& desktopStatus() const { return desktopStatus_; }
  void* mainWindow() const { return mainWindow_; }
  // The rectangle the region in force stands for.
  MonitorInfo resolvedRegion() const;

 private:
  std::uint64_t now() const;
  void discoveryStep();
  bool openDiscoverySocket();
  void onLinkConnected();
  void sendToPad(const std::string& text);
  void pollPadLink();
  void countLinkFailure();
  void applyEchoConfig(const nlohmann::json& message);
  void startEchoThread();
  void configureAccess();
  void updatePadAddress();

  void drawPadRow();
  void drawStatus();
  void drawStreamSettings();
  void drawLogView();
  void drawFooter();
  void excludeFromCapture(bool warnOnFailure);
  void fillAddressBox(std::string_view text);
  void readDisplays(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) const;

  AgentEnvironment env_;
  void* mainWindow_ = nullptr;
  // Panel state kept between frames.
  char hubAddressBox_[kHubAddressBoxSize] = {};
  std::vector<std::string> monitorLabels_;
  std::vector<WrappedLine> logLines_;  // one log entry's wrapped lines
  bool logFollowsNewest_ = true;
  std::string agentId_;
  std::string displayName_;
  std::vector<MonitorInfo> monitors_;
  DesktopMetrics desktop_;
  std::unique_ptr<DisplayWatch> displayWatch_;
  EventLog events_;

  std::unique_ptr<EchoService> echo_;
  std::uint16_t echoPort_ = kEchoBasePort;
  bool echoReady_ = false;
  std::thread echoThread_;
  bool stopped_ = false;  // stop() has run since the last start()
  std::atomic<bool> echoThreadRunning_{false};

  AccessGate gate_;
  std::string accessSummary_;
  std::string sessionStatus_;  // the status block's desktop-session note; "" when all is well
  std::string desktopStatus_;  // the Wayland back end's name for the status block
  // Input refused for this run: "--view-only", or a back end without virtual input.
  bool viewOnly() const {
    return viewOnlyOnCommandLine || (desktopStartup.chosen && desktopStartup.kind == DesktopBackendKind::WlrootsViewOnly);
  }
  std::string gateHub_;  // settings.hubIp as last given to gate_
  // Other threads' news for the tick (posted events, settings notices);
  // before the writer, which may still use it while it ends.
  net::WakeSignal wake_;
  SettingsWriter settingsWriter_;

  std::unique_ptr<SysCtlService> sysCtl_;
  net::UdpSocket discovery_;
  net::TcpClient link_;
  std::vector<std::uint8_t> linkBuffer_;
  std::vector<std::uint8_t> readChunk_;
  std::uint64_t connectStartedMs_ = 0;
  std::uint64_t lastConnectWarnMs_ = 0;
  bool connectWarned_ = false;
};

}  // namespace vl
