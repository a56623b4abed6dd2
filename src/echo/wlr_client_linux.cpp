#include "echo/wlr_client_linux.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "echo/wlr_keymap_linux.h"
#include "echo/wlr_math.h"
#include "log/helpers.h"
#include "log/log.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace vl::wlr {

namespace {

// Linux input event codes (linux/input-event-codes.h).
constexpr std::uint32_t kBtnLeft = 0x110;
constexpr std::uint32_t kBtnRight = 0x111;
constexpr std::uint32_t kBtnMiddle = 0x112;
// Evdev keycodes are xkb keycodes minus 8.
constexpr std::uint32_t kEvdevOffset = 8;
// One wheel notch, in the axis units wl_pointer uses for a mouse wheel.
constexpr int kWheelStep = 15;
// A huge "delta" must not turn into a huge scroll.
constexpr int kMaxWheelNotches = 100;

std::uint32_t eventTime() { return static_cast<std::uint32_t>(monotonicMs()); }

}  // namespace

void signalEventFd(int fd) {
  const std::uint64_t one = 1;
  if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

void drainEventFd(int fd) {
  std::uint64_t count = 0;
  if (fd >= 0) (void)!::read(fd, &count, sizeof count);
}

struct Connection::Output {
  Connection* owner = nullptr;
  std::uint32_t globalName = 0;
  ::wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  // From wl_output, used while xdg-output says nothing.
  std::int32_t geometryX = 0, geometryY = 0, modeWidth = 0, modeHeight = 0;
  // From xdg-output: layout position and size.
  bool logical = false;
  std::int32_t x = 0, y = 0, width = 0, height = 0;
  std::string name;

  ~Output() {
    if (xdg != nullptr) zxdg_output_v1_destroy(xdg);
    if (output != nullptr) wl_output_destroy(output);
  }
  MonitorInfo info() const {
    MonitorInfo m;
    m.x = logical ? x : geometryX;
    m.y = logical ? y : geometryY;
    m.width = logical ? width : modeWidth;
    m.height = logical ? height : modeHeight;
    m.name = name;
    return m;
  }
};

namespace {

using Output = Connection::Output;

void outputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                    const char*, const char*, std::int32_t) {
  auto* o = static_cast<Output*>(data);
  o->geometryX = x;
  o->geometryY = y;
}
void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
  auto* o = static_cast<Output*>(data);
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  o->modeWidth = width;
  o->modeHeight = height;
}
// Both "done" events end a batch of changes (xdg-output 3 leaves it to
// wl_output's).
void outputDone(void* data, wl_output*) { static_cast<Output*>(data)->owner->publishLayout(); }
void outputScale(void*, wl_output*, std::int32_t) {}
void outputName(void*, wl_output*, const char*) {}
void outputDescription(void*, wl_output*, const char*) {}

void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  auto* o = static_cast<Output*>(data);
  o->logical = true;
  o->x = x;
  o->y = y;
}
void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
  auto* o = static_cast<Output*>(data);
  o->logical = true;
  o->width = width;
  o->height = height;
}
void xdgDone(void* data, zxdg_output_v1*) { static_cast<Output*>(data)->owner->publishLayout(); }
void xdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<Output*>(data)->name = name; }
void xdgDescription(void*, zxdg_output_v1*, const char*) {}

const wl_output_listener kOutputListener = {outputGeometry, outputMode,  outputDone,
                                            outputScale,    outputName,  outputDescription};
const zxdg_output_v1_listener kXdgOutputListener = {xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

void registryGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface, std::uint32_t version) {
  static_cast<Connection*>(data)->global(name, interface, version);
}
void registryRemove(void* data, wl_registry*, std::uint32_t name) { static_cast<Connection*>(data)->globalRemoved(name); }
const wl_registry_listener kRegistryListener = {registryGlobal, registryRemove};

