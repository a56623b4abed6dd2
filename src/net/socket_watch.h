// Watches the sockets of a WaitSet from a thread of its own, for a thread
// that has to sleep in another kind of wait: on Windows a window message
// wait, which Winsock sockets cannot join without an event selection on
// each of them. The owner starts a watch before it sleeps and ends it when
// it wakes, for whatever reason; between those two calls the owner must
// not close or use the watched sockets.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/wait_set.h"
#include "net/wake_signal.h"

namespace vl::net {

class SocketWatch {
 public:
  // `onReady` runs on the watch thread when a watched socket is ready (at
  // most once per watch); it must be quick and thread-safe (SetEvent).
  explicit SocketWatch(std::function<void()> onReady);
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  // Watches the sockets of `waits` (its timer is the owner's business).
  // false when there is no thread or no way to interrupt it: the owner then
  // bounds its own wait.
  bool begin(const WaitSet& waits);
  // Stops watching; returns once the thread has let go of the sockets. Was
  // one of them ready?
  bool end();

 private:
  void run();

  std::function<void()> onReady_;
  WakeSignal cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<WaitSet::Entry> entries_;
  bool job_ = false;    // a watch was asked for and not yet taken
  bool busy_ = false;   // begin() to the thread letting go
  bool ready_ = false;  // the last watch ended with a ready socket
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace vl::net
