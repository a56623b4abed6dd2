#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "net/wake_signal.h"

namespace vl::net {

WakeSignal::WakeSignal() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd >= 0) handle_ = static_cast<SocketHandle>(fd);
}

WakeSignal::~WakeSignal() {
  if (handle_ != kInvalidSocket) ::close(static_cast<int>(handle_));
}

void WakeSignal::notify() {
  if (handle_ == kInvalidSocket) return;
  const std::uint64_t one = 1;
  // A full counter (never in practice) is still readable: nothing is lost.
  [[maybe_unused]] const ssize_t n = ::write(static_cast<int>(handle_), &one, sizeof one);
  pending_.store(true);
}

void WakeSignal::drain() {
  // The flag follows the write, so a notice is either still flagged or
  // already read: nothing is left readable unflagged for long.
  if (handle_ == kInvalidSocket || !pending_.exchange(false)) return;
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(static_cast<int>(handle_), &count, sizeof count);
}

}  // namespace vl::net