// The probe only notes names.
void probeGlobal(void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  const std::string_view i(interface);
  if (i == zwlr_screencopy_manager_v1_interface.name) g->screencopyVersion = version;
  if (i == zwlr_virtual_pointer_manager_v1_interface.name) g->virtualPointer = true;
  if (i == zwp_virtual_keyboard_manager_v1_interface.name) g->virtualKeyboard = true;
  if (i == zxdg_output_manager_v1_interface.name) g->outputLayout = true;
}
void probeRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kProbeListener = {probeGlobal, probeRemove};

}  // namespace

Globals Connection::probe(bool& connected) {
  Globals g;
  connected = false;
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return g;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kProbeListener, &g);
  connected = wl_display_roundtrip(display) >= 0;
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return g;
}

void Connection::global(std::uint32_t name, const char* interface, std::uint32_t version) {
  const std::string_view i(interface);
  const auto bind = [&](const wl_interface* which, std::uint32_t most) {
    return wl_registry_bind(registry_, name, which, std::min(version, most));
  };
  if (i == wl_output_interface.name) {
    auto o = std::make_unique<Output>();
    o->owner = this;
    o->globalName = name;
    // Version 2 brings "done".
    o->output = static_cast<wl_output*>(bind(&wl_output_interface, 3));
    wl_output_add_listener(o->output, &kOutputListener, o.get());
    watchOutput(*o);
    outputs_.push_back(std::move(o));
  } else if (i == zxdg_output_manager_v1_interface.name && xdgOutputs_ == nullptr) {
    xdgOutputs_ = static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
    globals_.outputLayout = true;
    for (auto& o : outputs_) watchOutput(*o);
  } else if (i == wl_shm_interface.name && shm_ == nullptr) {
    shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (i == wl_seat_interface.name && seat_ == nullptr) {
    seat_ = static_cast<wl_seat*>(bind(&wl_seat_interface, 1));
  } else if (i == zwlr_screencopy_manager_v1_interface.name && screencopy_ == nullptr) {
    screencopy_ = static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 3));
    globals_.screencopyVersion = std::min<std::uint32_t>(version, 3);
  } else if (i == zwlr_virtual_pointer_manager_v1_interface.name && pointerManager_ == nullptr) {
    pointerManager_ =
        static_cast<zwlr_virtual_pointer_manager_v1*>(bind(&zwlr_virtual_pointer_manager_v1_interface, 2));
    globals_.virtualPointer = true;
  } else if (i == zwp_virtual_keyboard_manager_v1_interface.name && keyboardManager_ == nullptr) {
    keyboardManager_ =
        static_cast<zwp_virtual_keyboard_manager_v1*>(bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    globals_.virtualKeyboard = true;
  }
}

void Connection::watchOutput(Output& o) {
  if (xdgOutputs_ == nullptr || o.xdg != nullptr) return;
  o.xdg = zxdg_output_manager_v1_get_xdg_output(xdgOutputs_, o.output);
  zxdg_output_v1_add_listener(o.xdg, &kXdgOutputListener, &o);
}

void Connection::globalRemoved(std::uint32_t name) {
  const std::size_t before = outputs_.size();
  std::erase_if(outputs_, [name](const std::unique_ptr<Output>& o) { return o->globalName == name; });
  if (outputs_.size() != before) publishLayout();
}

void Connection::publishLayout() {
  std::vector<MonitorInfo> now;
  for (const auto& o : outputs_) {
    MonitorInfo m = o->info();
    if (m.width < 1 || m.height < 1) continue;  // not described yet
    now.push_back(std::move(m));
  }
  if (!now.empty()) now.front().primary = true;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto same = [](const MonitorInfo& a, const MonitorInfo& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height && a.name == b.name;
  };
  if (now.size() == published_.size() && std::equal(now.begin(), now.end(), published_.begin(), same)) return;
  published_ = std::move(now);
  ++generation_;
}

void Connection::layout(std::vector<MonitorInfo>& outputs, DesktopMetrics& desktop) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs = published_;
  }
  desktop = layoutMetrics(outputs);
}

wl_output* Connection::outputNamed(std::uint32_t globalName) const {
  for (const auto& o : outputs_)
    if (o->globalName == globalName) return o->output;
  return nullptr;
}

