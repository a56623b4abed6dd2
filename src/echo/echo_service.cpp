#include "echo/echo_service.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "echo/fine_timer.h"
#include "echo/frame_hash.h"
#include "echo/input_message.h"
#include "echo/jpeg.h"
#include "echo/jpeg_rows.h"
#include "echo/pixel_convert.h"
#include "echo/viewer_input.h"
#include "log/helpers.h"
#include "log/json_bounded.h"
#include "log/log.h"

namespace vl {

namespace {

int clampQuality(int q) { return q <= 9 ? 10 : (q > 95 ? 95 : q); }
int clampMaxWidth(int w) { return std::clamp(w, 320, 3840); }
int clampFps(int f) { return f <= 0 ? 1 : (f > 60 ? 60 : f); }

// Read once per process, at the first static test.
bool noStaticFromEnvironment() {
  static const bool value = envExists("VL_ECHO_NO_STATIC");
  return value;
}

// Length of one capture slot at `fps`, in microseconds.
std::uint64_t slotIntervalUs(std::int32_t fps) { return 1000000u / static_cast<std::uint32_t>(std::max(fps, 1)); }

// Appended to a throttled line that stands for others left out.
std::string heldBackSuffix(std::uint64_t held) {
  return held == 0 ? std::string() : formatString("（另有 %llu 条未记）", static_cast<unsigned long long>(held));
}

// FrameServer wait slots: the UI thread's wake-ups, the screen's change
// reports, the input injector's own connection.
constexpr int kChangeSlot = 0;
constexpr int kWakeSlot = 1;
constexpr int kInjectorSlot = 2;

constexpr const char* kReasonSilence = "静默超过 1.5s";
constexpr const char* kReasonDisconnect = "观看端断开";

}  // namespace

EchoService::EchoService() : EchoService(createScreenFrameSource(), createPlatformInjector()) {}

EchoService::EchoService(std::unique_ptr<FrameSource> source, std::unique_ptr<InputInjector> injector)
    : clock_(monotonicMs), source_(std::move(source)), injector_(std::move(injector)) {
  connectHandler_ = [this](net::ClientId id) { onViewerConnect(id); };
  frameHandler_ = [this](net::ClientId id, net::FrameKind kind, const std::uint8_t* bytes, std::uint64_t length) {
    onViewerFrame(id, kind, bytes, length);
  };
  disconnectHandler_ = [this](net::ClientId id) { onViewerDisconnect(id); };
  farBehind_.reserve(kMaxViewers);
  server_.setExtraWaitHandle(wake_.handle(), kWakeSlot);
  prepareJpegEncoder();
}

EchoService::~EchoService() { stop(); }

void EchoService::setClockForTest(Clock clock) { clock_ = clock ? std::move(clock) : Clock(monotonicMs); }

std::uint64_t EchoService::nowMs() const {
  // Stored times use 0 for "never".
  const std::uint64_t now = clock_();
  return now == 0 ? 1 : now;
}

bool EchoService::start(std::uint16_t port) {
  if (running_) return true;
  server_.setSendBufferSize(kSendBufferSize);
  server_.setMaxClients(kMaxViewers);
  // Viewers send small text messages and no binary frames: anything else is
  // read past as it arrives, never held.
  server_.setSkippedFrames(static_cast<std::uint32_t>(kMaxTextFrameBytes), 0);
  if (!server_.listen(port, "0.0.0.0")) {
    const std::string error = formatString("回显端口 %u 绑定失败", static_cast<unsigned>(port));
    setLastError(error.c_str());
    logWrite(LogLevel::Error, "%s", error.c_str());
    return false;
  }
  port_ = port;
  running_ = true;
  logWrite(LogLevel::Info, "桌面回显服务已启动，端口 %u", static_cast<unsigned>(port));
  return true;
}

void EchoService::stop() {
  if (!running_) return;
  server_.closeAll();
  source_->close();
  if (fineTimerHeld_) holdFineTimer(false);
  fineTimerHeld_ = false;
  // Stopping does not release buttons: the viewers are simply forgotten.
  viewers_.clear();
  subscriberCount_ = 0;
  captureFailing_ = false;
  captureRetryAtMs_ = 0;
  captureRetryDelayMs_ = 0;
  running_ = false;
}

void EchoService::setRegion(const CaptureRegion& region) {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  if (regionPending_ || !(region == requestedRegion_)) {
    requestedRegion_ = region;
    regionPending_ = true;
  }
  wake();
}

void EchoService::displayChanged() {
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    displayPending_ = true;
  }
  wake();
}

