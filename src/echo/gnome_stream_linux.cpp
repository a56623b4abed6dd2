// Frames of one mutter screen-cast stream through PipeWire: a consumer on a
// pw_thread_loop of its own, shared-memory buffers only (a CPU consumer has
// no use for DMA-BUF), converted to RGBA on PipeWire's thread and handed to
// the echo thread by a swap. The pointer arrives as metadata: a buffer that
// carries nothing else re-composites the pointer without a new picture.
#include "echo/gnome_stream_linux.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "echo/cursor.h"
#include "log/log.h"

namespace vl::gnome {
namespace {

// Room for a cursor image up to this size in the metadata: mutter sends no
// cursor metadata at all when the largest size allowed is too small.
constexpr int kCursorMetaMax = 256;
constexpr std::size_t cursorMetaSize(int w, int h) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<std::size_t>(w) * h * 4u;
}
// The first picture follows the connection within milliseconds; this only
// bounds a compositor that never sends one.
constexpr int kFirstFrameWaitMs = 1000;
constexpr int kStreamWaitMs = 1000;

void copyArea(const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to, std::size_t toStride, int width,
              int height) {
  for (int y = 0; y < height; ++y)
    std::memcpy(to + static_cast<std::size_t>(y) * toStride, from + static_cast<std::size_t>(y) * fromStride,
                static_cast<std::size_t>(width) * 4u);
}

class StreamFrameSource final : public FrameSource {
 public:
  explicit StreamFrameSource(std::shared_ptr<Session> session) : session_(std::move(session)) {
    eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~StreamFrameSource() override {
    close();
    if (eventFd_ >= 0) ::close(eventFd_);
  }

  bool open(const CaptureRegion& region) override {
    close();
    std::vector<GnomeMonitor> monitors;
    session_->monitors(monitors);
    int index = -1;
    const MonitorInfo rect = resolveOn(region, monitors, index);
    if (index < 0 || rect.width < 1 || rect.height < 1) return false;
    const GnomeMonitor& monitor = monitors[static_cast<std::size_t>(index)];
    StreamInfo info;
    std::uint64_t generation = 0;
    if (!session_->stream(monitor.connector, kStreamWaitMs, info, generation)) return false;

    {
      std::lock_guard<std::mutex> lock(mutex_);
      monitor_ = monitor.info;
      crop_ = PixelRect{rect.x - monitor.info.x, rect.y - monitor.info.y, rect.width, rect.height};
      fresh_ = false;
      failed_ = false;
      haveFrame_ = false;
      cursor_ = StreamCursor{};
      cursorSerial_ = 0;
    }
    rect_ = rect;
    generation_ = generation;
    if (!connect(info.node)) {
      close();
      return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    firstFrame_.wait_for(lock, std::chrono::milliseconds(kFirstFrameWaitMs), [&] { return fresh_ || failed_; });
    if (failed_ || !fresh_) {
      lock.unlock();
      close();
      return false;
    }
    return true;
  }

  void close() override {
    if (loop_) {
      pw_thread_loop_lock(loop_);
      if (stream_) {
        spa_hook_remove(&listener_);
        pw_stream_disconnect(stream_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
      }
      if (core_) pw_core_disconnect(core_);
      core_ = nullptr;
      pw_thread_loop_unlock(loop_);
      pw_thread_loop_stop(loop_);
      if (context_) pw_context_destroy(context_);
      context_ = nullptr;
      pw_thread_loop_destroy(loop_);
      loop_ = nullptr;
    }
    kept_ = nullptr;
    pointerDrawn_ = false;
    drainEvent();
  }

  bool isReady() const override { return stream_ != nullptr; }

  bool capture(PixelFrame& out) override {
    FrameDamage damage;
    if (kept_ != &out) kept_ = nullptr;
    return update(out, damage);
  }

  bool update(PixelFrame& kept, FrameDamage& damage) override {
    damage.setWhole();
    if (!stream_ || session_->generation() != generation_) return false;
    drainEvent();
    std::unique_lock<std::mutex> lock(mutex_);
    if (failed_) return false;
    if (fresh_) {
      fresh_ = false;
      std::swap(kept, pending_);
      kept_ = &kept;
      pointerDrawn_ = false;
      takeCursor();
      lock.unlock();
      cursorStamp_ = 0;
      if (cursorDrawn_ && drawn_.visible) {
        FrameDamage ignored;
        drawPointer(kept, ignored);
      }
      damage.setWhole();
      return true;
    }
    // The picture kept last is the newest; anything else has nothing to
    // compare with, and a new connection brings a picture again.
    if (kept_ != &kept || !haveFrame_) return false;
    damage.setNone();
    takeCursor();
    lock.unlock();
    const bool wanted = cursorDrawn_ && drawn_.visible;
    const bool same = wanted == pointerDrawn_ &&
                      (!wanted || (drawnX_ == drawn_.x - crop_.x && drawnY_ == drawn_.y - crop_.y &&
                                   drawnShape_ == drawn_.shape));
    if (same) return true;
    restoreUnder(kept, damage);
    cursorStamp_ = 0;
    if (wanted) drawPointer(kept, damage);
    return true;
  }

  bool changePending() override {
    drainEvent();
    if (!stream_ || session_->generation() != generation_) return stream_ != nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    return fresh_ || failed_ || (cursorDrawn_ && cursorSerial_ != takenSerial_);
  }

  int changeHandle() const override { return stream_ ? eventFd_ : -1; }

  void setCursorDrawn(bool drawn) override { cursorDrawn_ = drawn; }
  std::uint64_t cursorStamp() const override { return cursorStamp_; }

  MonitorInfo resolve(const CaptureRegion& region) override {
    std::vector<GnomeMonitor> monitors;
    session_->monitors(monitors);
    int index = -1;
    return resolveOn(region, monitors, index);
  }

  bool openRect(MonitorInfo& rect) const override {
    if (!stream_) return false;
    rect = rect_;
    return true;
  }

  MonitorInfo firstMonitor() override {
    std::vector<GnomeMonitor> monitors;
    session_->monitors(monitors);
    return monitors.empty() ? MonitorInfo{} : monitors.front().info;
  }

 private:
  // The rectangle a region stands for: a monitor, or the custom rectangle
  // clipped to the monitor under its centre (one stream shows one monitor).
  static MonitorInfo resolveOn(const CaptureRegion& region, const std::vector<GnomeMonitor>& gnomeMonitors,
                               int& index) {
    std::vector<MonitorInfo> monitors;
    for (const GnomeMonitor& m : gnomeMonitors) monitors.push_back(m.info);
    MonitorInfo rect = resolveCaptureRegion(region, monitors, metricsFor(gnomeMonitors));
    index = monitorUnder(rect, gnomeMonitors);
    if (index < 0 || region.mode == kRegionModeMonitor) return rect;
    const MonitorInfo& m = gnomeMonitors[static_cast<std::size_t>(index)].info;
    const std::int32_t left = std::max(rect.x, m.x), top = std::max(rect.y, m.y);
    const std::int32_t right = std::min(rect.x + rect.width, m.x + m.width);
    const std::int32_t bottom = std::min(rect.y + rect.height, m.y + m.height);
    rect.x = left;
    rect.y = top;
    rect.width = std::max(right - left, 1);
    rect.height = std::max(bottom - top, 1);
    return rect;
  }

  bool connect(std::uint32_t node) {
    loop_ = pw_thread_loop_new("vl-gnome-cast", nullptr);
    if (!loop_) return false;
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_ || pw_thread_loop_start(loop_) < 0) return false;
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
      pw_thread_loop_unlock(loop_);
      logWrite(LogLevel::Warn, "连不上 PipeWire（%s），GNOME 画面取不到", spa_strerror(-errno));
      return false;
    }
    stream_ = pw_stream_new(core_, "velmora-agent",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                              PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream_) {
      pw_thread_loop_unlock(loop_);
      return false;
    }
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &StreamFrameSource::onStateChanged;
      e.param_changed = &StreamFrameSource::onParamChanged;
      e.process = &StreamFrameSource::onProcess;
      return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);

    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384),
                        defSize = SPA_RECTANGLE(1920, 1080);
    const spa_fraction variableRate = SPA_FRACTION(0, 1), minRate = SPA_FRACTION(1, 1), maxRate = SPA_FRACTION(1000, 1),
                      defRate = SPA_FRACTION(60, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(7, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB,
                               SPA_VIDEO_FORMAT_xBGR),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
        // A variable rate with a ceiling: without the ceiling mutter settles
        // on the lowest rate it offers and records one picture a second.
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variableRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
    const int rc = pw_stream_connect(stream_, PW_DIRECTION_INPUT, node,
                                     static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                     params, 1);
    pw_thread_loop_unlock(loop_);
    if (rc < 0) logWrite(LogLevel::Warn, "PipeWire 流连接失败（%s）", spa_strerror(rc));
    return rc >= 0;
  }