std::uint32_t Connection::outputGlobal(const std::string& name) const {
  for (const auto& o : outputs_)
    if (o->info().name == name) return o->globalName;
  return 0;
}

bool Connection::connect(std::string& why) {
  const std::string socket = envValue("WAYLAND_DISPLAY");
  display_ = wl_display_connect(nullptr);
  if (display_ == nullptr) {
    why = formatString("无法连接 Wayland 合成器（WAYLAND_DISPLAY=%s，%s）", socket.c_str(), std::strerror(errno));
    return false;
  }
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &kRegistryListener, this);
  // The globals, then the outputs' descriptions, then xdg-output's.
  for (int i = 0; i < 3; ++i)
    if (wl_display_roundtrip(display_) < 0) {
      why = formatString("Wayland 合成器（%s）断开了连接", socket.c_str());
      return false;
    }
  if (screencopy_ == nullptr || shm_ == nullptr) {
    why = formatString("Wayland 合成器（%s）不提供 wlroots 的抓屏接口（zwlr_screencopy_manager_v1），无法用 wlroots 方式推流",
                       socket.c_str());
    return false;
  }
  if (pointerManager_ != nullptr)
    pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointerManager_, seat_);
  if (keyboardManager_ != nullptr && seat_ != nullptr) {
    keyboard_ = std::make_unique<Keyboard>();
    mods_ = std::make_unique<KeyMods>();
    if (keyboard_->init()) {
      keyboardDevice_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboardManager_, seat_);
      sendKeymap();
    } else {
      logWrite(LogLevel::Warn, "无法生成键盘布局（xkbcommon 缺少 evdev/us 布局数据），反控时不能按键和输入文字");
    }
  }
  // The devices are kept from here on: events right after creating one can
  // be dropped by the compositor.
  if (wl_display_roundtrip(display_) < 0) {
    why = formatString("Wayland 合成器（%s）拒绝了虚拟输入设备", socket.c_str());
    return false;
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    why = formatString("无法创建 eventfd（%s）", std::strerror(errno));
    return false;
  }
  publishLayout();
  return true;
}

std::shared_ptr<Connection> Connection::open(std::string& why) {
  std::shared_ptr<Connection> c(new Connection());
  if (!c->connect(why)) return nullptr;
  c->thread_ = std::thread([raw = c.get()] { raw->run(); });
  return c;
}

Connection::~Connection() {
  if (thread_.joinable()) {
    stopping_ = true;
    signalEventFd(wakeFd_);
    thread_.join();
  }
  if (display_ != nullptr && !lost_) {
    // Clean-up jobs left by the last users (their buffers and frames).
    std::deque<std::function<void()>> left;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      left.swap(jobs_);
    }
    for (auto& job : left) job();
    outputs_.clear();
    if (pointer_ != nullptr) zwlr_virtual_pointer_v1_destroy(pointer_);
    if (keyboardDevice_ != nullptr) zwp_virtual_keyboard_v1_destroy(keyboardDevice_);
    wl_display_flush(display_);
  }
  outputs_.clear();
  if (display_ != nullptr) wl_display_disconnect(display_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Connection::post(std::function<void()> fn) {
  if (lost_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(fn));
  }
  signalEventFd(wakeFd_);
}

void Connection::fail(int error) {
  if (lost_.exchange(true)) return;
  const int code = wl_display_get_error(display_);
  logWrite(LogLevel::Error, "与 Wayland 合成器的连接已断开（%s），暂时无法抓屏和反控；合成器恢复后自动重新连接",
           std::strerror(code != 0 ? code : (error != 0 ? error : EPIPE)));
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(jobs_);
    // No compositor, no monitors: the agent says streaming is paused.
    published_.clear();
  }
  // Whoever waits for a picture finds the loss on its next look.
  ++generation_;
}

