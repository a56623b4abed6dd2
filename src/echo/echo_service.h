// The desktop echo: viewers connect to the stream port, subscribe, receive
// the chosen region as JPEG frames at their own pace, and operate the PC
// through reverse-input messages on the same connection.
//
// Pacing: the capture stage runs on a deadline schedule (each slot 1000/fps
// after the previous one, kept in microseconds, restarted when more than one
// interval behind), and every viewer takes frames on its own schedule judged
// against the slots of the frames it is offered, so neither a late pass nor
// send jitter costs a frame.
//
// Threads: start and stop run on the UI thread while the echo thread is not
// running; pumpOnce runs on the echo thread only. The setters and the
// statistics may be used from the UI thread at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "echo/capture.h"
#include "echo/capture_region.h"
#include "echo/frame_source.h"
#include "echo/jpeg_rows.h"
#include "echo/input_injector.h"
#include "echo/jpeg.h"
#include "echo/scale.h"
#include "echo/viewer_state.h"
#include "net/frame_server.h"
#include "net/wake_signal.h"

namespace vl {

class EchoService {
 public:
  static constexpr int kSendBufferSize = 131072;
  // A viewer gets a new frame only while at most this much more than the
  // frame itself waits unsent on its connection.
  static constexpr std::uint64_t kBackPressureSlack = 65536;
  // Replies (sub.ok) are queued only while less than this waits unsent: a
  // viewer that asks in a loop and never reads cannot grow its queue.
  static constexpr std::uint64_t kReplyQueueLimit = 65536;
  // A viewer with more than this plus the current frame waiting unsent is
  // closed; a frame is never sent to one that is that far behind anyway.
  static constexpr std::uint64_t kMaxUnsentBytes = 4u << 20;
  static constexpr std::size_t kMaxViewers = 64;
  // While capture keeps failing it is retried after this, each wait twice
  // the last, up to kCaptureRetryMaxMs; the first picture restores the rate.
  static constexpr std::uint64_t kCaptureRetryFirstMs = 100;
  static constexpr std::uint64_t kCaptureRetryMaxMs = 2000;
  static constexpr std::uint64_t kPerfWindowMs = 5000;
  // Full frame rate for this long after any input, even with static skip.
  static constexpr std::uint64_t kInputKeepsRateMs = 2000;
  static constexpr std::int32_t kDefaultQuality = 62;
  static constexpr std::int32_t kDefaultMaxWidth = 1600;
  static constexpr std::int32_t kDefaultFps = 25;
  // Longest wait of the echo thread's pass when nothing is due sooner and
  // the wake signal could not be made: short enough for the UI thread's
  // setting changes and for stop to be noticed promptly.
  static constexpr int kIdleWaitMs = 50;
  // The echo thread's own limit: none. Setting changes and stop come through
  // wake(), so an idle service sleeps until a socket or a timer needs it.
  static constexpr int kWaitForWork = 0x7FFFFFFF;

  // The real screen and the platform's input injector.
  EchoService();
  // Tests feed frames and record input.
  EchoService(std::unique_ptr<FrameSource> source, std::unique_ptr<InputInjector> injector);
  ~EchoService();
  EchoService(const EchoService&) = delete;
  EchoService& operator=(const EchoService&) = delete;

  bool start(std::uint16_t port);
  void stop();
  // One pass: network poll (waiting up to 2 ms while viewers are connected),
  // button watchdog, the capture stage when its slot has come, sending.
  void pumpOnce();
  // The echo thread's pass: the network poll first waits for whichever comes
  // first: a connect, a message, a send queue that can drain, the next
  // capture slot, a button watchdog deadline, or maxWaitMs.
  void pumpOnce(int maxWaitMs);
  // How long that wait may last now: 0 when something is due (echo thread).
  int waitBudgetMs(int maxWaitMs) const;
  // Any thread: ends the echo thread's current or next wait (after a flag
  // such as captureOn was written, or before joining it). The setters call it.
  void wake() { wake_.notify(); }

  // Settings (UI thread). The region takes effect at the next capture stage
  // or input message, whichever comes first.
  void setRegion(const CaptureRegion& region);
  // The monitors or the desktop changed: the region is resolved again and
  // the capturer reopened, like a region change (UI thread).
  void displayChanged();
  void setQuality(int quality);    // 10 … 95
  void setMaxWidth(int maxWidth);  // 320 … 3840
  void setFps(int fps);            // 1 … 60
  int quality() const { return quality_.load(); }
  int maxWidth() const { return maxWidth_.load(); }
  int fps() const { return fps_.load(); }
  CaptureRegion requestedRegion() const;

