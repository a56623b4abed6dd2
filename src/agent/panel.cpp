// The control panel: the whole main window, rebuilt every frame from the
// agent's state. What its widgets do lives in plain member functions, so the
// same actions run without a GUI.
//
// No allocation per frame beyond growing the monitor labels, and no call to
// the platform: the region is resolved against the cached monitor list.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <imgui.h>

#include "agent/agent.h"
#include "agent/fonts.h"
#include "agent/text_wrap.h"
#include "agent/theme.h"
#include "log/helpers.h"
#include "log/log.h"
#include "version.h"

namespace vl {

namespace {

constexpr int kInfo = 1;
constexpr int kWarn = 2;
constexpr int kError = 3;

constexpr const char* kAccent = "#3DBDF5";
constexpr const char* kSuccess = "#31C48D";
constexpr const char* kWarning = "#E8A33D";
constexpr const char* kFailure = "#E2564F";
constexpr const char* kMuted = "#8A9AAD";
constexpr const char* kText = "#E6EDF5";
constexpr const char* kDim = "#5C6B7D";
constexpr const char* kLink = "#2A7FA8";

constexpr const char* kContactLabel = "技术咨询 ";
constexpr const char* kContactAddress = "support.velmora.example";
constexpr const char* kVersionLabel = "  v" VL_VERSION;

// Lengths are pixels, deliberately not scaled with the DPI.
constexpr float kValueColumnX = 110.0f;
constexpr float kLogBottomSlack = 4.0f;

ImVec4 hintColor() { return ImVec4(0.62f, 0.70f, 0.78f, 1.0f); }

ImVec4 logColor(int level) {
  switch (level) {
    case kError: return hexColor(kFailure);
    case kWarn: return hexColor(kWarning);
    case kInfo: return hexColor(kText);
    default: return hexColor(kMuted);
  }
}

void statusRow(const char* label) {
  ImGui::TextUnformatted(label);
  ImGui::SameLine(kValueColumnX);
}

void settingRow(const char* label) {
  statusRow(label);
  ImGui::SetNextItemWidth(-1.0f);
}

}  // namespace

std::uint64_t secondsSinceInput(std::uint64_t nowMs, std::uint64_t lastInputMs) {
  return nowMs > lastInputMs ? (nowMs - lastInputMs) / 1000u : 0u;
}

void formatMonitorLabel(std::string& out, std::size_t index, const MonitorInfo& m) {
  char buffer[160];
  const int n = std::snprintf(buffer, sizeof buffer, "显示器 %zu  %dx%d @ (%d,%d)", index + 1, m.width, m.height,
                              m.x, m.y);
  out.assign(buffer, static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1)));
}

// ---- actions ----

void Agent::setRegionMode(int mode) {
  mode = mode != kRegionModeMonitor ? kRegionModeCustom : kRegionModeMonitor;
  CaptureRegion& r = settings.region;
  if (mode == r.mode) return;
  r.mode = mode;
  if (mode == kRegionModeCustom && !monitors_.empty()) {
    const auto count = static_cast<long long>(monitors_.size());
    const MonitorInfo& m =
        monitors_[r.monitorIndex >= 0 && r.monitorIndex < count ? static_cast<std::size_t>(r.monitorIndex) : 0u];
    r.x = m.x;
    r.y = m.y;
    r.width = m.width;
    r.height = m.height;
  }
  applyRegion();
  settingsDirty = true;
}

void Agent::chooseMonitor(int index) {
  settings.region.monitorIndex = index;
  applyRegion();
  settingsDirty = true;
}

void Agent::customRegionEdited() {
  applyRegion();
  settingsDirty = true;
}

void Agent::setMaxWidth(int maxWidth) {
  settings.maxW = maxWidth;
  if (echo_) echo_->setMaxWidth(maxWidth);
  settingsDirty = true;
}

