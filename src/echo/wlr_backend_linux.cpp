// The wlroots back end (sway and other compositors built on wlroots):
// pictures through zwlr_screencopy_manager_v1 into shared memory, one
// output at a time, with the compositor's damage; input through the
// virtual pointer and keyboard; the layout from xdg-output. All protocol
// traffic runs on the Connection's thread; the frame source and the
// injector hand it work.
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "echo/display_watch.h"
#include "echo/echo_service.h"
#include "echo/frame_source.h"
#include "echo/input_injector.h"
#include "echo/wayland_backends.h"
#include "echo/wlr_client_linux.h"
#include "echo/wlr_math.h"
#include "log/helpers.h"
#include "log/log.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace vl {

namespace {

using wlr::Connection;

// How long the first picture of a newly opened source may take: the
// compositor copies at its next repaint.
constexpr auto kFirstPictureWait = std::chrono::milliseconds(2000);

// One output's screencopy: the frame in flight and the SHM buffer it fills.
// The protocol objects are touched on the connection's thread only; the
// echo thread reads the buffer while the state is Ready (nothing is in
// flight then, so the compositor does not write it).
struct Session {
  enum class State { InFlight, Ready, Failed };

  explicit Session(Connection* c) : conn(c) {
    eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Session() {
    releaseObjects();
    if (eventFd >= 0) ::close(eventFd);
  }

  // Connection's thread.
  void request(bool cursor);
  void releaseObjects() {
    if (frame != nullptr) zwlr_screencopy_frame_v1_destroy(frame);
    frame = nullptr;
    releaseBuffer();
  }
  void releaseBuffer() {
    if (buffer != nullptr) wl_buffer_destroy(buffer);
    if (data != nullptr) munmap(data, size);
    buffer = nullptr;
    data = nullptr;
    size = 0;
  }
  bool ensureBuffer();
  void finish(State s) {
    if (frame != nullptr) zwlr_screencopy_frame_v1_destroy(frame);
    frame = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      state = s;
    }
    changed.notify_all();
    wlr::signalEventFd(eventFd);
  }

  // Not owning: a session left in a job must not be the one to end the
  // connection (on its own thread); its owner outlives it.
  Connection* conn;
  std::string outputName;
  int eventFd = -1;
  zwlr_screencopy_frame_v1* frame = nullptr;
  wl_buffer* buffer = nullptr;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  // What the compositor asked for, and what the buffer holds.
  std::uint32_t wantFormat = 0, wantWidth = 0, wantHeight = 0, wantStride = 0;
  bool shmOffered = false;
  bool copied = false;  // a copy has completed in this session
  std::uint32_t format = 0, width = 0, height = 0, stride = 0;

  std::mutex mutex;  // state, flags, damage
  std::condition_variable changed;
  State state = State::InFlight;
  bool yInvert = false;
  bool damageSeen = false;
  std::vector<PixelRect> damage;
};

void frameBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                 std::uint32_t height, std::uint32_t stride);
void frameBufferDone(void* data, zwlr_screencopy_frame_v1*);

void frameFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  auto* s = static_cast<Session*>(data);
  std::lock_guard<std::mutex> lock(s->mutex);
  s->yInvert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}
void frameReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
  static_cast<Session*>(data)->copied = true;
  static_cast<Session*>(data)->finish(Session::State::Ready);
}
void frameFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Session*>(data)->finish(Session::State::Failed); }
void frameDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                 std::uint32_t height) {
  auto* s = static_cast<Session*>(data);
  std::lock_guard<std::mutex> lock(s->mutex);
  s->damageSeen = true;
  s->damage.push_back({static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), static_cast<std::int32_t>(width),
                       static_cast<std::int32_t>(height)});
}
void frameDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}

const zwlr_screencopy_frame_v1_listener kFrameListener = {frameBuffer, frameFlags,  frameReady,     frameFailed,
                                                          frameDamage, frameDmabuf, frameBufferDone};

void frameBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                 std::uint32_t height, std::uint32_t stride) {
  auto* s = static_cast<Session*>(data);
  s->shmOffered = true;
  s->wantFormat = format;
  s->wantWidth = width;
  s->wantHeight = height;
  s->wantStride = stride;
  // Before version 3 nothing else follows.
  if (s->conn->globals().screencopyVersion < 3) frameBufferDone(data, nullptr);
}

void frameBufferDone(void* data, zwlr_screencopy_frame_v1*) {
  auto* s = static_cast<Session*>(data);
  if (!s->shmOffered || !s->ensureBuffer()) return s->finish(Session::State::Failed);
  // With damage, a still screen keeps the request waiting at no cost; the
  // first copy of a session must not wait (a still screen would keep it
  // waiting for ever), so it takes the picture as it is.
  if (s->conn->globals().screencopyVersion >= 2 && s->copied) {
    zwlr_screencopy_frame_v1_copy_with_damage(s->frame, s->buffer);
  } else {
    zwlr_screencopy_frame_v1_copy(s->frame, s->buffer);
  }
}

bool Session::ensureBuffer() {
  if (buffer != nullptr && format == wantFormat && width == wantWidth && height == wantHeight && stride == wantStride)
    return true;
  releaseBuffer();
  const std::size_t bytes = static_cast<std::size_t>(wantStride) * wantHeight;
  if (bytes == 0 || !wlr::shmLayout(wantFormat).ok) return false;
  const int fd = memfd_create("velmora-screencopy", MFD_CLOEXEC);
  if (fd < 0) return false;
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    ::close(fd);
    return false;
  }
  void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  wl_shm_pool* pool = wl_shm_create_pool(conn->shm(), fd, static_cast<std::int32_t>(bytes));
  buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(wantWidth),
                                     static_cast<std::int32_t>(wantHeight), static_cast<std::int32_t>(wantStride),
                                     wantFormat);
  wl_shm_pool_destroy(pool);
  ::close(fd);
  data = static_cast<std::uint8_t*>(map);
  size = bytes;
  format = wantFormat;
  width = wantWidth;
  height = wantHeight;
  stride = wantStride;
  return true;
}

void Session::request(bool cursor) {
  wl_output* output = conn->outputNamed(conn->outputGlobal(outputName));
  if (output == nullptr) return finish(State::Failed);
  {
    std::lock_guard<std::mutex> lock(mutex);
    state = State::InFlight;
    damage.clear();
    damageSeen = false;
    yInvert = false;
  }
  shmOffered = false;
  frame = zwlr_screencopy_manager_v1_capture_output(conn->screencopy(), cursor ? 1 : 0, output);
  zwlr_screencopy_frame_v1_add_listener(frame, &kFrameListener, this);
}

// The back end's connection, opened again (same WAYLAND_DISPLAY, a growing
// pause between tries) once the compositor has gone, so a compositor that
// restarts is streamed and operated again.
class Link {
 public:
  explicit Link(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}

  // The connection in use, after a due attempt to replace a lost one.
  std::shared_ptr<Connection> get() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (conn_->lost() && monotonicMs() >= retryAtMs_) reconnect();
    return conn_;
  }
  // Without trying anything.
  std::shared_ptr<Connection> current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return conn_;
  }

 private:
  void reconnect() {
    std::string why;
    std::shared_ptr<Connection> fresh = Connection::open(why);
    if (fresh == nullptr) {
      retryDelayMs_ = retryDelayMs_ == 0 ? EchoService::kCaptureRetryFirstMs
                                         : std::min(retryDelayMs_ * 2, EchoService::kCaptureRetryMaxMs);
      retryAtMs_ = monotonicMs() + retryDelayMs_;
      return;
    }
    retryDelayMs_ = 0;
    conn_ = std::move(fresh);
    logWrite(LogLevel::Info, "已重新连接 Wayland 合成器（%s）", envValue("WAYLAND_DISPLAY").c_str());
  }

  std::mutex mutex_;
  std::shared_ptr<Connection> conn_;
  std::uint64_t retryAtMs_ = 0;
  std::uint64_t retryDelayMs_ = 0;
};