  // Plain flags, written directly.
  std::atomic<bool> captureOn{false};   // capture even with nobody watching
  std::atomic<bool> staticSkip{false};  // skip unchanged frames, lower the rate
  std::atomic<bool> drawCursor{true};   // the mouse pointer drawn into the picture
  std::atomic<bool> viewOnly{false};    // "input" messages are ignored
  // Who may connect to the stream port (set before start).
  void setAcceptFilter(net::FrameServer::AcceptFilter filter) { server_.setAcceptFilter(std::move(filter)); }

  // Statistics (any thread).
  int subscriberCount() const { return subscriberCount_.load(); }
  std::uint32_t frameWidth() const { return frameWidth_.load(); }
  std::uint32_t frameHeight() const { return frameHeight_.load(); }
  float measuredFps() const { return measuredFps_.load(); }
  std::size_t currentJpegSize() const { return currentJpegSize_.load(); }
  std::uint64_t framesSent() const { return framesSent_.load(); }
  std::uint64_t bytesSent() const { return bytesSent_.load(); }
  std::uint64_t lastInputMs() const { return lastInputMs_.load(); }
  bool running() const { return running_.load(); }
  std::uint16_t port() const { return port_.load(); }
  std::string lastError() const;

  // Echo thread only (tests drive pumpOnce themselves).
  const std::vector<std::uint8_t>& currentJpeg() const { return currentJpeg_; }
  std::uint64_t frameSeq() const { return frameSeq_; }
  // Stages that found a changed picture and encoded it (reused frames do
  // not count).
  std::uint64_t framesEncoded() const { return framesEncoded_; }
  // Of those, the ones encoded as changed rows spliced into the last frame.
  std::uint64_t framesSpliced() const { return framesSpliced_; }
  const std::map<net::ClientId, ViewerState>& viewers() const { return viewers_; }
  const CaptureRegion& currentRegion() const { return currentRegion_; }
  // Bytes queued for the viewer and not yet taken by its socket.
  std::uint64_t unsentBytes(net::ClientId id) const { return server_.pendingBytes(id); }

  // Test seam: the millisecond clock behind every timer (monotonicMs by
  // default; an empty function restores it). Set before pumping.
  using Clock = std::function<std::uint64_t()>;
  void setClockForTest(Clock clock);
  // Test seam: one received frame of viewer `id`, as the server would hand
  // it over (the viewer need not be connected).
  void deliverFrameForTest(net::ClientId id, net::FrameKind kind, const std::uint8_t* bytes, std::uint64_t length) {
    onViewerFrame(id, kind, bytes, length);
  }

 private:
  void onViewerConnect(net::ClientId id);
  void onViewerFrame(net::ClientId id, net::FrameKind kind, const std::uint8_t* bytes, std::uint64_t length);
  void onViewerDisconnect(net::ClientId id);
  void handleMessage(net::ClientId id, std::string_view text);
  void subscribe(net::ClientId id, const nlohmann::json& message);
  void handleInput(net::ClientId id, const nlohmann::json& message);
  void ensureInputRegion(ViewerState& v);
  void runPendingInput();
  ViewerState& viewer(net::ClientId id);
  void recountSubscribers();
  void runButtonWatchdog();
  void captureStage();
  void captureFailed(const char* error, const char* detail, std::uint64_t now);
  void applyPendingRegion();
  void sendCurrentFrame();
  void pass(int waitMs);
  std::int32_t stageFps(std::uint64_t now) const;
  // Whether a reported change may start the stage before its slot: the
  // picture was still for at least one interval of the service's rate.
  bool earlyStageAllowed(std::uint64_t nowUs) const;
  // Re-encodes only the rows of MCUs the damage reached and splices them
  // into the current frame's bytes (into scratchJpeg_); false when a whole
  // encode is needed.
  bool encodeChangedRows(const PixelFrame& frame, bool scaled, int quality);
  void countFrame(std::uint64_t now);
  void setLastError(const char* text);
  std::uint64_t nowMs() const;