void Agent::setQuality(int quality) {
  settings.quality = quality;
  if (echo_) echo_->setQuality(quality);
  settingsDirty = true;
}

void Agent::setFps(int fps) {
  settings.fps = fps;
  if (echo_) echo_->setFps(fps);
  settingsDirty = true;
}

void Agent::excludeFromCapture(bool warnOnFailure) {
  if (setCaptureExclusion(mainWindow_, true)) {
    logEvent(kInfo, "本窗口已排除在抓屏之外");
  } else if (warnOnFailure) {
    logEvent(kWarn, "系统不支持排除本窗口（需 Win10 2004+）");
  } else {
    logWrite(LogLevel::Info, "本平台不支持排除本窗口，已跳过");
  }
}

void Agent::setExcludeSelf(bool on) {
  settings.excludeSelf = on;
  settingsDirty = true;
  if (on) {
    excludeFromCapture(true);
  } else {
    setCaptureExclusion(mainWindow_, false);
    logEvent(kWarn, "已允许本窗口出现在推流画面里");
  }
}

void Agent::setStaticSkip(bool on) {
  settings.staticSkip = on;
  if (echo_) {
    echo_->staticSkip = on;
    echo_->wake();
  }
  settingsDirty = true;
  logEvent(kInfo, on ? "已开启静帧省流（带宽优先）" : "已关闭静帧省流（延迟优先，随时跟手）");
}

void Agent::setCaptureOn(bool on) {
  settings.captureOn = on;
  if (echo_) {
    echo_->captureOn = on;
    echo_->wake();
  }
  settingsDirty = true;
}

void Agent::fillAddressBox(std::string_view text) {
  std::size_t n = std::min(text.size(), kHubAddressBoxSize - 1);
  // Never leave half a character for the text box to show.
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(hubAddressBox_, text.data(), n);
  hubAddressBox_[n] = '\0';
  noteTextGlyphs(std::string_view(hubAddressBox_, n));
}

const char* Agent::hubAddressBox() {
  if (hubAddressBox_[0] == '\0' && !settings.hubIp.empty()) fillAddressBox(settings.hubIp);
  return hubAddressBox_;
}

void Agent::typeHubAddress(std::string_view text) { fillAddressBox(text); }

// ---- drawing ----

void Agent::drawPanel() {
  const ImGuiViewport* viewport = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(viewport->WorkPos, ImGuiCond_Always, ImVec2(0.0f, 0.0f));
  ImGui::SetNextWindowSize(viewport->WorkSize, ImGuiCond_Always);
  constexpr ImGuiWindowFlags flags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize |
                                     ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse |
                                     ImGuiWindowFlags_NoBringToFrontOnFocus;
  if (ImGui::Begin("##agent", nullptr, flags)) {
    ImGui::TextColored(hexColor(kAccent), "Velmora 被控端");
    ImGui::SameLine();
    ImGui::TextDisabled("  把这台电脑的桌面推给中控端，并接受反向操作");
    ImGui::Spacing();
    ImGui::Separator();
    drawPadRow();
    ImGui::Spacing();

    const ImGuiStyle& style = ImGui::GetStyle();
    const ImVec2 avail = ImGui::GetContentRegionAvail();
    const float footer = ImGui::GetTextLineHeightWithSpacing() + style.ItemSpacing.y + 8.0f;
    const float h = std::max(80.0f, avail.y - footer);
    // 1.86: BeginChild takes the border as a bool.
    if (ImGui::BeginChild("##left", ImVec2(avail.x * 0.56f, h), true)) {
      drawStatus();
      drawStreamSettings();
    }
    ImGui::EndChild();
    ImGui::SameLine();
    if (ImGui::BeginChild("##right", ImVec2(0.0f, h), true)) {
      ImGui::Spacing();
      separatorText("运行日志");
      drawLogView();
    }
    ImGui::EndChild();
    drawFooter();
  }
  ImGui::End();
}