CaptureRegion EchoService::requestedRegion() const {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  return requestedRegion_;
}

void EchoService::setQuality(int quality) {
  quality_ = clampQuality(quality);
  wake();
}
void EchoService::setMaxWidth(int maxWidth) {
  maxWidth_ = clampMaxWidth(maxWidth);
  wake();
}
void EchoService::setFps(int fps) {
  fps_ = clampFps(fps);
  wake();
}

std::string EchoService::lastError() const {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  return lastError_;
}

void EchoService::setLastError(const char* text) {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  lastError_ = text;
}

void EchoService::pumpOnce() { pass(-1); }

void EchoService::pumpOnce(int maxWaitMs) {
  if (!running_) return;
  if (wake_.handle() == net::kInvalidSocket) maxWaitMs = std::min(maxWaitMs, kIdleWaitMs);
  const bool streaming = subscriberCount_ > 0 || captureOn;
  if (streaming != fineTimerHeld_) {
    holdFineTimer(streaming);
    fineTimerHeld_ = streaming;
  }
  // While streaming, a reported screen change ends the wait too.
  const int handle = streaming ? source_->changeHandle() : -1;
  server_.setExtraWaitHandle(handle < 0 ? net::kInvalidSocket : static_cast<net::SocketHandle>(handle), kChangeSlot);
  changeWatched_ = handle >= 0;
  const int injectorHandle = injector_->waitHandle();
  server_.setExtraWaitHandle(
      injectorHandle < 0 ? net::kInvalidSocket : static_cast<net::SocketHandle>(injectorHandle), kInjectorSlot);
  // Whatever has arrived is taken off the handle first, or a report that
  // cannot be acted on before the slot would end every wait at once.
  if (handle >= 0) source_->changePending();
  pass(waitBudgetMs(maxWaitMs));
}

int EchoService::waitBudgetMs(int maxWaitMs) const {
  const std::uint64_t now = nowMs();
  std::uint64_t budget = maxWaitMs > 0 ? static_cast<std::uint64_t>(maxWaitMs) : 0;
  if (subscriberCount_ > 0 || captureOn) {
    if (captureRetryAtMs_ > now) {
      // A failing capture waits for its retry, whatever the slots say.
      budget = std::min(budget, captureRetryAtMs_ - now);
    } else {
      if (stageSlotUs_ == 0) return 0;
      const std::uint64_t due = stageSlotUs_ + slotIntervalUs(stageFps(now));
      const std::uint64_t nowUs = now * 1000u;
      if (due <= nowUs || earlyStageAllowed(nowUs)) return 0;
      budget = std::min(budget, (due - nowUs + 999u) / 1000u);
    }
  }
  const std::uint64_t housekeeping = injector_->housekeepingDueMs();
  if (housekeeping != net::WaitSet::kNever) budget = std::min(budget, housekeeping > now ? housekeeping - now : 0);
  for (const auto& entry : viewers_) {
    const ViewerState& v = entry.second;
    if (!v.pendingInput.empty()) return 0;
    if (v.buttonMask == 0 || v.lastInputMs == 0) continue;
    const std::uint64_t due = v.lastInputMs + kButtonWatchdogMs + 1;
    budget = std::min(budget, due > now ? due - now : 0);
  }
  return static_cast<int>(budget);
}