  static void onStateChanged(void* self, pw_stream_state, pw_stream_state state, const char* error) {
    auto* s = static_cast<StreamFrameSource*>(self);
    if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
    if (state == PW_STREAM_STATE_ERROR) logWrite(LogLevel::Warn, "GNOME 画面流出错：%s", error ? error : "?");
    {
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->failed_ = true;
    }
    s->firstFrame_.notify_all();
    s->signal();
  }

  static void onParamChanged(void* self, std::uint32_t id, const spa_pod* param) {
    auto* s = static_cast<StreamFrameSource*>(self);
    if (param == nullptr || id != SPA_PARAM_Format) return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
      return;
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(param, &raw) < 0) return;
    {
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->layout_ = layoutForSpaFormat(raw.format);
      s->streamWidth_ = static_cast<std::int32_t>(raw.size.width);
      s->streamHeight_ = static_cast<std::int32_t>(raw.size.height);
    }
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(static_cast<int>(cursorMetaSize(64, 64)), static_cast<int>(cursorMetaSize(1, 1)),
                                 static_cast<int>(cursorMetaSize(kCursorMetaMax, kCursorMetaMax)))));
    pw_stream_update_params(s->stream_, params, 2);
  }

  static void onProcess(void* self) { static_cast<StreamFrameSource*>(self)->process(); }

  // PipeWire's thread: every queued buffer is looked at (each may move the
  // pointer), only the newest picture is converted.
  void process() {
    pw_buffer* buffers[16];
    std::size_t count = 0;
    while (count < 16) {
      pw_buffer* b = pw_stream_dequeue_buffer(stream_);
      if (!b) break;
      buffers[count++] = b;
    }
    if (count == 0) return;
    int picture = -1;
    bool cursorMoved = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < count; ++i) {
        spa_buffer* buf = buffers[i]->buffer;
        const auto* cursor = static_cast<const spa_meta_cursor*>(
            spa_buffer_find_meta_data(buf, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        const bool hasCursor = cursor != nullptr && spa_meta_cursor_is_valid(cursor);
        const spa_chunk* chunk = buf->n_datas > 0 ? buf->datas[0].chunk : nullptr;
        const BufferKind kind = chunk ? classifyBuffer(static_cast<std::uint32_t>(chunk->flags), chunk->size, hasCursor)
                                      : (hasCursor ? BufferKind::CursorOnly : BufferKind::Empty);
        if (kind == BufferKind::Picture && buf->datas[0].data != nullptr) picture = static_cast<int>(i);
        if (hasCursor && readCursor(*cursor, buf->metas)) cursorMoved = true;
      }
      if (picture >= 0) {
        const spa_data& d = buffers[picture]->buffer->datas[0];
        const std::size_t offset = std::min<std::size_t>(d.chunk->offset, d.maxsize);
        const std::size_t stride = d.chunk->stride > 0 ? static_cast<std::size_t>(d.chunk->stride)
                                                       : static_cast<std::size_t>(streamWidth_) * 4u;
        const PixelRect crop = streamCrop();
        if (convertStreamPixels(static_cast<const std::uint8_t*>(d.data) + offset, d.maxsize - offset, stride,
                                streamWidth_, streamHeight_, layout_, crop, pending_)) {
          fresh_ = true;
          haveFrame_ = true;
        }
      }
    }
    for (std::size_t i = 0; i < count; ++i) pw_stream_queue_buffer(stream_, buffers[i]);
    if (fresh_) firstFrame_.notify_all();
    if (picture >= 0 || (cursorMoved && cursorDrawn_)) signal();
  }

  // The capture rectangle in stream pixels (the stream may be scaled from
  // layout pixels), clipped to the stream.
  PixelRect streamCrop() const {
    if (monitor_.width < 1 || monitor_.height < 1) return PixelRect{};
    const double sx = static_cast<double>(streamWidth_) / monitor_.width;
    const double sy = static_cast<double>(streamHeight_) / monitor_.height;
    PixelRect r{static_cast<std::int32_t>(crop_.x * sx), static_cast<std::int32_t>(crop_.y * sy),
                static_cast<std::int32_t>(crop_.width * sx), static_cast<std::int32_t>(crop_.height * sy)};
    r.x = std::clamp(r.x, 0, std::max(streamWidth_ - 1, 0));
    r.y = std::clamp(r.y, 0, std::max(streamHeight_ - 1, 0));
    r.width = std::clamp(r.width, 1, std::max(streamWidth_ - r.x, 1));
    r.height = std::clamp(r.height, 1, std::max(streamHeight_ - r.y, 1));
    return r;
  }

  // Under mutex_. true when the pointer changed.
  bool readCursor(const spa_meta_cursor& meta, const spa_meta*) {
    StreamCursor& c = cursor_;
    bool changed = c.x != meta.position.x || c.y != meta.position.y;
    c.x = meta.position.x;
    c.y = meta.position.y;
    if (meta.bitmap_offset >= sizeof(spa_meta_cursor)) {
      const auto* bitmap = SPA_PTROFF(&meta, meta.bitmap_offset, const spa_meta_bitmap);
      if (bitmap->format != 0) {
        changed = true;
        if (bitmap->offset >= sizeof(spa_meta_bitmap) && bitmap->size.width > 0 && bitmap->size.height > 0) {
          const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const std::uint8_t);
          const std::size_t stride = bitmap->stride > 0 ? static_cast<std::size_t>(bitmap->stride)
                                                        : static_cast<std::size_t>(bitmap->size.width) * 4u;
          const std::size_t room = cursorMetaSize(kCursorMetaMax, kCursorMetaMax) - meta.bitmap_offset - bitmap->offset;
          c.visible = convertCursorBitmap(pixels, room, stride, static_cast<std::int32_t>(bitmap->size.width),
                                          static_cast<std::int32_t>(bitmap->size.height),
                                          layoutForSpaFormat(bitmap->format), c.image);
          c.image.hotX = meta.hotspot.x;
          c.image.hotY = meta.hotspot.y;
          ++c.shape;
        } else {
          c.visible = false;  // the pointer left this monitor or is hidden
        }
      }
    }
    if (changed) ++cursorSerial_;
    return changed;
  }

  // Under mutex_: the pointer as the echo thread draws it from now on.
  void takeCursor() {
    if (takenSerial_ == cursorSerial_) return;
    takenSerial_ = cursorSerial_;
    drawn_.visible = cursor_.visible;
    drawn_.x = cursor_.x;
    drawn_.y = cursor_.y;
    if (drawn_.shape != cursor_.shape) {
      drawn_.shape = cursor_.shape;
      drawn_.image = cursor_.image;
    }
  }

  void restoreUnder(PixelFrame& kept, FrameDamage& damage) {
    if (!pointerDrawn_) return;
    pointerDrawn_ = false;
    if (under_.width <= 0 || under_.height <= 0) return;
    const std::size_t stride = static_cast<std::size_t>(kept.width) * 4u;
    copyArea(underPixels_.data(), static_cast<std::size_t>(under_.width) * 4u,
             kept.pixels.data() + static_cast<std::size_t>(under_.y) * stride + static_cast<std::size_t>(under_.x) * 4u,
             stride, under_.width, under_.height);
    damage.add(under_, kept.width, kept.height);
  }

  void drawPointer(PixelFrame& kept, FrameDamage& damage) {
    const int x = drawn_.x - crop_.x, y = drawn_.y - crop_.y;
    FrameDamage clip;
    clip.setNone();
    clip.add(PixelRect{x - drawn_.image.hotX, y - drawn_.image.hotY, drawn_.image.width, drawn_.image.height},
             kept.width, kept.height);
    under_ = clip.rects.empty() ? PixelRect{} : clip.rects.front();
    const std::size_t stride = static_cast<std::size_t>(kept.width) * 4u;
    underPixels_.resize(static_cast<std::size_t>(under_.width) * static_cast<std::size_t>(under_.height) * 4u);
    if (!underPixels_.empty())
      copyArea(kept.pixels.data() + static_cast<std::size_t>(under_.y) * stride + static_cast<std::size_t>(under_.x) * 4u,
               stride, underPixels_.data(), static_cast<std::size_t>(under_.width) * 4u, under_.width, under_.height);
    compositeCursor(kept, drawn_.image, x, y);
    pointerDrawn_ = true;
    drawnX_ = x;
    drawnY_ = y;
    drawnShape_ = drawn_.shape;
    damage.add(under_, kept.width, kept.height);
    cursorStamp_ = vl::cursorStamp(drawn_.shape, x + rect_.x, y + rect_.y);
  }

  void signal() {
    const std::uint64_t one = 1;
    if (eventFd_ >= 0) [[maybe_unused]] auto n = ::write(eventFd_, &one, sizeof(one));
  }

  void drainEvent() {
    std::uint64_t value = 0;
    if (eventFd_ >= 0) [[maybe_unused]] auto n = ::read(eventFd_, &value, sizeof(value));
  }

  std::shared_ptr<Session> session_;
  int eventFd_ = -1;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};

  // Shared with PipeWire's thread.
  std::mutex mutex_;
  std::condition_variable firstFrame_;
  MonitorInfo monitor_;
  PixelRect crop_;  // layout pixels relative to the monitor, the same as stream pixels unscaled
  PixelLayout layout_ = PixelLayout::Unknown;
  std::int32_t streamWidth_ = 0;
  std::int32_t streamHeight_ = 0;
  PixelFrame pending_;
  bool fresh_ = false;
  bool failed_ = false;
  bool haveFrame_ = false;
  StreamCursor cursor_;
  std::uint64_t cursorSerial_ = 0;
  std::atomic<bool> cursorDrawn_{false};

  // Echo thread.
  MonitorInfo rect_;
  std::uint64_t generation_ = 0;
  const PixelFrame* kept_ = nullptr;
  std::uint64_t takenSerial_ = 0;
  StreamCursor drawn_;
  bool pointerDrawn_ = false;
  int drawnX_ = 0, drawnY_ = 0;
  std::uint64_t drawnShape_ = 0;
  PixelRect under_;
  std::vector<std::uint8_t> underPixels_;
  std::uint64_t cursorStamp_ = 0;
};

}  // namespace

std::unique_ptr<FrameSource> createStreamFrameSource(std::shared_ptr<Session> session) {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
  return std::make_unique<StreamFrameSource>(std::move(session));
}

}  // namespace vl::gnome