void Agent::drawPadRow() {
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(10.0f, 6.0f));
  if (ImGui::Button("重新发现")) rediscover();
  ImGui::SameLine();
  if (ImGui::Checkbox("自动发现", &settings.autoDiscover)) settingsDirty = true;
  ImGui::SameLine();
  ImGui::TextDisabled("|");
  ImGui::SameLine();
  ImGui::TextUnformatted("Pad 端 IP");
  ImGui::SameLine();
  hubAddressBox();
  ImGui::SetNextItemWidth(170.0f);
  // What the operator types (an input method may bring any character).
  if (ImGui::InputText("##hubip", hubAddressBox_, sizeof hubAddressBox_)) noteTextGlyphs(hubAddressBox_);
  ImGui::SameLine();
  if (ImGui::Button("连接")) connectToTypedAddress(hubAddressBox_);
  ImGui::PopStyleVar();
}

void Agent::drawStatus() {
  ImGui::Spacing();
  if (linkConnected) {
    ImGui::TextColored(hexColor(kSuccess), "%s", "● 已接入 Pad 端");
  } else {
    ImGui::TextColored(hexColor(kWarning), "%s", "○ 未连接");
  }
  ImGui::SameLine();
  ImGui::TextDisabled("  %s", linkStatus.c_str());
  if (linkConnected && !hubName.empty()) {
    ImGui::SameLine();
    ImGui::TextDisabled("（%s）", hubName.c_str());
  }
  ImGui::Spacing();
  ImGui::Separator();
  ImGui::Spacing();

  const EchoService* echo = echo_.get();
  const int viewers = echo ? std::max(echo->subscriberCount(), 0) : 0;
  statusRow("推流");
  if (viewers > 0) {
    ImGui::TextColored(hexColor(kAccent), "正在被观看");
  } else {
    ImGui::TextColored(hexColor(kMuted), "空闲");
  }
  ImGui::SameLine();
  ImGui::TextDisabled("观看端 %zu 个", static_cast<std::size_t>(viewers));

  statusRow("画面");
  const std::uint32_t width = echo ? echo->frameWidth() : 0u;
  if (width == 0) {
    ImGui::TextDisabled("未开始采集（有观看端时自动开始）");
  } else {
    // currentJpeg() belongs to the echo thread; its size is published for us.
    ImGui::Text("%d × %d  %.1f fps  %.0f KB/帧", static_cast<int>(width), static_cast<int>(echo->frameHeight()),
                static_cast<double>(echo->measuredFps()), static_cast<double>(echo->currentJpegSize()) / 1024.0);
  }

  statusRow("累计");
  ImGui::TextDisabled("已发 %llu 帧 / %.1f MB", static_cast<unsigned long long>(echo ? echo->framesSent() : 0u),
                      static_cast<double>(echo ? echo->bytesSent() : 0u) / 1048576.0);

  statusRow("推流端口");
  if (echoReady_) {
    ImGui::Text("TCP %u", static_cast<unsigned>(echoPort_));
  } else {
    ImGui::TextColored(hexColor(kFailure), "绑定失败");
  }

  statusRow("系统控制");
  const unsigned sysPort = static_cast<unsigned>(sysCtl_ ? sysCtl_->port() : env_.sysCtlPort);
  if (sysCtlReady()) {
    ImGui::TextColored(hexColor(kSuccess), "TCP %u 就绪", sysPort);
    ImGui::SameLine();
    ImGui::TextDisabled("已收到 %llu 条", static_cast<unsigned long long>(sysCtl_->commandCount()));
  } else {
    ImGui::TextColored(hexColor(kFailure), "端口 %u 被占用", sysPort);
  }

  statusRow("访问控制");
  if (gate_.list().active || !sysCtl_ || !sysCtl_->powerAllowed() || (echo && echo->viewOnly)) {
    ImGui::TextColored(hexColor(kAccent), "%s", accessSummary_.c_str());
  } else {
    ImGui::TextDisabled("%s", accessSummary_.c_str());
  }

  if (!desktopStatus_.empty()) {
    statusRow("桌面会话");
    ImGui::TextColored(hexColor(kSuccess), "%s", desktopStatus_.c_str());
  } else if (!sessionStatus_.empty()) {
    statusRow("桌面会话");
    ImGui::TextColored(hexColor(kFailure), "%s", sessionStatus_.c_str());
  }

  const std::uint64_t lastInput = echo ? echo->lastInputMs() : 0u;
  if (lastInput != 0) {
    statusRow("反向控制");
    ImGui::TextColored(hexColor(kAccent), "最近一次 %llu 秒前",
                       static_cast<unsigned long long>(secondsSinceInput(monotonicMs(), lastInput)));
  }
}