void EchoService::pass(int waitMs) {
  if (!running_) return;
  runPendingInput();
  if (waitMs < 0) {
    server_.poll(connectHandler_, frameHandler_, disconnectHandler_);
    source_->changeHandleWaited(true);
  } else {
    server_.pollWithWait(connectHandler_, frameHandler_, disconnectHandler_, waitMs);
    source_->changeHandleWaited(!changeWatched_ || server_.extraWaitReady(kChangeSlot));
  }
  // After the wait: what a notice stands for is read below (and by the
  // caller's loop); one that comes later ends the next wait.
  wake_.drain();
  runButtonWatchdog();
  injector_->housekeeping();
  if (subscriberCount_ == 0 && !captureOn) {
    currentJpeg_.clear();
    currentJpegSize_ = 0;
    frameWidth_ = 0;
    frameHeight_ = 0;
    // Forget the still picture too: whoever subscribes next must get a frame
    // even when the screen has not changed since.
    lastHash_ = 0;
    staticCount_ = 0;
    return;
  }
  captureStage();
  if (currentJpeg_.empty()) return;
  sendCurrentFrame();
}

// A viewer's rate is judged on the slots of the frames it is offered, never
// on when a pass happens to run: it takes the frame offered at slot t once
// t is within half a capture interval of its due slot, and its next due slot
// is one viewer interval further (a new schedule when it fell more than one
// interval behind). A frame that stays current is offered again at later
// slots, so a still picture still reaches a viewer that was not due for it.
void EchoService::sendCurrentFrame() {
  const std::uint64_t size = currentJpeg_.size();
  const std::int32_t serviceFps = fps_;
  const std::uint64_t offer = offerSlotUs_;
  const std::uint64_t tolerance = stageIntervalUs_ / 2;
  for (auto& [id, v] : viewers_) {
    if (!v.subscribed || !server_.hasClient(id)) continue;
    if (v.lastSentSeq == frameSeq_) continue;
    if (v.dueUs != 0 && offer + tolerance < v.dueUs) continue;
    if (server_.pendingBytes(id) > size + kBackPressureSlack) continue;
    const std::uint64_t interval = slotIntervalUs(v.fps > 0 ? v.fps : serviceFps);
    v.dueUs = (v.dueUs == 0 || offer >= v.dueUs + interval) ? offer + interval : v.dueUs + interval;
    v.lastSentMs = nowMs();
    v.lastSentSeq = frameSeq_;
    server_.sendBinary(id, currentJpeg_.data(), size);
    framesSent_.fetch_add(1);
    bytesSent_.fetch_add(size);
    if (server_.pendingBytes(id) > kMaxUnsentBytes + size) farBehind_.push_back(id);
  }
  for (const net::ClientId id : farBehind_) {
    logWrite(LogLevel::Warn, "回显 #%u 积压未发送数据 %llu 字节，断开", static_cast<unsigned>(id),
             static_cast<unsigned long long>(server_.pendingBytes(id)));
    server_.closeClient(id, false);
    onViewerDisconnect(id);
  }
  farBehind_.clear();
}

// --- viewers and messages ---------------------------------------------------

void EchoService::onViewerConnect(net::ClientId id) {
  viewers_.erase(id);
  refillInputBudget(viewers_.try_emplace(id).first->second);
  recountSubscribers();
}

void EchoService::onViewerFrame(net::ClientId id, net::FrameKind kind, const std::uint8_t* bytes,
                                std::uint64_t length) {
  // Messages are small by nature; a large one is not even looked at (the
  // server reads past it and hands over only its length).
  const bool skipped = bytes == nullptr && length != 0;
  if (skipped || (kind == net::FrameKind::Text && length > kMaxTextFrameBytes)) {
    ViewerState& v = viewer(id);
    if (!v.oversizeWarned) {
      v.oversizeWarned = true;
      if (kind == net::FrameKind::Text) {
        logWrite(LogLevel::Warn, "回显 #%u 的文本帧过大（%llu 字节），已忽略", static_cast<unsigned>(id),
                 static_cast<unsigned long long>(length));
      } else {
        logWrite(LogLevel::Warn, "回显 #%u 发来的非文本帧（%llu 字节）已忽略", static_cast<unsigned>(id),
                 static_cast<unsigned long long>(length));
      }
    }
    return;
  }
  if (kind != net::FrameKind::Text || bytes == nullptr) return;
  handleMessage(id, std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length)));
}

