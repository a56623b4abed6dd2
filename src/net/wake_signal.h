// A handle another thread can make readable, so a thread asleep in a socket
// wait (WaitSet, FrameServer::pollWithWait) hears of news that comes by no
// socket: a setting changed, stop. Linux: an eventfd. Windows: a loopback
// datagram socket that sends to itself, since WSAPoll takes only sockets.
#pragma once

#include <atomic>

#include "net/socket.h"

namespace vl::net {

class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // kInvalidSocket when it could not be made (the owner then needs a
  // bounded wait).
  SocketHandle handle() const { return handle_; }
  // Any thread: the handle reads ready until drained.
  void notify();
  // The waiting thread, before it decides how long to wait: a notice that
  // comes after this still ends the next wait.
  void drain();

 private:
  SocketHandle handle_ = kInvalidSocket;
  // Set after a notice is written: drain() reads only then, so a waiter
  // that woke for something else makes no system call here.
  std::atomic<bool> pending_{false};
};

}  // namespace vl::net
