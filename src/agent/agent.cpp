// Start-up, identity, region handling and stop of the agent.
#include "agent/agent.h"
#include "agent/desktop_session.h"
#include "agent/fonts.h"

#include <chrono>
#include <limits>
#include <system_error>

#include "log/helpers.h"
#include "log/log.h"
#include "net/socket.h"

namespace vl {

namespace {

constexpr int kInfo = 1;
constexpr int kWarn = 2;
constexpr int kError = 3;

bool startStdThread(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

std::string padTextForDisplay(std::string_view text) {
  if (text.size() > kPadTextMax) {
    std::size_t cut = kPadTextMax;
    // Step back over continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut);
  }
  return printableForLog(text);
}

int clampInt(long long value, int lo, int hi) {
  if (value < lo) return lo;
  if (value > hi) return hi;
  return static_cast<int>(value);
}

Agent::Agent(AgentEnvironment environment) : env_(std::move(environment)) {
  settingsWriter_.setNoticeHook([this] { wake_.notify(); });
}

Agent::~Agent() { stop(); }

void Agent::setEnvironment(AgentEnvironment environment) { env_ = std::move(environment); }

std::uint64_t Agent::now() const { return env_.clock ? env_.clock() : monotonicMs(); }

void Agent::logEvent(int level, const std::string& text) {
  noteTextGlyphs(text);  // Pad names, notices, addresses: any character may come
  events_.logEvent(level, text);
}

MonitorInfo Agent::resolvedRegion() const { return resolveCaptureRegion(settings.region, monitors_, desktop_); }

void Agent::start(void* mainWindow) {
  stopped_ = false;
  mainWindow_ = mainWindow;
  agentId_ = formatString("agent_%08X", static_cast<unsigned>(random64() & 0xFFFFFFFFu));
  std::string name = computerName();
  if (name.empty()) name = "Velmora";
  displayName_ = name + " 被控端";
  noteTextGlyphs(displayName_);
  for (const StartupLine& line : desktopStartupLines(desktopStartup)) logEvent(line.level, line.text);
  desktopStatus_ = desktopBackendStatus(desktopStartup);
  // Without a back end of its own, streaming goes on in a Wayland session
  // (what XWayland shows is still sent); the user learns why the rest is black.
  const DesktopSession session = desktopStatus_.empty() ? currentDesktopSession() : DesktopSession::X11;
  const char* sessionNote = sessionStatusText(session);
  sessionStatus_ = sessionNote ? sessionNote : "";
  if (const char* line = sessionLogLine(session)) logEvent(kError, line);

  // Watching from before the first read: a change in between is not lost.
  if (env_.makeDisplayWatch) {
    displayWatch_ = env_.makeDisplayWatch();
  } else if (!env_.desktop) {
    displayWatch_ = createDisplayWatch();
  }
  readDisplays(monitors_, desktop_);
  if (monitors_.empty()) logEvent(kError, "未检测到显示器，无法推流");

  loadSettings();
  setPostedEventHook([this] { wake_.notify(); });

  echo_ = env_.makeEchoService ? env_.makeEchoService() : std::make_unique<EchoService>();
  configureAccess();
  echo_->setAcceptFilter(
      [this](const std::string& peer) { return gate_.admit(peer, "推流", now()); });
  echo_->viewOnly = viewOnly();
  echoReady_ = false;
  for (int i = 0; i < kEchoPortCount; ++i) {
    const unsigned wide = static_cast<unsigned>(env_.echoBasePort) + static_cast<unsigned>(i);
    if (wide > 65535u) break;
    const auto port = static_cast<std::uint16_t>(wide);
    if (echo_->start(port)) {
      echoReady_ = true;
      echoPort_ = port;
      break;
    }
  }
  if (echoReady_) {
    if (echoPort_ != env_.echoBasePort)
      logEvent(kWarn, formatString("标准端口 %u 被占用，改用 %u 推流", static_cast<unsigned>(env_.echoBasePort),
                                   static_cast<unsigned>(echoPort_)));
    logEvent(kInfo, formatString("推流服务就绪，端口 %u", static_cast<unsigned>(echoPort_)));
  } else {
    echoPort_ = env_.echoBasePort;
    logEvent(kError, "推流端口绑定失败，无法被观看");
  }

  // The setters clamp; the agent keeps the values as loaded.
  echo_->setQuality(settings.quality);
  echo_->setMaxWidth(settings.maxW);
  echo_->setFps(settings.fps);
  applyRegion();
  echo_->staticSkip = settings.staticSkip;
  echo_->drawCursor = settings.drawCursor && !noCursorOnCommandLine;
  // A saved "keep streaming" switch takes effect now, not at the next touch.
  echo_->captureOn = settings.captureOn;
  echo_->wake();
  // The saved exclusion holds from the first frame, not only after a click.
  if (mainWindow_ && settings.excludeSelf) excludeFromCapture(exclusionFailureWarnsAtStart());

  if (!openDiscoverySocket()) logEvent(kWarn, "UDP 打开失败，自动发现不可用（可手动填写 Pad 端 IP）");

  sysCtl_ = std::make_unique<SysCtlService>([this](int level, const std::string& text) { logEvent(level, text); },
                                            env_.systemPlatform, env_.clock);
  sysCtl_->setAcceptFilter([this](const std::string& peer) { return gate_.admit(peer, "系统控制", now()); });
  sysCtl_->setPowerAllowed(!noPowerOnCommandLine);
  sysCtl_->start(env_.sysCtlPort, env_.bindAddress);

  logEvent(kInfo, formatString("被控端启动: %s  标识 %s", displayName_.c_str(), agentId_.c_str()));
  logEvent(kInfo, "等待 Pad 端…（也可在下面手动填写 Pad 端 IP 后点连接）");

  startEchoThread();
}

void Agent::configureAccess() {
  const std::string& text = allowGivenOnCommandLine ? allowOnCommandLine : settings.allow;
  net::AllowList list = net::parseAllowList(text);
  if (!list.rejected.empty()) {
    std::string entries;
    for (const std::string& e : list.rejected) entries += (entries.empty() ? "" : ", ") + printableForLog(e);
    logEvent(kWarn, "允许名单中有无法识别的条目，已忽略：" + entries);
  }
  gate_.configure(std::move(list));
  gateHub_.clear();
  updatePadAddress();
  accessSummary_ = describeAccess(gate_.list(), viewOnly(), !noPowerOnCommandLine);
  if (gate_.list().active || viewOnly() || noPowerOnCommandLine)
    logEvent(kInfo, "访问控制：" + accessSummary_);
}

void Agent::updatePadAddress() {
  if (!gate_.list().includesPad || settings.hubIp == gateHub_) return;
  gateHub_ = settings.hubIp;
  net::Ipv4Endpoint pad;
  // Only a dotted address names a Pad; the any-address stands for none.
  gate_.setPadAddress(!gateHub_.empty() && net::resolveIPv4(gateHub_, 0, pad) ? pad.address : 0);
}

void Agent::startEchoThread() {
  if (!echoReady_) return;
  echoThreadRunning_.exchange(true);
  auto body = [this] {
    // Each pass waits in the network poll until something is due, so the
    // thread neither spins between frames nor wakes while nobody watches;
    // setting changes and stop wake it.
    while (echoThreadRunning_.load()) echo_->pumpOnce(EchoService::kWaitForWork);
  };
  const bool started = env_.startThread ? env_.startThread(echoThread_, body) : startStdThread(echoThread_, body);
  if (!started) {
    echoThreadRunning_.exchange(false);
    // Nobody would serve viewers that connect to a listening port.
    echo_->stop();
    echoReady_ = false;
    logEvent(kError, "推流线程创建失败，无法被观看");
  }
}

void Agent::stop() {
  // Never started, or stopped already: the destructor's call at static
  // destruction must touch nothing (the log and fonts may be gone).
  if ((!echo_ && !sysCtl_) || stopped_) return;
  stopped_ = true;
  saveSettings();
  echoThreadRunning_.exchange(false);
  if (echo_) echo_->wake();
  if (echoThread_.joinable()) echoThread_.join();
  if (echo_) echo_->stop();
  if (sysCtl_) sysCtl_->stop();
  discovery_.close();
  link_.close();
  linkConnected = false;
  linkConnecting = false;
  displayWatch_.reset();
  setPostedEventHook({});
}

void Agent::normalizeRegion() {
  CaptureRegion& r = settings.region;
  if (r.mode != kRegionModeMonitor && r.mode != kRegionModeCustom) r.mode = kRegionModeMonitor;
  const auto count = static_cast<long long>(monitors_.size());
  if (monitors_.empty() || r.monitorIndex < 0 || r.monitorIndex >= count) r.monitorIndex = 0;
  if (r.mode == kRegionModeCustom) {
    if (r.width <= 0 || r.height <= 0) {
      if (monitors_.empty()) {
        r.width = 1280;
        r.height = 720;
      } else {
        r.width = monitors_[static_cast<std::size_t>(r.monitorIndex)].width;
        r.height = monitors_[static_cast<std::size_t>(r.monitorIndex)].height;
      }
    }
    const MonitorInfo rect = resolveCaptureRegion(r, monitors_, desktop_);
    r.x = rect.x;
    r.y = rect.y;
    r.width = rect.width;
    r.height = rect.height;
  }
}

void Agent::applyRegion() {
  normalizeRegion();
  if (echo_) echo_->setRegion(settings.region);
  const MonitorInfo rect = resolvedRegion();
  if (settings.region.mode == kRegionModeCustom) {
    logEvent(kInfo, formatString("推流区域 → 自定义 %dx%d @ (%d,%d)", rect.width, rect.height, rect.x, rect.y));
  } else {
    logEvent(kInfo, formatString("推流区域 → 显示器 %d（%dx%d @ %d,%d）", settings.region.monitorIndex + 1, rect.width,
                                 rect.height, rect.x, rect.y));
  }
}

void Agent::setRegionOverride(const CaptureRegion& region) {
  savedRegion = settings.region;
  regionOverridden = true;
  settings.region = region;
  applyRegion();
  logEvent(kInfo, "命令行指定了推流区域（只影响本次运行，不写回设置）");
}

}  // namespace vl