void EchoService::onViewerDisconnect(net::ClientId id) {
  const auto it = viewers_.find(id);
  if (it == viewers_.end()) return;
  releaseButtons(it->second, kReasonDisconnect, *injector_);
  releaseHeldKeys(it->second, kReasonDisconnect, *injector_);
  viewers_.erase(it);
  recountSubscribers();
}

ViewerState& EchoService::viewer(net::ClientId id) {
  // try_emplace keeps an existing record and creates a fresh one otherwise.
  const auto [it, created] = viewers_.try_emplace(id);
  if (created) refillInputBudget(it->second);
  return it->second;
}

void EchoService::recountSubscribers() {
  int count = 0;
  for (const auto& entry : viewers_)
    if (entry.second.subscribed) ++count;
  subscriberCount_ = count;
}

void EchoService::handleMessage(net::ClientId id, std::string_view text) {
  const nlohmann::json message = parseBoundedJson(text);
  if (message.is_discarded() || !message.is_object()) return;
  std::string type;
  if (!readJsonString(message, "t", type)) return;
  if (type == "subscribe" || type == "sub") {
    subscribe(id, message);
  } else if (type == "unsub") {
    const auto it = viewers_.find(id);
    if (it != viewers_.end()) {
      it->second.subscribed = false;
      recountSubscribers();
    }
  } else if (type == "input") {
    handleInput(id, message);
  }
}

void EchoService::subscribe(net::ClientId id, const nlohmann::json& message) {
  ViewerState& v = viewer(id);
  v.subscribed = true;
  recountSubscribers();
  std::int32_t value = 0;
  if (readJsonInt(message, "quality", value)) quality_ = clampQuality(value);
  if (readJsonInt(message, "maxW", value)) maxWidth_ = clampMaxWidth(value);
  if (readJsonInt(message, "fps", value)) v.fps = value;
  nlohmann::json reply;
  reply["t"] = "sub.ok";
  reply["w"] = frameWidth_.load();
  reply["h"] = frameHeight_.load();
  reply["quality"] = quality_.load();
  reply["maxW"] = maxWidth_.load();
  reply["fps"] = fps_.load();
  // A viewer that asks again and again without reading gets no more replies
  // than fit under the limit; the subscription itself still takes effect.
  if (server_.pendingBytes(id) < kReplyQueueLimit) server_.sendText(id, reply.dump());
  std::uint64_t held = 0;
  if (v.subscribeLog.allow(nowMs(), &held)) {
    logWrite(LogLevel::Info, "回显订阅 #%u  质量=%d 宽=%d 帧率=%d%s", static_cast<unsigned>(id), quality_.load(),
             maxWidth_.load(), fps_.load(), heldBackSuffix(held).c_str());
  }
}

void EchoService::ensureInputRegion(ViewerState& v) {
  if (v.regionValid) return;
  // The open capturer's rectangle is the one of the frames being sent, even
  // when the desktop has changed since and the change is not applied yet.
  if (!source_->openRect(v.inputRegion)) v.inputRegion = source_->resolve(currentRegion_);
  if (v.inputRegion.width < 1) v.inputRegion = source_->firstMonitor();
  v.regionValid = true;
}

