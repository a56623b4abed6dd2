// mutter's remote-desktop and screen-cast sessions, kept for as long as the
// agent runs. GDBus rather than sd-bus: mutter's calls take a{sv} option
// maps and GetCurrentState answers one deeply nested variant, which
// GVariant builds and walks directly; and GLib, like PipeWire, is on every
// GNOME desktop already.
//
// Everything D-Bus happens on the session's own thread, over a GMainContext
// of its own and a private bus connection (whose lifetime is the sessions'
// lifetime). Other threads read snapshots under a mutex and send input as
// calls without a reply, so they never wait for mutter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "echo/gnome_frames_linux.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GVariant GVariant;

namespace vl::gnome {

// The D-Bus address of the session bus without autolaunching one: the
// variable, or $XDG_RUNTIME_DIR/bus when that socket exists; empty when
// there is none.
std::string sessionBusAddress();

// One monitor's stream: its object path (input is addressed to it) and its
// PipeWire node (0 until mutter announced it).
struct StreamInfo {
  std::string connector;
  std::string path;
  std::uint32_t node = 0;
};

class Session {
 public:
  // Starts the thread, reads the monitors, creates and starts the sessions;
  // nullptr with `why` (a sentence for the log) when mutter refuses.
  static std::shared_ptr<Session> open(std::string& why);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void monitors(std::vector<GnomeMonitor>& out) const;
  // Counts monitor changes (and mutter coming back); never decreases.
  std::uint64_t displaySerial() const { return displaySerial_.load(); }
  // Counts session rebuilds: a stream taken under another value is gone.
  std::uint64_t generation() const;
  // The stream of that connector once its node is known, waiting at most
  // timeoutMs; false when there is none (yet). `generation` receives the
  // value it belongs to.
  bool stream(const std::string& connector, int timeoutMs, StreamInfo& out, std::uint64_t& generation);
  // The object path of that connector's stream (input needs no node);
  // false when there is none.
  bool streamPath(const std::string& connector, std::string& path) const;
  // Whether there are sessions to send input to.
  bool live() const;

  // Input, from any thread; sent without waiting for an answer.
  void pointerMotion(const std::string& streamPath, double x, double y);
  void pointerButton(std::int32_t evdevButton, bool down);
  void axisDiscrete(std::int32_t steps);
  void keysym(std::uint32_t keysym, bool down);

 private:
  Session() = default;
  void run();
  bool connectBus(std::string& why);
  bool readMonitors(std::string& why);
  bool build(std::string& why);
  void tearDown(bool tellMutter);
  void scheduleRebuild();
  void onSignal(const char* sender, const char* path, const char* iface, const char* signal, GVariant* params);
  void notifyInput(const char* method, GVariant* args);

  static void signalThunk(GDBusConnection*, const char* sender, const char* path, const char* iface,
                          const char* signal, GVariant* params, void* self);
  static int rebuildThunk(void* self);

  std::thread thread_;
  GMainContext* context_ = nullptr;
  GDBusConnection* bus_ = nullptr;  // owned by the thread; read by input calls under mutex_
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> displaySerial_{0};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;  // the first attempt ended
  std::string startError_;
  std::vector<GnomeMonitor> monitors_;
  std::string remotePath_;  // the remote-desktop session; empty: none
  std::string castPath_;
  std::vector<StreamInfo> streams_;
  std::uint64_t generation_ = 0;

  // Thread only.
  bool mutterPresent_ = true;
  unsigned rebuildSource_ = 0;
  std::uint64_t rebuildDelayMs_ = 0;
  std::vector<unsigned> subscriptions_;
};

}  // namespace vl::gnome