class WlrFrameSource final : public FrameSource {
 public:
  explicit WlrFrameSource(std::shared_ptr<Link> link) : link_(std::move(link)), conn_(link_->current()) {}
  ~WlrFrameSource() override { close(); }

  bool open(const CaptureRegion& region) override {
    close();
    conn_ = link_->get();
    if (conn_->lost()) return false;
    std::vector<MonitorInfo> outputs;
    DesktopMetrics desktop;
    conn_->layout(outputs, desktop);
    const MonitorInfo r = resolveCaptureRegion(region, outputs, desktop);
    const int index = wlr::outputUnder(r, outputs);
    if (r.width < 1 || r.height < 1 || index < 0) return false;
    output_ = outputs[static_cast<std::size_t>(index)];
    // A rectangle over several outputs is cut to the one under its centre.
    rect_ = r;
    const std::int32_t x0 = std::max(r.x, output_.x), y0 = std::max(r.y, output_.y);
    const std::int32_t x1 = std::min(r.x + r.width, output_.x + output_.width);
    const std::int32_t y1 = std::min(r.y + r.height, output_.y + output_.height);
    if (x1 <= x0 || y1 <= y0) {
      rect_ = output_;
    } else {
      rect_.x = x0;
      rect_.y = y0;
      rect_.width = x1 - x0;
      rect_.height = y1 - y0;
    }
    session_ = std::make_shared<Session>(conn_.get());
    session_->outputName = output_.name;
    conn_->post([s = session_, cursor = cursor_] { s->request(cursor); });
    if (rect_.x != logged_.x || rect_.y != logged_.y || rect_.width != logged_.width ||
        rect_.height != logged_.height || rect_.name != logged_.name) {
      logged_ = rect_;
      logWrite(LogLevel::Info, "抓屏初始化: %s %dx%d @ (%d,%d)", rect_.name.c_str(), rect_.width, rect_.height, rect_.x,
               rect_.y);
    }
    return true;
  }

  void close() override {
    if (session_ == nullptr) return;
    // The protocol objects go on the connection's thread (or with it).
    conn_->post([s = std::move(session_)] { s->releaseObjects(); });
    session_.reset();
    kept_ = nullptr;
  }

  bool isReady() const override { return session_ != nullptr; }

  bool capture(PixelFrame& out) override {
    FrameDamage damage;
    kept_ = nullptr;
    return update(out, damage);
  }

  bool update(PixelFrame& kept, FrameDamage& damage) override {
    damage.setWhole();
    if (session_ == nullptr || conn_->lost()) return false;
    Session& s = *session_;
    bool whole = &kept != kept_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (whole) s.changed.wait_for(lock, kFirstPictureWait, [&] { return s.state != Session::State::InFlight; });
    if (s.state == Session::State::Failed) return false;
    if (s.state == Session::State::InFlight) {
      if (whole) return false;
      damage.setNone();
      return true;
    }
    const bool yInvert = s.yInvert;
    const bool damageSeen = s.damageSeen;
    // Swapped, so both vectors keep their storage from picture to picture.
    boxes_.clear();
    std::swap(boxes_, s.damage);
    lock.unlock();
    wlr::drainEventFd(s.eventFd);

    const wlr::ShmLayout layout = wlr::shmLayout(s.format);
    const PixelRect crop = wlr::bufferArea(rect_, output_, static_cast<std::int32_t>(s.width),
                                           static_cast<std::int32_t>(s.height));
    if (!layout.ok || crop.width < 1 || crop.height < 1 || s.data == nullptr) return false;
    if (kept.width != crop.width || kept.height != crop.height) {
      kept.setSize(crop.width, crop.height);
      whole = true;
    }
    // Damage of a flipped picture is not trusted: the whole of it is read.
    if (whole || yInvert || !damageSeen) {
      wlr::copyShmArea(s.data, s.stride, static_cast<std::int32_t>(s.height), layout, yInvert, crop, kept, 0, 0);
      damage.setWhole();
    } else {
      damage.setNone();
      for (const PixelRect& box : boxes_) {
        const std::int32_t x0 = std::max(box.x, crop.x), y0 = std::max(box.y, crop.y);
        const std::int32_t x1 = std::min(box.x + box.width, crop.x + crop.width);
        const std::int32_t y1 = std::min(box.y + box.height, crop.y + crop.height);
        if (x1 <= x0 || y1 <= y0) continue;
        wlr::copyShmArea(s.data, s.stride, static_cast<std::int32_t>(s.height), layout, false,
                         {x0, y0, x1 - x0, y1 - y0}, kept, x0 - crop.x, y0 - crop.y);
        wlr::addBufferDamage(box, crop, damage);
      }
    }
    kept_ = &kept;
    {
      std::lock_guard<std::mutex> relock(s.mutex);
      s.state = Session::State::InFlight;
    }
    conn_->post([s = session_, cursor = cursor_] { s->request(cursor); });
    return true;
  }