void EchoService::handleInput(net::ClientId id, const nlohmann::json& message) {
  if (viewOnly) {
    ViewerState& v = viewer(id);
    if (!v.viewOnlyLogged) {
      v.viewOnlyLogged = true;
      logWrite(LogLevel::Info, "仅观看模式：已忽略 #%u 的反控输入", static_cast<unsigned>(id));
    }
    return;
  }
  // An input-only viewer never starts a capture stage, yet must map against
  // the region asked for since.
  applyPendingRegion();
  const std::uint64_t now = nowMs();
  lastInputMs_ = now;
  InputMessage input = parseInputMessage(message);
  ViewerState& v = viewer(id);
  v.lastInputMs = now;
  ensureInputRegion(v);
  if (lastInputLogMs_ == 0 || now - lastInputLogMs_ > kInputLogIntervalMs) {
    lastInputLogMs_ = now;
    logWrite(LogLevel::Info, "反控输入: %s (%.3f, %.3f)", printableForLog(input.type).c_str(),
             static_cast<double>(input.u),
             static_cast<double>(input.v));
  }
  if (submitInput(v, std::move(input), *injector_)) return;
  std::uint64_t held = 0;
  if (v.inputWarnLog.allow(now, &held)) {
    logWrite(LogLevel::Warn, "回显 #%u 的反控输入积压超过 %llu KiB，已丢弃%s", static_cast<unsigned>(id),
             static_cast<unsigned long long>(kMaxQueuedInputBytes / 1024), heldBackSuffix(held).c_str());
  }
}

// Start of a pass: every viewer may do a pass's worth of input again, and
// what waits from earlier passes goes first.
void EchoService::runPendingInput() {
  for (auto& entry : viewers_) {
    ViewerState& v = entry.second;
    refillInputBudget(v);
    if (v.pendingInput.empty()) continue;
    if (viewOnly) {
      v.pendingInput.clear();
      v.pendingInputBytes = 0;
      continue;
    }
    applyPendingRegion();
    ensureInputRegion(v);
    drainInput(v, *injector_);
  }
}

void EchoService::runButtonWatchdog() {
  const std::uint64_t now = nowMs();
  for (auto& entry : viewers_)
    if (buttonWatchdogDue(entry.second, now)) releaseButtons(entry.second, kReasonSilence, *injector_);
}

// --- capture stage ----------------------------------------------------------

void EchoService::applyPendingRegion() {
  bool regionChanged = false;
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    if (!regionPending_ && !displayPending_) return;
    regionChanged = regionPending_;
    if (regionPending_) currentRegion_ = requestedRegion_;
    regionPending_ = false;
    displayPending_ = false;
  }
  source_->close();
  // A new region is worth trying at once, even while capture was failing.
  captureRetryAtMs_ = 0;
  captureRetryDelayMs_ = 0;
  for (auto& entry : viewers_) entry.second.regionValid = false;
  // A display change alone is announced by the agent, once.
  if (!regionChanged) return;
  const MonitorInfo r = source_->resolve(currentRegion_);
  if (currentRegion_.mode != kRegionModeMonitor) {
    logWrite(LogLevel::Info, "采集区域: 自定义 %dx%d @ (%d,%d)", r.width, r.height, r.x, r.y);
  } else {
    logWrite(LogLevel::Info, "采集区域: 显示器 %d（%dx%d @ %d,%d）", currentRegion_.monitorIndex + 1, r.width, r.height,
             r.x, r.y);
  }
}

std::int32_t EchoService::stageFps(std::uint64_t now) const {
  std::int32_t f = fps_;
  const std::uint64_t lastInput = lastInputMs_;
  if (staticSkip && (lastInput == 0 || now - lastInput >= kInputKeepsRateMs)) {
    if (staticCount_ > 30) {
      f = std::min(f, 6);
    } else if (staticCount_ >= 9) {
      f = std::min(f, 12);
    }
  }
  return f;
}

void EchoService::captureFailed(const char* error, const char* detail, std::uint64_t now) {
  setLastError(error);
  if (!captureFailing_) {
    captureFailing_ = true;
    logWrite(LogLevel::Warn, "抓屏失败（%s），将逐步放慢重试（最长 %llu ms 一次）", detail,
             static_cast<unsigned long long>(kCaptureRetryMaxMs));
  }
  captureRetryDelayMs_ =
      captureRetryDelayMs_ == 0 ? kCaptureRetryFirstMs : std::min(captureRetryDelayMs_ * 2, kCaptureRetryMaxMs);
  captureRetryAtMs_ = now + captureRetryDelayMs_;
}

