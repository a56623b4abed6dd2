#include "echo/gnome_session_linux.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "log/helpers.h"
#include "log/log.h"

namespace vl::gnome {
namespace {

constexpr const char* kRemoteName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemotePath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* kCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayPath = "/org/gnome/Mutter/DisplayConfig";
// mutter answers within milliseconds; this only bounds a hung compositor.
constexpr int kCallTimeoutMs = 5000;
// cursor-mode of RecordMonitor: the pointer as metadata beside the picture,
// so a moving pointer costs no new picture and is drawn only where wanted.
constexpr guint32 kCursorMetadata = 2;
// F24: no common key map puts it on a key.
constexpr std::uint32_t kKeysymUnmapped = 0xFFD5;
constexpr std::uint64_t kRebuildFirstMs = 500;
constexpr std::uint64_t kRebuildMaxMs = 30000;

// A synchronous call; nullptr with `why` filled on failure.
GVariant* callSync(GDBusConnection* bus, const char* dest, const char* path, const char* iface, const char* method,
                   GVariant* args, const char* replyType, std::string& why) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, dest, path, iface, method, args,
                                                replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
  if (reply == nullptr) {
    why = formatString("%s：%s", method, error ? error->message : "?");
    if (error) g_error_free(error);
  }
  return reply;
}

}  // namespace

std::string sessionBusAddress() {
  std::string address = envValue("DBUS_SESSION_BUS_ADDRESS");
  if (!address.empty()) return address;
  const std::string runtime = envValue("XDG_RUNTIME_DIR");
  if (runtime.empty()) return {};
  const std::string socket = runtime + "/bus";
  struct stat st {};
  if (stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  return "unix:path=" + socket;
}

std::shared_ptr<Session> Session::open(std::string& why) {
  std::shared_ptr<Session> s(new Session());
  s->thread_ = std::thread([raw = s.get()] { raw->run(); });
  std::unique_lock<std::mutex> lock(s->mutex_);
  s->changed_.wait(lock, [&] { return s->started_; });
  if (!s->startError_.empty()) {
    why = s->startError_;
    lock.unlock();
    return nullptr;  // the destructor joins the finished thread
  }
  return s;
}

Session::~Session() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (context_) g_main_context_wakeup(context_);
  }
  if (thread_.joinable()) thread_.join();
  if (context_) g_main_context_unref(context_);
}

void Session::run() {
  GMainContext* context = g_main_context_new();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    context_ = context;
  }
  g_main_context_push_thread_default(context);
  std::string why;
  const bool ok = connectBus(why) && readMonitors(why) && build(why);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    startError_ = ok ? std::string() : why;
  }
  changed_.notify_all();
  while (ok && !stopping_) g_main_context_iteration(context, TRUE);

  if (bus_) {
    for (unsigned id : subscriptions_) g_dbus_connection_signal_unsubscribe(bus_, id);
    subscriptions_.clear();
  }
  if (rebuildSource_) {
    if (GSource* s = g_main_context_find_source_by_id(context, rebuildSource_)) g_source_destroy(s);
    rebuildSource_ = 0;
  }
  tearDown(false);  // closing the connection ends mutter's sessions
  GDBusConnection* bus = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bus = bus_;
    bus_ = nullptr;
  }
  if (bus) {
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
  }
  // Callbacks of unsubscribed signals may still be queued.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
}

bool Session::connectBus(std::string& why) {
  const std::string address = sessionBusAddress();
  if (address.empty()) {
    why = "找不到会话总线（DBUS_SESSION_BUS_ADDRESS 未设置）";
    return false;
  }
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus == nullptr) {
    why = formatString("连不上会话总线（%s）", error ? error->message : "?");
    if (error) g_error_free(error);
    return false;
  }
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bus_ = bus;
  }
  const auto flags = G_DBUS_SIGNAL_FLAGS_NONE;
  subscriptions_.push_back(g_dbus_connection_signal_subscribe(
      bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", kRemoteName,
      flags, &Session::signalThunk, this, nullptr));
  subscriptions_.push_back(g_dbus_connection_signal_subscribe(bus, nullptr, kDisplayName, "MonitorsChanged",
                                                              kDisplayPath, nullptr, flags, &Session::signalThunk,
                                                              this, nullptr));
  for (const char* iface : {kRemoteSession, kCastSession})
    subscriptions_.push_back(g_dbus_connection_signal_subscribe(bus, nullptr, iface, "Closed", nullptr, nullptr, flags,
                                                                &Session::signalThunk, this, nullptr));
  subscriptions_.push_back(g_dbus_connection_signal_subscribe(bus, nullptr, kCastStream, "PipeWireStreamAdded",
                                                              nullptr, nullptr, flags, &Session::signalThunk, this,
                                                              nullptr));
  return true;
}