void Agent::drawStreamSettings() {
  ImGui::Spacing();
  separatorText("推流设置");

  static const char* const kModes[] = {"整块显示器", "自定义位置"};
  CaptureRegion& r = settings.region;
  settingRow("推流区域");
  int mode = r.mode != kRegionModeMonitor ? kRegionModeCustom : kRegionModeMonitor;
  if (ImGui::Combo("##regmode", &mode, kModes, IM_ARRAYSIZE(kModes)) && mode != r.mode) setRegionMode(mode);

  if (r.mode != kRegionModeMonitor) {
    bool changed = false;
    settingRow("位置 X");
    changed |= ImGui::InputInt("##rgx", &r.x, 10, 100);
    settingRow("位置 Y");
    changed |= ImGui::InputInt("##rgy", &r.y, 10, 100);
    settingRow("宽度");
    changed |= ImGui::InputInt("##rgw", &r.width, 16, 160);
    settingRow("高度");
    changed |= ImGui::InputInt("##rgh", &r.height, 16, 160);
    if (changed) customRegionEdited();
    const MonitorInfo shown = resolvedRegion();
    ImGui::TextColored(hintColor(), "实际推流 %dx%d @ (%d,%d)（超出桌面会自动夹回来）", shown.width, shown.height,
                       shown.x, shown.y);
  } else if (monitors_.empty()) {
    ImGui::TextUnformatted("（未检测到显示器）");
  } else {
    const std::size_t count = monitors_.size();
    monitorLabels_.resize(count);
    for (std::size_t i = 0; i < count; ++i) formatMonitorLabel(monitorLabels_[i], i, monitors_[i]);
    const std::size_t shown =
        r.monitorIndex >= 0 && static_cast<std::size_t>(r.monitorIndex) < count ? static_cast<std::size_t>(r.monitorIndex)
                                                                                 : 0u;
    settingRow("选哪块屏");
    if (ImGui::BeginCombo("##mon", monitorLabels_[shown].c_str())) {
      for (std::size_t i = 0; i < count; ++i) {
        ImGui::PushID(static_cast<int>(i));  // two equal monitors give equal labels
        if (ImGui::Selectable(monitorLabels_[i].c_str(), i == shown)) chooseMonitor(static_cast<int>(i));
        ImGui::PopID();
      }
      ImGui::EndCombo();
    }
  }
  ImGui::TextColored(hintColor(), "观看端（ Pad）不需要知道有几块屏，推哪块由这里决定");

  settingRow("画面宽度");
  if (ImGui::SliderInt("##maxw", &settings.maxW, 640, 3840, "%d px")) setMaxWidth(settings.maxW);
  settingRow("JPEG 质量");
  if (ImGui::SliderInt("##q", &settings.quality, 20, 95, "%d")) setQuality(settings.quality);
  settingRow("帧率上限");
  if (ImGui::SliderInt("##fps", &settings.fps, 5, 60, "%d fps")) setFps(settings.fps);
  ImGui::Spacing();

  bool captureOn = settings.captureOn;
  if (ImGui::Checkbox("即使没有观看端也持续推流", &captureOn)) setCaptureOn(captureOn);
  bool excludeSelf = settings.excludeSelf;
  if (ImGui::Checkbox("把本窗口排除在抓屏之外（防镜像套娃）", &excludeSelf)) setExcludeSelf(excludeSelf);
  bool staticSkip = settings.staticSkip;
  if (ImGui::Checkbox("静帧省流（画面不动时少推帧、省带宽，但会略增操作延迟）", &staticSkip)) setStaticSkip(staticSkip);

  ImGui::Spacing();
  separatorText("后台运行（工具插件）");
  if (ImGui::Checkbox("启动后最小化到托盘（不显示窗口、不出现在任务栏）", &settings.trayOnStart)) settingsDirty = true;
  ImGui::TextColored(hexColor(kDim), "%s",
                     "勾选后：直接常驻右下角托盘、不占任务栏，别人不会误关；\n需要退出时用托盘图标右键 →「退出」。");
  if (ImGui::Button("立即最小化到托盘") && onHideToTray) onHideToTray();
  ImGui::SameLine();
  if (ImGui::Button("退出程序") && onExitRequest) onExitRequest();
}