void EchoService::captureStage() {
  applyPendingRegion();
  const std::uint64_t now = nowMs();
  if (captureRetryAtMs_ > now) return;

  const std::uint64_t interval = slotIntervalUs(stageFps(now));
  const std::uint64_t nowUs = now * 1000u;
  if (stageSlotUs_ != 0) {
    const std::uint64_t due = stageSlotUs_ + interval;
    if (nowUs < due) {
      // A change after a still period goes out now, in place of the coming
      // slot: the schedule, and every viewer's, stays as it was.
      if (!earlyStageAllowed(nowUs)) return;
      stageSlotUs_ = due;
    } else {
      // More than one interval behind (a slow frame, a busy machine, the
      // way back from idle): a new schedule from now instead of a burst.
      stageSlotUs_ = nowUs - due > interval ? nowUs : due;
    }
  } else {
    stageSlotUs_ = nowUs;
  }
  stageIntervalUs_ = interval;
  offerSlotUs_ = stageSlotUs_;

  source_->setCursorDrawn(drawCursor);
  if (!source_->isReady()) {
    if (!source_->open(currentRegion_)) {
      captureFailed("抓屏初始化失败", "无法初始化", now);
      return;
    }
    // Input maps to what this capturer copies (the desktop may have changed
    // since the last open).
    for (auto& entry : viewers_) entry.second.regionValid = false;
  }
  const std::uint64_t t1 = nowMs();
  if (!source_->updateView(capturedFrame_, damage_, capturedView_) || capturedView_.empty()) {
    captureFailed("抓屏失败", "取不到画面", now);
    source_->close();
    jpegCurrent_ = false;
    jpegSpliceBase_ = false;
    scaledCurrent_ = false;
    convertedCurrent_ = false;
    return;
  }
  captureRetryAtMs_ = 0;
  captureRetryDelayMs_ = 0;
  if (captureFailing_) {
    captureFailing_ = false;
    logWrite(LogLevel::Info, "抓屏已恢复");
  }

  const std::int32_t maxW = maxWidth_;
  const std::int32_t quality = quality_;
  const bool unchanged = damage_.unchanged();
  if (!unchanged) {
    jpegCurrent_ = false;
    lastChangeUs_ = nowUs;
  }
  if (unchanged && jpegCurrent_ && !currentJpeg_.empty() && jpegQuality_ == quality && jpegMaxWidth_ == maxW) {
    // Nothing moved: the last frame's bytes are exactly what encoding the
    // same pixels again would give.
    if (staticSkip && !noStaticFromEnvironment()) {
      ++staticCount_;
      return;
    }
    countFrame(now);
    return;
  }

  const std::uint64_t t2 = nowMs();
  const PixelView& view = capturedView_;
  const bool inSource = view.data != capturedFrame_.pixels.data();
  bool scaled = false;
  bool areaOnly = !damage_.whole;  // the frame differs from the encoded one only where damaged
  if (maxW > 0 && maxW < view.width) {
    const float product = static_cast<float>(view.height) * static_cast<float>(maxW) / static_cast<float>(view.width);
    const std::int32_t h = static_cast<std::int32_t>(product) & ~1;
    if (scaledCurrent_ && !damage_.whole && scaledFrame_.width == maxW && scaledFrame_.height == h) {
      // Only what the changed rectangles reach is scaled again.
      scaled = true;
      for (const PixelRect& r : damage_.rects) scaled = scaled && scaler_.scaleArea(view, scaledFrame_, r);
    }
    if (!scaled) {
      areaOnly = false;
      scaled = scaler_.scale(view, maxW, h, scaledFrame_);
    }
  }
  scaledCurrent_ = scaled;
  if (scaled || !inSource) {
    convertedCurrent_ = false;
  } else {
    // Not scaled, picture in the source's buffer: converted into
    // capturedFrame_, only the changed rectangles when it is up to date.
    const bool whole = damage_.whole || !convertedCurrent_ || capturedFrame_.width != view.width ||
                       capturedFrame_.height != view.height;
    if (whole) capturedFrame_.setSize(view.width, view.height);
    const std::size_t stride = static_cast<std::size_t>(view.width) * 4u;
    const auto convert = [&](const PixelRect& r) {
      const std::size_t offset = static_cast<std::size_t>(r.y) * stride + static_cast<std::size_t>(r.x) * 4u;
      if (view.bgrx) {
        convertBgrxToRgba(view.data + static_cast<std::size_t>(r.y) * view.stride + static_cast<std::size_t>(r.x) * 4u,
                          view.stride, capturedFrame_.pixels.data() + offset, stride, r.width, r.height);
      } else {
        for (std::int32_t y = 0; y < r.height; ++y)
          std::memcpy(capturedFrame_.pixels.data() + offset + static_cast<std::size_t>(y) * stride,
                      view.data + static_cast<std::size_t>(r.y + y) * view.stride + static_cast<std::size_t>(r.x) * 4u,
                      static_cast<std::size_t>(r.width) * 4u);
      }
    };
    if (whole) {
      convert(PixelRect{0, 0, view.width, view.height});
    } else {
      for (const PixelRect& r : damage_.rects) convert(r);
    }
    convertedCurrent_ = true;
  }
  const PixelFrame* frame = scaled ? &scaledFrame_ : &capturedFrame_;

  const std::uint64_t t3 = nowMs();
  std::uint64_t hash = sampledFrameHash(*frame, samples_);
  // The sparse grid can miss a small pointer that moved; where the pointer
  // is drawn, its position and shape count as part of the picture.
  if (const std::uint64_t stamp = source_->cursorStamp(); stamp != 0) hash = mixIntoHash(hash, stamp);
  if (staticSkip && !noStaticFromEnvironment() && hash == lastHash_) {
    ++staticCount_;
    // The picture may have changed where the grid does not look: the last
    // frame's bytes no longer stand for it.
    if (!damage_.unchanged()) jpegSpliceBase_ = false;
    return;
  }
  lastHash_ = hash;
  staticCount_ = 0;

  // Headroom over the last frame's size, so the two swapped buffers settle
  // instead of growing with every slightly larger frame.
  const std::size_t room = currentJpeg_.size() + currentJpeg_.size() / 4 + 65536;
  if (scratchJpeg_.capacity() < room) scratchJpeg_.reserve(room + room / 2);
  const bool spliced = areaOnly && jpegSpliceBase_ && jpegQuality_ == quality && jpegMaxWidth_ == maxW &&
                       frameWidth_ == static_cast<std::uint32_t>(frame->width) &&
                       frameHeight_ == static_cast<std::uint32_t>(frame->height) &&
                       encodeChangedRows(*frame, frame == &scaledFrame_, quality);
  if (!spliced && !jpegEncoder_.encode(*frame, quality, scratchJpeg_)) {
    setLastError("JPEG 编码失败");
    jpegSpliceBase_ = false;
    return;
  }
  jpegSpliceBase_ = true;
  if (spliced) ++framesSpliced_;
  std::swap(scratchJpeg_, currentJpeg_);
  currentJpegSize_ = currentJpeg_.size();
  jpegCurrent_ = true;
  jpegQuality_ = quality;
  jpegMaxWidth_ = maxW;
  ++framesEncoded_;

  const std::uint64_t t4 = nowMs();
  captureMsTotal_ += t2 - t1;
  scaleMsTotal_ += t3 - t2;
  encodeMsTotal_ += t4 - t3;
  if (perfWindowStartMs_ == 0) perfWindowStartMs_ = t4;
  if (t4 - perfWindowStartMs_ >= kPerfWindowMs && perfFrames_ > 0) {
    const double windowMs = static_cast<double>(t4 - perfWindowStartMs_);
    const double frames = static_cast<double>(perfFrames_);
    logWrite(LogLevel::Info, "性能: %llu 帧/%.1fs = %.1f fps | 抓屏 %.1fms 缩放 %.1fms 编码 %.1fms（每次）| %dx%d",
             static_cast<unsigned long long>(perfFrames_), windowMs / 1000.0, frames * 1000.0 / windowMs,
             static_cast<double>(captureMsTotal_) / frames, static_cast<double>(scaleMsTotal_) / frames,
             static_cast<double>(encodeMsTotal_) / frames, frame->width, frame->height);
    perfWindowStartMs_ = t4;
    perfFrames_ = 0;
    captureMsTotal_ = 0;
    scaleMsTotal_ = 0;
    encodeMsTotal_ = 0;
  }
  ++perfFrames_;

  frameWidth_ = static_cast<std::uint32_t>(frame->width);
  frameHeight_ = static_cast<std::uint32_t>(frame->height);
  countFrame(now);
}

