#include "net/wake_signal.h"
#include "net/socket_sys.h"

namespace vl::net {

WakeSignal::WakeSignal() {
  ensureWinsock();
  const SocketHandle s = sys::openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == kInvalidSocket) return;
  int error = 0;
  sockaddr_in self{};
  sys::AddrLen length = sizeof self;
  // Bound to loopback and connected to itself: nothing from elsewhere can
  // reach it, and a send needs no address.
  if (sys::bindIPv4(s, "127.0.0.1", 0, error) && sys::setNonBlocking(s, true) &&
      ::getsockname(sys::toNative(s), reinterpret_cast<sockaddr*>(&self), &length) == 0 &&
      ::connect(sys::toNative(s), reinterpret_cast<const sockaddr*>(&self), length) == 0) {
    handle_ = s;
    return;
  }
  sys::closeSocket(s);
}

WakeSignal::~WakeSignal() {
  if (handle_ != kInvalidSocket) sys::closeSocket(handle_);
}

void WakeSignal::notify() {
  if (handle_ == kInvalidSocket) return;
  const char byte = 1;
  // A full buffer already holds a notice: nothing is lost.
  sys::sendSome(handle_, &byte, 1);
  pending_.store(true);
}

void WakeSignal::drain() {
  // The flag follows the write, so a notice is either still flagged or
  // already read: nothing is left readable unflagged for long.
  if (handle_ == kInvalidSocket || !pending_.exchange(false)) return;
  char buffer[64];
  while (sys::recvSome(handle_, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace vl::net