void Agent::drawLogView() {
  if (ImGui::BeginChild("##log", ImVec2(0.0f, 0.0f), false)) {
    // Each entry wraps at the column's width, so a line is read whole at any
    // window size; an entry's own lines sit closer than the entries do.
    ImFont* font = ImGui::GetFont();
    const float scale = ImGui::GetFontSize() / font->FontSize;
    const CharAdvance advance = [font, scale](unsigned c) {
      return font->GetCharAdvance(static_cast<ImWchar>(c <= 0xFFFF ? c : 0xFFFD)) * scale;
    };
    const float width = ImGui::GetContentRegionAvail().x;
    const ImVec2 tight(ImGui::GetStyle().ItemSpacing.x, 0.0f);
    for (const EventLogEntry& entry : events_.entries()) {
      const char* text = entry.text.c_str();
      wrapText(entry.text, width, advance, logLines_);
      ImGui::PushStyleColor(ImGuiCol_Text, logColor(entry.level));
      for (std::size_t i = 0; i < logLines_.size(); ++i) {
        const bool last = i + 1 == logLines_.size();
        if (!last) ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, tight);
        ImGui::TextUnformatted(text + logLines_[i].begin, text + logLines_[i].end);
        if (!last) ImGui::PopStyleVar();
      }
      ImGui::PopStyleColor();
    }
    // Follow only a reader who is at the bottom (where the wheel or the bar
    // left the view this frame); pulling down on every frame would make
    // scrolling back impossible. The pending target also keeps the bottom
    // when the window gets shorter.
    logFollowsNewest_ = ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - kLogBottomSlack;
    if (logFollowsNewest_) ImGui::SetScrollHereY(1.0f);
  }
  ImGui::EndChild();
}

void Agent::drawFooter() {
  const float s = ImGui::GetStyle().ItemInnerSpacing.x;
  const float w = s + ImGui::CalcTextSize(kContactLabel).x + ImGui::CalcTextSize(kContactAddress).x +
                  ImGui::CalcTextSize(kVersionLabel).x;
  const float x0 = ImGui::GetCursorPosX();
  const float off = (ImGui::GetContentRegionAvail().x - w) * 0.5f;
  ImGui::Spacing();
  ImGui::Separator();
  if (off > 0.0f) ImGui::SetCursorPosX(x0 + off);
  ImGui::TextColored(hexColor(kDim), "%s", kContactLabel);
  ImGui::SameLine(0.0f, s);
  ImGui::TextColored(hexColor(kLink), "%s", kContactAddress);
  ImGui::SameLine(0.0f, 0.0f);
  ImGui::TextDisabled("%s", kVersionLabel);
}

}  // namespace vl
