#include "net/socket_watch.h"

#include "net/socket_sys.h"

namespace vl::net {

SocketWatch::SocketWatch(std::function<void()> onReady) : onReady_(std::move(onReady)) {
  if (cancel_.handle() != kInvalidSocket) thread_ = std::thread([this] { run(); });
}

SocketWatch::~SocketWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  cancel_.notify();
  if (thread_.joinable()) thread_.join();
}

bool SocketWatch::begin(const WaitSet& waits) {
  if (!thread_.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_ = waits.entries();
    job_ = true;
    busy_ = true;
    ready_ = false;
  }
  changed_.notify_all();
  return true;
}

bool SocketWatch::end() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (busy_) {
    cancel_.notify();
    changed_.wait(lock, [this] { return !busy_; });
  }
  // The notice may have come after the poll ended for a socket.
  cancel_.drain();
  const bool ready = ready_;
  ready_ = false;
  return ready;
}

void SocketWatch::run() {
  std::vector<sys::PollFd> fds;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return job_ || quit_; });
      if (quit_) return;
      job_ = false;
      fds.clear();
      for (const WaitSet::Entry& e : entries_) {
        fds.emplace_back();
        sys::setPollFd(fds.back(), e.handle,
                       e.write ? static_cast<short>(sys::kPollRead | sys::kPollWrite) : sys::kPollRead);
      }
    }
    fds.emplace_back();
    sys::setPollFd(fds.back(), cancel_.handle(), sys::kPollRead);
    // Until a socket or the cancel notice is ready; a failed poll ends the
    // watch as if a socket were ready, so the owner looks for itself.
    const int rc = sys::pollSockets(fds.data(), fds.size(), -1);
    bool ready = rc < 0;
    for (std::size_t i = 0; i + 1 < fds.size(); ++i) ready = ready || fds[i].revents != 0;
    {
      // Under the lock: once end() returns, no late signal can reach the
      // owner's next wait.
      std::lock_guard<std::mutex> lock(mutex_);
      ready_ = ready;
      if (ready && onReady_) onReady_();
      busy_ = false;
    }
    changed_.notify_all();
  }
}

}  // namespace vl::net
