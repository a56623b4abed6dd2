// The GNOME desktop on Wayland through mutter's own remote-desktop and
// screen-cast interfaces: no portal, so nobody has to approve a session on
// an unattended PC. Monitors and their changes come from DisplayConfig,
// pictures from the screen-cast streams, input goes to the remote-desktop
// session in stream coordinates.
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "echo/display_watch.h"
#include "echo/gnome_session_linux.h"
#include "echo/gnome_stream_linux.h"
#include "echo/input_injector.h"
#include "echo/wayland_backends.h"

namespace vl {
namespace {

// evdev button codes (linux/input-event-codes.h) for left, right, middle.
constexpr std::int32_t kEvdevButton[] = {0x110, 0x111, 0x112};
constexpr std::uint32_t kKeysymControlL = 0xFFE3;
// A huge "delta" must not flood the compositor.
constexpr int kMaxWheelSteps = 100;

class GnomeInjector final : public InputInjector {
 public:
  explicit GnomeInjector(std::shared_ptr<gnome::Session> session) : session_(std::move(session)) {}

  void moveTo(float u, float v, const MonitorInfo& rect) override {
    session_->monitors(monitors_);
    const gnome::StreamPoint p = gnome::streamPointFor(u, v, rect, monitors_);
    if (p.index < 0) return;
    std::string path;
    if (!session_->streamPath(monitors_[static_cast<std::size_t>(p.index)].connector, path)) return;
    session_->pointerMotion(path, p.x, p.y);
  }

  void mouseButton(int button, bool down) override {
    session_->pointerButton(kEvdevButton[normalizeButton(button)], down);
  }

  void wheel(int notches, bool ctrl) override {
    if (notches == 0) return;
    if (ctrl) session_->keysym(kKeysymControlL, true);
    // Positive notches turn away from the user: scrolling up, negative steps.
    session_->axisDiscrete(-std::clamp(notches, -kMaxWheelSteps, kMaxWheelSteps));
    if (ctrl) session_->keysym(kKeysymControlL, false);
  }

  void keyEvent(unsigned vk, bool down) override {
    const unsigned long sym = keysymForVirtualKey(vk);
    if (sym != 0) session_->keysym(static_cast<std::uint32_t>(sym), down);
  }

  void pressKey(unsigned vk) override {
    keyEvent(vk, true);
    keyEvent(vk, false);
  }

  void typeText(std::string_view utf8) override {
    walkTypedText(
        utf8, [this](unsigned vk) { pressKey(vk); },
        [this](char32_t cp) {
          // mutter finds the key (and the Shift level) for the keysym itself.
          const auto sym = static_cast<std::uint32_t>(keysymForCodePoint(cp));
          session_->keysym(sym, true);
          session_->keysym(sym, false);
        });
  }

 private:
  std::shared_ptr<gnome::Session> session_;
  std::vector<gnome::GnomeMonitor> monitors_;
};

class GnomeDisplayWatch final : public DisplayWatch {
 public:
  explicit GnomeDisplayWatch(std::shared_ptr<gnome::Session> session)
      : session_(std::move(session)), seen_(session_->displaySerial()) {}
  bool changed() override {
    const std::uint64_t now = session_->displaySerial();
    const bool any = now != seen_;
    seen_ = now;
    return any;
  }

 private:
  std::shared_ptr<gnome::Session> session_;
  std::uint64_t seen_;
};

class GnomeBackend final : public DesktopBackend {
 public:
  explicit GnomeBackend(std::shared_ptr<gnome::Session> session) : session_(std::move(session)) {}
  const char* name() const override { return "GNOME（mutter）"; }
  void gatherDesktop(std::vector<MonitorInfo>& monitors, DesktopMetrics& desktop) override {
    std::vector<gnome::GnomeMonitor> list;
    session_->monitors(list);
    monitors.clear();
    for (const gnome::GnomeMonitor& m : list) monitors.push_back(m.info);
    desktop = gnome::metricsFor(list);
  }
  std::unique_ptr<FrameSource> createFrameSource() override { return gnome::createStreamFrameSource(session_); }
  std::unique_ptr<InputInjector> createInjector() override { return std::make_unique<GnomeInjector>(session_); }
  std::unique_ptr<DisplayWatch> createDisplayWatch() override {
    return std::make_unique<GnomeDisplayWatch>(session_);
  }

 private:
  std::shared_ptr<gnome::Session> session_;
};

}  // namespace

bool gnomeRemoteDesktopOnBus() {
  const std::string address = gnome::sessionBusAddress();
  if (address.empty()) return false;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus == nullptr) return false;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.gnome.Mutter.RemoteDesktop"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000,
      nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return owned != FALSE;
}

std::shared_ptr<DesktopBackend> openGnomeBackend(std::string& why) {
  std::shared_ptr<gnome::Session> session = gnome::Session::open(why);
  if (!session) return nullptr;
  return std::make_shared<GnomeBackend>(std::move(session));
}

}  // namespace vl