bool Session::readMonitors(std::string& why) {
  GVariant* state = callSync(bus_, kDisplayName, kDisplayPath, kDisplayName, "GetCurrentState", nullptr, nullptr, why);
  if (state == nullptr) {
    why = "读不到 mutter 的显示器配置（" + why + "）";
    return false;
  }
  std::vector<GnomeMonitor> parsed;
  const bool ok = parseDisplayState(state, parsed);
  g_variant_unref(state);
  if (!ok || parsed.empty()) {
    why = "mutter 的显示器配置里没有可用的显示器";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  monitors_ = std::move(parsed);
  return true;
}

bool Session::build(std::string& why) {
  std::vector<GnomeMonitor> monitors;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    monitors = monitors_;
  }
  std::string remote, cast;
  std::vector<StreamInfo> streams;
  auto fail = [&](const std::string& step) {
    why = "mutter 拒绝建立远程桌面会话（" + step + "）";
    if (!remote.empty())
      g_dbus_connection_call(bus_, kRemoteName, remote.c_str(), kRemoteSession, "Stop", nullptr, nullptr,
                             G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    return false;
  };
  std::string error;
  GVariant* reply = callSync(bus_, kRemoteName, kRemotePath, kRemoteName, "CreateSession", nullptr, "(o)", error);
  if (!reply) return fail(error);
  const gchar* path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  remote = path;
  g_variant_unref(reply);

  reply = callSync(bus_, kRemoteName, remote.c_str(), "org.freedesktop.DBus.Properties", "Get",
                   g_variant_new("(ss)", kRemoteSession, "SessionId"), "(v)", error);
  if (!reply) return fail(error);
  GVariant* idValue = nullptr;
  g_variant_get(reply, "(v)", &idValue);
  const std::string sessionId = g_variant_is_of_type(idValue, G_VARIANT_TYPE_STRING)
                                    ? g_variant_get_string(idValue, nullptr)
                                    : std::string();
  g_variant_unref(idValue);
  g_variant_unref(reply);

  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", g_variant_new_string(sessionId.c_str()));
  reply = callSync(bus_, kCastName, kCastPath, kCastName, "CreateSession", g_variant_new("(a{sv})", &options), "(o)",
                   error);
  if (!reply) return fail(error);
  g_variant_get(reply, "(&o)", &path);
  cast = path;
  g_variant_unref(reply);

  // Every monitor gets its stream: input to any of them is addressed to a
  // stream, and a stream nobody consumes costs mutter nothing.
  for (const GnomeMonitor& m : monitors) {
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "cursor-mode", g_variant_new_uint32(kCursorMetadata));
    reply = callSync(bus_, kCastName, cast.c_str(), kCastSession, "RecordMonitor",
                     g_variant_new("(sa{sv})", m.connector.c_str(), &options), "(o)", error);
    if (!reply) return fail(error);
    g_variant_get(reply, "(&o)", &path);
    streams.push_back(StreamInfo{m.connector, path, 0});
    g_variant_unref(reply);
  }
  {
    // Published before Start: the node announcements follow it.
    std::lock_guard<std::mutex> lock(mutex_);
    remotePath_ = remote;
    castPath_ = cast;
    streams_ = streams;
    ++generation_;
  }
  reply = callSync(bus_, kRemoteName, remote.c_str(), kRemoteSession, "Start", nullptr, nullptr, error);
  if (!reply) {
    tearDown(false);
    return fail(error);
  }
  g_variant_unref(reply);
  changed_.notify_all();
  // mutter's seat offers clients a keyboard only once the session's virtual
  // keyboard has been used, and the keys sent before a client has bound it
  // are lost (a kiosk without a keyboard plugged in lost the first text).
  // A keysym no key map holds brings the keyboard in without typing.
  keysym(kKeysymUnmapped, true);
  keysym(kKeysymUnmapped, false);
  return true;
}

void Session::tearDown(bool tellMutter) {
  std::string remote;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remote.swap(remotePath_);
    castPath_.clear();
    streams_.clear();
    ++generation_;
  }
  changed_.notify_all();
  if (tellMutter && !remote.empty() && bus_)
    g_dbus_connection_call(bus_, kRemoteName, remote.c_str(), kRemoteSession, "Stop", nullptr, nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}

void Session::scheduleRebuild() {
  if (rebuildSource_ != 0 || stopping_) return;
  rebuildDelayMs_ = rebuildDelayMs_ == 0 ? kRebuildFirstMs : std::min(rebuildDelayMs_ * 2, kRebuildMaxMs);
  GSource* source = g_timeout_source_new(static_cast<guint>(rebuildDelayMs_));
  g_source_set_callback(source, &Session::rebuildThunk, this, nullptr);
  rebuildSource_ = g_source_attach(source, context_);
  g_source_unref(source);
}

int Session::rebuildThunk(void* self) {
  auto* s = static_cast<Session*>(self);
  s->rebuildSource_ = 0;
  if (!s->mutterPresent_ || s->stopping_) return G_SOURCE_REMOVE;
  std::string why;
  if (s->readMonitors(why) && s->build(why)) {
    s->rebuildDelayMs_ = 0;
    ++s->displaySerial_;
    logWrite(LogLevel::Info, "GNOME 远程桌面会话已重新建立");
  } else {
    if (s->rebuildDelayMs_ == kRebuildFirstMs) logWrite(LogLevel::Error, "GNOME 远程桌面会话无法重建：%s", why.c_str());
    s->scheduleRebuild();
  }
  return G_SOURCE_REMOVE;
}