  bool changePending() override {
    if (session_ == nullptr) return false;
    wlr::drainEventFd(session_->eventFd);
    std::lock_guard<std::mutex> lock(session_->mutex);
    return session_->state != Session::State::InFlight;
  }

  int changeHandle() const override { return session_ != nullptr ? session_->eventFd : -1; }

  // The compositor composites the pointer into the copy itself, so no
  // stamp is needed: a moved pointer arrives as damage.
  void setCursorDrawn(bool drawn) override { cursor_ = drawn; }

  MonitorInfo resolve(const CaptureRegion& region) override {
    std::vector<MonitorInfo> outputs;
    DesktopMetrics desktop;
    link_->get()->layout(outputs, desktop);
    return resolveCaptureRegion(region, outputs, desktop);
  }

  bool openRect(MonitorInfo& rect) const override {
    if (session_ == nullptr) return false;
    rect = rect_;
    return true;
  }

  MonitorInfo firstMonitor() override {
    std::vector<MonitorInfo> outputs;
    DesktopMetrics desktop;
    link_->get()->layout(outputs, desktop);
    return outputs.empty() ? MonitorInfo{} : outputs.front();
  }

 private:
  std::shared_ptr<Link> link_;
  std::shared_ptr<Connection> conn_;  // the open session's
  std::shared_ptr<Session> session_;
  MonitorInfo output_;
  MonitorInfo rect_;
  MonitorInfo logged_;
  const PixelFrame* kept_ = nullptr;
  std::vector<PixelRect> boxes_;
  bool cursor_ = false;
};

// Keysyms the injector itself needs (X keysym values).
constexpr std::uint32_t kKeysymControlL = 0xffe3;

class WlrInjector final : public InputInjector {
 public:
  explicit WlrInjector(std::shared_ptr<Link> link) : link_(std::move(link)) {}

  void moveTo(float u, float v, const MonitorInfo& rect) override {
    std::vector<MonitorInfo> outputs;
    DesktopMetrics desktop;
    const std::shared_ptr<Connection> conn = link_->current();
    conn->layout(outputs, desktop);
    const wlr::LayoutPosition p = wlr::layoutPosition(u, v, rect, desktop);
    if (!p.ok) return;
    conn->post([c = conn.get(), p] { c->pointerMotion(p.x, p.y, p.xExtent, p.yExtent); });
  }
  void mouseButton(int button, bool down) override {
    const auto b = static_cast<std::uint32_t>(normalizeButton(button));
    post([b, down](Connection* c) { c->pointerButton(b, down); });
  }
  void wheel(int notches, bool ctrl) override {
    if (ctrl) keysym(kKeysymControlL, true);
    post([notches](Connection* c) { c->pointerWheel(notches); });
    if (ctrl) keysym(kKeysymControlL, false);
  }
  void keyEvent(unsigned vk, bool down) override {
    if (const auto sym = static_cast<std::uint32_t>(keysymForVirtualKey(vk)); sym != 0) keysym(sym, down);
  }
  void pressKey(unsigned vk) override {
    keyEvent(vk, true);
    keyEvent(vk, false);
  }
  void typeText(std::string_view utf8) override {
    walkTypedText(
        utf8, [this](unsigned vk) { pressKey(vk); },
        [this](char32_t cp) {
          const auto sym = static_cast<std::uint32_t>(keysymForCodePoint(cp));
          post([sym](Connection* c) { c->keysymStroke(sym, true); });
        });
  }