  Clock clock_;
  net::WakeSignal wake_;
  net::FrameServer server_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint16_t> port_{0};
  std::unique_ptr<FrameSource> source_;
  std::unique_ptr<InputInjector> injector_;
  CaptureRegion currentRegion_;

  mutable std::mutex sharedMutex_;  // requestedRegion_, regionPending_, lastError_
  CaptureRegion requestedRegion_;
  bool regionPending_ = false;
  bool displayPending_ = false;
  std::string lastError_;

  std::atomic<std::int32_t> quality_{kDefaultQuality};
  std::atomic<std::int32_t> maxWidth_{kDefaultMaxWidth};
  std::atomic<std::int32_t> fps_{kDefaultFps};
  std::atomic<float> measuredFps_{0.0f};

  std::vector<std::uint8_t> currentJpeg_;
  std::atomic<std::size_t> currentJpegSize_{0};
  std::atomic<std::uint32_t> frameWidth_{0};
  std::atomic<std::uint32_t> frameHeight_{0};
  std::uint64_t frameSeq_ = 0;
  std::uint64_t stageSlotUs_ = 0;      // the slot the capture stage last ran for; 0 never
  std::uint64_t stageIntervalUs_ = 0;  // the interval that slot was paced with
  std::uint64_t offerSlotUs_ = 0;      // slot at which the current frame is offered
  bool fineTimerHeld_ = false;
  // Whether the coming wait watches the source's change handle.
  bool changeWatched_ = false;
  std::uint64_t fpsWindowStartMs_ = 0;
  std::atomic<std::uint64_t> lastInputMs_{0};
  std::uint64_t lastInputLogMs_ = 0;
  std::uint32_t fpsWindowFrames_ = 0;
  std::uint64_t lastHash_ = 0;
  std::int32_t staticCount_ = 0;
  // When the picture last changed (a stage that found a change); 0 never.
  std::uint64_t lastChangeUs_ = 0;
  // currentJpeg_ encodes the kept picture as it is now, at these settings,
  // so an unchanged picture reuses its bytes.
  bool jpegCurrent_ = false;
  std::int32_t jpegQuality_ = 0;
  std::int32_t jpegMaxWidth_ = 0;
  // scaledFrame_ is capturedFrame_ scaled as it is now.
  bool scaledCurrent_ = false;
  // currentJpeg_ encodes the kept picture as it was before this stage's
  // damage, so the damaged rows alone can be re-encoded into it.
  bool jpegSpliceBase_ = false;
  JpegRowLayout currentRows_;
  JpegRowLayout stripRows_;
  std::vector<std::uint8_t> stripJpeg_;
  std::uint64_t framesSpliced_ = 0;
  FrameDamage damage_;
  std::uint64_t framesEncoded_ = 0;

  PixelFrame capturedFrame_;
  // The picture the last update gave: capturedFrame_, or the source's own
  // buffer (B, G, R, X), which the scaler then reads in place.
  PixelView capturedView_;
  // capturedFrame_ holds capturedView_ converted (when they differ).
  bool convertedCurrent_ = false;
  PixelFrame scaledFrame_;
  BilinearScaler scaler_;
  JpegEncoder jpegEncoder_;
  std::vector<std::uint8_t> samples_;
  std::vector<std::uint8_t> scratchJpeg_;

  std::uint64_t perfWindowStartMs_ = 0;
  std::uint64_t perfFrames_ = 0;
  std::uint64_t captureMsTotal_ = 0;
  std::uint64_t scaleMsTotal_ = 0;
  std::uint64_t encodeMsTotal_ = 0;

  // A capture that keeps failing: whether that was logged, when to try
  // again (0: at the next slot) and the wait that led there.
  bool captureFailing_ = false;
  std::uint64_t captureRetryAtMs_ = 0;
  std::uint64_t captureRetryDelayMs_ = 0;

  std::map<net::ClientId, ViewerState> viewers_;
  std::vector<net::ClientId> farBehind_;  // closed after this frame's sends
  std::atomic<int> subscriberCount_{0};
  std::atomic<std::uint64_t> framesSent_{0};
  std::atomic<std::uint64_t> bytesSent_{0};

  // Built once: poll takes them by reference every pass.
  net::FrameServer::ConnectHandler connectHandler_;
  net::FrameServer::FrameHandler frameHandler_;
  net::FrameServer::DisconnectHandler disconnectHandler_;
};

}  // namespace vl