void Connection::run() {
  const int fd = wl_display_get_fd(display_);
  while (!stopping_) {
    while (wl_display_prepare_read(display_) != 0) {
      if (wl_display_dispatch_pending(display_) < 0) return fail(errno);
    }
    short events = POLLIN;
    if (wl_display_flush(display_) < 0) {
      if (errno != EAGAIN) {
        const int error = errno;
        wl_display_cancel_read(display_);
        return fail(error);
      }
      events |= POLLOUT;  // the socket is full: wait until it drains
    }
    pollfd fds[2] = {{fd, events, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      const int error = errno;
      wl_display_cancel_read(display_);
      if (error == EINTR) continue;
      return fail(error);
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      if (wl_display_read_events(display_) < 0) return fail(errno);
    } else {
      wl_display_cancel_read(display_);
    }
    if (wl_display_dispatch_pending(display_) < 0) return fail(errno);
    if ((fds[1].revents & POLLIN) != 0) drainEventFd(wakeFd_);
    std::deque<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job();
    if (wl_display_get_error(display_) != 0) return fail(0);
  }
}

// --- virtual pointer and keyboard (connection's thread) ---

void Connection::pointerMotion(std::uint32_t x, std::uint32_t y, std::uint32_t xExtent, std::uint32_t yExtent) {
  if (pointer_ == nullptr) return;
  zwlr_virtual_pointer_v1_motion_absolute(pointer_, eventTime(), x, y, xExtent, yExtent);
  zwlr_virtual_pointer_v1_frame(pointer_);
}

void Connection::pointerButton(std::uint32_t button, bool down) {
  if (pointer_ == nullptr) return;
  static constexpr std::uint32_t kCode[] = {kBtnLeft, kBtnRight, kBtnMiddle};
  zwlr_virtual_pointer_v1_button(pointer_, eventTime(), kCode[button < 3 ? button : 0],
                                 down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(pointer_);
}

void Connection::pointerWheel(int notches) {
  if (pointer_ == nullptr || notches == 0) return;
  notches = std::clamp(notches, -kMaxWheelNotches, kMaxWheelNotches);
  // Away from the user scrolls up: negative on wl_pointer's vertical axis.
  const std::uint32_t time = eventTime();
  zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(pointer_, time, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                        wl_fixed_from_int(-notches * kWheelStep), -notches);
  zwlr_virtual_pointer_v1_frame(pointer_);
}

void Connection::sendKeymap() {
  const std::string& text = keyboard_->keymapText();
  const int fd = memfd_create("velmora-keymap", MFD_CLOEXEC);
  if (fd < 0) return;
  const std::size_t size = text.size() + 1;  // with its NUL
  if (::write(fd, text.c_str(), size) == static_cast<ssize_t>(size))
    zwp_virtual_keyboard_v1_keymap(keyboardDevice_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(size));
  ::close(fd);  // the request carries its own copy
}

void Connection::sendKey(std::uint32_t keycode, bool down) {
  zwp_virtual_keyboard_v1_key(keyboardDevice_, eventTime(), keycode - kEvdevOffset,
                              down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  if (keyboard_->noteKey(keycode, down, *mods_))
    zwp_virtual_keyboard_v1_modifiers(keyboardDevice_, mods_->depressed, mods_->latched, mods_->locked, mods_->group);
}

void Connection::keysymEvent(std::uint32_t keysym, bool down) {
  if (keyboardDevice_ == nullptr) return;
  const Keyboard::Stroke s = keyboard_->forKeysym(keysym, false);
  if (s.keycode != 0) sendKey(s.keycode, down);
}

void Connection::keysymStroke(std::uint32_t keysym, bool allowSpare) {
  if (keyboardDevice_ == nullptr) return;
  const Keyboard::Stroke s = keyboard_->forKeysym(keysym, allowSpare);
  if (s.keycode == 0) return;
  if (s.keymapChanged) {
    // A new keymap starts from no modifiers.
    sendKeymap();
    *mods_ = KeyMods{};
    zwp_virtual_keyboard_v1_modifiers(keyboardDevice_, 0, 0, 0, 0);
  }
  const std::uint32_t shift = s.shift ? keyboard_->shiftKeycode() : 0;
  if (s.shift && shift == 0) return;
  if (shift != 0) sendKey(shift, true);
  sendKey(s.keycode, true);
  sendKey(s.keycode, false);
  if (shift != 0) sendKey(shift, false);
}

}  // namespace vl::wlr