 private:
  void keysym(std::uint32_t sym, bool down) {
    post([sym, down](Connection* c) { c->keysymEvent(sym, down); });
  }
  // Runs fn on the connection's thread, with the connection.
  template <typename Fn>
  void post(Fn fn) {
    const std::shared_ptr<Connection> conn = link_->current();
    conn->post([c = conn.get(), fn] { fn(c); });
  }
  std::shared_ptr<Link> link_;
};

// For a compositor without the virtual input globals: view only.
class DroppingInjector final : public InputInjector {
 public:
  void moveTo(float, float, const MonitorInfo&) override {}
  void mouseButton(int, bool) override {}
  void click(float, float, const MonitorInfo&, int) override {}
  void doubleClick(float, float, const MonitorInfo&, int) override {}
  void wheel(int, bool) override {}
  void keyEvent(unsigned, bool) override {}
  void pressKey(unsigned) override {}
  void typeText(std::string_view) override {}
};

class WlrDisplayWatch final : public DisplayWatch {
 public:
  explicit WlrDisplayWatch(std::shared_ptr<Link> link) : link_(std::move(link)) {
    const std::shared_ptr<Connection> c = link_->current();
    seenConn_ = c.get();
    seen_ = c->generation();
  }
  bool changed() override {
    const std::shared_ptr<Connection> c = link_->get();
    const std::uint64_t now = c->generation();
    if (c.get() == seenConn_ && now == seen_) return false;
    seenConn_ = c.get();
    seen_ = now;
    return true;
  }

 private:
  std::shared_ptr<Link> link_;
  const Connection* seenConn_ = nullptr;  // only compared
  std::uint64_t seen_ = 0;
};

class WlrBackend final : public DesktopBackend {
 public:
  explicit WlrBackend(std::shared_ptr<Connection> c) : link_(std::make_shared<Link>(std::move(c))) {}
  const char* name() const override { return "wlroots"; }
  void gatherDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) override {
    link_->current()->layout(monitors, desktop);
  }
  std::unique_ptr<FrameSource> createFrameSource() override { return std::make_unique<WlrFrameSource>(link_); }
  std::unique_ptr<InputInjector> createInjector() override {
    const std::shared_ptr<Connection> conn = link_->current();
    const bool pointer = conn->pointerReady(), keyboard = conn->keyboardReady();
    if (!pointer && !keyboard) {
      logWrite(LogLevel::Warn,
               "合成器没有虚拟输入接口（zwlr_virtual_pointer_manager_v1、zwp_virtual_keyboard_manager_v1），只能观看，不能操作");
      return std::make_unique<DroppingInjector>();
    }
    if (!pointer)
      logWrite(LogLevel::Warn, "合成器没有虚拟指针接口（zwlr_virtual_pointer_manager_v1），反控时鼠标不能操作");
    if (!keyboard)
      logWrite(LogLevel::Warn, "合成器没有虚拟键盘接口（zwp_virtual_keyboard_manager_v1），反控时不能按键和输入文字");
    return std::make_unique<WlrInjector>(link_);
  }
  std::unique_ptr<DisplayWatch> createDisplayWatch() override { return std::make_unique<WlrDisplayWatch>(link_); }

 private:
  std::shared_ptr<Link> link_;
};

}  // namespace

WlrootsOffer probeWlroots() {
  WlrootsOffer offer;
  const wlr::Globals g = Connection::probe(offer.connected);
  offer.screencopy = g.screencopyVersion > 0;
  offer.virtualPointer = g.virtualPointer;
  offer.virtualKeyboard = g.virtualKeyboard;
  offer.outputLayout = g.outputLayout;
  return offer;
}

std::shared_ptr<DesktopBackend> openWlrootsBackend(std::string& why) {
  std::shared_ptr<Connection> c = Connection::open(why);
  if (c == nullptr) return nullptr;
  return std::make_shared<WlrBackend>(std::move(c));
}

}  // namespace vl