void Session::signalThunk(GDBusConnection*, const char* sender, const char* path, const char* iface,
                          const char* signal, GVariant* params, void* self) {
  static_cast<Session*>(self)->onSignal(sender, path, iface, signal, params);
}

void Session::onSignal(const char*, const char* path, const char* iface, const char* signal, GVariant* params) {
  const std::string name = signal ? signal : "";
  const std::string interface = iface ? iface : "";
  const std::string object = path ? path : "";
  if (name == "NameOwnerChanged") {
    const gchar *owned = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(sss)"))) return;
    g_variant_get(params, "(&s&s&s)", &owned, &oldOwner, &newOwner);
    if (newOwner[0] == '\0') {
      mutterPresent_ = false;
      tearDown(false);
      logWrite(LogLevel::Error, "GNOME 远程桌面会话已中断：mutter 已退出，等它重新出现后自动重建");
    } else if (!mutterPresent_) {
      mutterPresent_ = true;
      rebuildDelayMs_ = 0;
      scheduleRebuild();
    }
    return;
  }
  if (name == "MonitorsChanged") {
    std::vector<GnomeMonitor> before;
    monitors(before);
    std::string why;
    if (!readMonitors(why)) {
      logWrite(LogLevel::Warn, "%s", why.c_str());
      return;
    }
    std::vector<GnomeMonitor> after;
    monitors(after);
    const bool same = std::equal(before.begin(), before.end(), after.begin(), after.end(),
                                 [](const GnomeMonitor& a, const GnomeMonitor& b) {
                                   return a.connector == b.connector && a.info.x == b.info.x && a.info.y == b.info.y &&
                                          a.info.width == b.info.width && a.info.height == b.info.height &&
                                          a.info.primary == b.info.primary;
                                 });
    if (same) return;
    // New streams for the new layout: a stream follows its monitor only
    // while that monitor exists.
    tearDown(true);
    ++displaySerial_;
    if (!build(why)) {
      logWrite(LogLevel::Warn, "%s", why.c_str());
      scheduleRebuild();
    }
    return;
  }
  if (name == "Closed") {
    bool ours = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ours = (interface == kRemoteSession && object == remotePath_) || (interface == kCastSession && object == castPath_);
    }
    if (!ours) return;
    logWrite(LogLevel::Warn, "GNOME 远程桌面会话被关闭（可能是在顶栏里停止了共享），正在重建");
    tearDown(true);
    scheduleRebuild();
    return;
  }
  if (name == "PipeWireStreamAdded" && g_variant_is_of_type(params, G_VARIANT_TYPE("(u)"))) {
    guint32 node = 0;
    g_variant_get(params, "(u)", &node);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (StreamInfo& s : streams_)
        if (s.path == object) s.node = node;
    }
    changed_.notify_all();
  }
}

void Session::monitors(std::vector<GnomeMonitor>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  out = monitors_;
}

std::uint64_t Session::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

bool Session::live() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !remotePath_.empty();
}

bool Session::streamPath(const std::string& connector, std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const StreamInfo& s : streams_) {
    if (s.connector == connector) {
      path = s.path;
      return true;
    }
  }
  return false;
}

bool Session::stream(const std::string& connector, int timeoutMs, StreamInfo& out, std::uint64_t& generation) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] {
    for (const StreamInfo& s : streams_) {
      if (s.connector == connector && s.node != 0) {
        out = s;
        generation = generation_;
        return true;
      }
    }
    return false;
  };
  // Without sessions (mutter gone, a rebuild pending) nothing is waited for:
  // the caller's thread is the echo thread.
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return ready() || remotePath_.empty(); }) &&
         !remotePath_.empty() && ready();
}

void Session::notifyInput(const char* method, GVariant* args) {
  g_variant_ref_sink(args);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bus_ && !remotePath_.empty())
      // No callback: sent flagged as wanting no reply, so nothing waits.
      g_dbus_connection_call(bus_, kRemoteName, remotePath_.c_str(), kRemoteSession, method, args, nullptr,
                             G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }
  g_variant_unref(args);
}

void Session::pointerMotion(const std::string& streamPath, double x, double y) {
  notifyInput("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", streamPath.c_str(), x, y));
}

void Session::pointerButton(std::int32_t evdevButton, bool down) {
  notifyInput("NotifyPointerButton", g_variant_new("(ib)", evdevButton, down ? TRUE : FALSE));
}

void Session::axisDiscrete(std::int32_t steps) {
  notifyInput("NotifyPointerAxisDiscrete", g_variant_new("(ui)", 0u, steps));  // 0: the vertical axis
}

void Session::keysym(std::uint32_t keysym, bool down) {
  notifyInput("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, down ? TRUE : FALSE));
}

}  // namespace vl::gnome
