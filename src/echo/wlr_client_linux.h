// The wlroots back end's own Wayland connection. One thread of its own
// reads the compositor's events and sends every request; other threads
// hand it jobs (and wait where they need an answer). It keeps the output
// layout (wl_output + xdg-output), the virtual pointer and keyboard
// (created once and kept: events sent right after creating a device can be
// lost), and the screencopy sessions of the frame sources.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "echo/capture.h"

struct wl_display;
struct wl_registry;
struct wl_output;
struct wl_shm;
struct wl_seat;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct zxdg_output_manager_v1;

namespace vl::wlr {

class Keyboard;
struct KeyMods;

// Globals of interest, found by one registry round trip.
struct Globals {
  std::uint32_t screencopyVersion = 0;
  bool virtualPointer = false;
  bool virtualKeyboard = false;
  bool outputLayout = false;
};

class Connection {
 public:
  // Connects to WAYLAND_DISPLAY, reads the outputs, creates the virtual
  // devices and starts the thread; nullptr with `why` when it cannot.
  static std::shared_ptr<Connection> open(std::string& why);
  // Only the registry, on a connection of its own; connected false when
  // no compositor answered.
  static Globals probe(bool& connected);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const Globals& globals() const { return globals_; }
  bool pointerReady() const { return pointer_ != nullptr; }
  bool keyboardReady() const { return keyboardDevice_ != nullptr; }

  // Outputs in the order the compositor announced them (layout pixels,
  // names from xdg-output). Any thread.
  void layout(std::vector<MonitorInfo>& outputs, DesktopMetrics& desktop) const;
  // Grows whenever an output comes, goes or changes, and when the
  // compositor is lost.
  std::uint64_t generation() const { return generation_.load(); }
  bool lost() const { return lost_.load(); }

  // Runs fn on the connection's thread (in order); dropped once lost.
  void post(std::function<void()> fn);

  // On the connection's thread only.
  ::wl_output* outputNamed(std::uint32_t globalName) const;
  std::uint32_t outputGlobal(const std::string& name) const;
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
  ::wl_shm* shm() const { return shm_; }
  ::wl_display* display() const { return display_; }
  void pointerMotion(std::uint32_t x, std::uint32_t y, std::uint32_t xExtent, std::uint32_t yExtent);
  void pointerButton(std::uint32_t button, bool down);
  void pointerWheel(int notches);
  // A key by keysym; with allowSpare a keysym the layout lacks is bound to
  // a spare keycode first. Shift is held around it when the layout needs.
  void keysymStroke(std::uint32_t keysym, bool allowSpare);
  void keysymEvent(std::uint32_t keysym, bool down);
  // Listener plumbing (connection's thread).
  struct Output;
  void publishLayout();
  void global(std::uint32_t name, const char* interface, std::uint32_t version);
  void globalRemoved(std::uint32_t name);

 private:
  Connection() = default;
  bool connect(std::string& why);
  void run();
  void fail(int error);
  void sendKey(std::uint32_t keycode, bool down);
  void sendKeymap();
  void watchOutput(Output& output);

  ::wl_display* display_ = nullptr;
  ::wl_registry* registry_ = nullptr;
  ::wl_shm* shm_ = nullptr;
  ::wl_seat* seat_ = nullptr;
  zwlr_screencopy_manager_v1* screencopy_ = nullptr;
  zwlr_virtual_pointer_manager_v1* pointerManager_ = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager_ = nullptr;
  zxdg_output_manager_v1* xdgOutputs_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  zwp_virtual_keyboard_v1* keyboardDevice_ = nullptr;
  std::unique_ptr<Keyboard> keyboard_;
  std::unique_ptr<KeyMods> mods_;
  std::vector<std::unique_ptr<Output>> outputs_;  // thread's own
  Globals globals_;

  mutable std::mutex mutex_;  // the published layout, the jobs
  std::vector<MonitorInfo> published_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<bool> lost_{false};
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;  // eventfd: jobs or stop
  std::thread thread_;
};

// Wakes whoever polls `fd` (an eventfd).
void signalEventFd(int fd);
// Empties an eventfd without blocking.
void drainEventFd(int fd);

}  // namespace vl::wlr