bool EchoService::encodeChangedRows(const PixelFrame& frame, bool scaled, int quality) {
  // Output rows the damage reached; a scaled frame's rows read the source
  // rows around them, so a margin keeps every such row inside.
  constexpr int kScaleMargin = 4;
  int top = frame.height, bottom = 0;
  for (const PixelRect& r : damage_.rects) {
    if (r.width <= 0 || r.height <= 0) continue;
    int y0 = r.y, y1 = r.y + r.height;
    if (scaled) {
      const double k = static_cast<double>(frame.height) / static_cast<double>(capturedView_.height);
      y0 = static_cast<int>(static_cast<double>(y0) * k) - kScaleMargin;
      y1 = static_cast<int>(static_cast<double>(y1) * k) + 1 + kScaleMargin;
    }
    top = std::min(top, std::max(y0, 0));
    bottom = std::max(bottom, std::min(y1, frame.height));
  }
  if (top >= bottom) return false;
  const int rowHeight = jpegRowHeight(quality);
  const int firstRow = top / rowHeight;
  const int y = firstRow * rowHeight;
  const int height = std::min(frame.height, ((bottom + rowHeight - 1) / rowHeight) * rowHeight) - y;
  // Half the frame or more: a whole encode costs about the same.
  if (height * 2 >= frame.height) return false;
  if (!findJpegRows(currentJpeg_, currentRows_) ||
      currentRows_.rows() != (frame.height + rowHeight - 1) / rowHeight ||
      !jpegEncoder_.encodeRows(frame, y, height, quality, stripJpeg_) || !findJpegRows(stripJpeg_, stripRows_))
    return false;
  return spliceJpegRows(currentJpeg_, currentRows_, stripJpeg_, stripRows_, firstRow, scratchJpeg_);
}

bool EchoService::earlyStageAllowed(std::uint64_t nowUs) const {
  if (lastChangeUs_ == 0 || nowUs - lastChangeUs_ < slotIntervalUs(fps_)) return false;
  // Only the coming slot can be taken: a report that brought no change must
  // not push the schedule further ahead.
  if (stageSlotUs_ > nowUs) return false;
  // Failing captures keep their own retry times.
  if (captureFailing_) return false;
  return source_->changePending();
}

void EchoService::countFrame(std::uint64_t now) {
  ++frameSeq_;
  ++fpsWindowFrames_;
  if (fpsWindowStartMs_ == 0) fpsWindowStartMs_ = now;
  if (now - fpsWindowStartMs_ >= 1000) {
    measuredFps_ = static_cast<float>(fpsWindowFrames_) * 1000.0f / static_cast<float>(now - fpsWindowStartMs_);
    fpsWindowFrames_ = 0;
    fpsWindowStartMs_ = now;
  }
}

}  // namespace vl
