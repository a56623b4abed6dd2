// Linux side of the system operations: power through systemctl (logind
// decides who may), audio through the PulseAudio server's default sink
// (PipeWire's pulse server answers the same). Every PulseAudio exchange runs
// on the caller's thread with a deadline, so a missing or stuck server
// costs at most one time-out per call.
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>

#include "log/helpers.h"
#include "log/log.h"
#include "sysctl/system_platform.h"

extern char** environ;

namespace vl {
namespace {

// ---------------------------------------------------------------- PulseAudio

class PulseConnection {
 public:
  explicit PulseConnection(int timeoutMs) : timeoutMs_(timeoutMs) {
    loop_ = pa_mainloop_new();
    if (loop_) context_ = pa_context_new(pa_mainloop_get_api(loop_), "Velmora Agent");
  }
  ~PulseConnection() {
    if (context_) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_) pa_mainloop_free(loop_);
  }
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  bool valid() const { return context_ != nullptr; }

  // Connects without starting a server of our own.
  HResult connect(const std::string& server) {
    if (!context_) return kHrOutOfMemory;
    if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      logWrite(LogLevel::Trace, "PulseAudio 连接失败：%s", pa_strerror(pa_context_errno(context_)));
      broken_ = true;
      return kHrNotFound;
    }
    const HResult hr = runUntil([this] {
      const pa_context_state_t s = pa_context_get_state(context_);
      return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!hrSucceeded(hr)) return hr;
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      logWrite(LogLevel::Trace, "PulseAudio 连接失败：%s", pa_strerror(pa_context_errno(context_)));
      broken_ = true;
      return kHrNotFound;
    }
    return kHrOk;
  }

  // Runs one request until its operation ends; `start` issues it.
  HResult request(const std::function<pa_operation*(pa_context*)>& start) {
    if (broken_ || !context_ || pa_context_get_state(context_) != PA_CONTEXT_READY) return kHrFail;
    pa_operation* op = start(context_);
    if (!op) return kHrFail;
    const HResult hr = runUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    if (!hrSucceeded(hr)) pa_operation_cancel(op);
    pa_operation_unref(op);
    if (hrSucceeded(hr) && pa_context_get_state(context_) != PA_CONTEXT_READY) {
      broken_ = true;
      return kHrFail;
    }
    return hr;
  }

 private:
  // Iterates the loop until `done` or the deadline; a time-out marks the
  // connection broken so the remaining calls of this scope fail at once.
  HResult runUntil(const std::function<bool()>& done) {
    const std::uint64_t deadline = monotonicMs() + static_cast<std::uint64_t>(timeoutMs_);
    while (!done()) {
      const std::uint64_t now = monotonicMs();
      if (now >= deadline) {
        broken_ = true;
        logWrite(LogLevel::Trace, "PulseAudio 请求超时（%d ms）", timeoutMs_);
        return kHrTimeout;
      }
      if (pa_mainloop_prepare(loop_, static_cast<int>((deadline - now) * 1000)) < 0 ||
          pa_mainloop_poll(loop_) < 0 || pa_mainloop_dispatch(loop_) < 0) {
        broken_ = true;
        return kHrFail;
      }
    }
    return kHrOk;
  }

  int timeoutMs_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool broken_ = false;
};

struct SinkReading {
  bool found = false;
  std::uint32_t index = PA_INVALID_INDEX;
  std::uint8_t channels = 0;
  double level = 0.0;  // average of the channels, 1.0 = PA_VOLUME_NORM
  bool muted = false;
};

void storeSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  auto* r = static_cast<SinkReading*>(userdata);
  r->found = true;
  r->index = info->index;
  r->channels = info->volume.channels;
  double sum = 0.0;
  for (unsigned i = 0; i < info->volume.channels; ++i) sum += info->volume.values[i];
  r->level = info->volume.channels ? sum / info->volume.channels / PA_VOLUME_NORM : 0.0;
  r->muted = info->mute != 0;
}

void storeSuccess(pa_context*, int success, void* userdata) {
  *static_cast<int*>(userdata) = success;
}

class PulseEndpointVolume final : public EndpointVolume {
 public:
  PulseEndpointVolume(std::shared_ptr<PulseConnection> connection, std::uint32_t index,
                      std::uint8_t channels)
      : connection_(std::move(connection)), index_(index), channels_(channels) {}

  HResult getMasterVolumeLevelScalar(float& level) override {
    SinkReading r;
    const HResult hr = read(r);
    if (hrSucceeded(hr)) level = static_cast<float>(r.level);
    return hr;
  }

  HResult setMasterVolumeLevelScalar(float level) override {
    if (!(level >= 0.0f) || level > 1.0f) return static_cast<HResult>(0x80070057u);  // E_INVALIDARG
    pa_cvolume volume;
    const auto value = static_cast<pa_volume_t>(std::lround(static_cast<double>(level) * PA_VOLUME_NORM));
    pa_cvolume_set(&volume, channels_, value);
    int success = 0;
    const HResult hr = connection_->request([&](pa_context* c) {
      return pa_context_set_sink_volume_by_index(c, index_, &volume, storeSuccess, &success);
    });
    return hrSucceeded(hr) && !success ? kHrFail : hr;
  }

  HResult getMute(bool& muted) override {
    SinkReading r;
    const HResult hr = read(r);
    if (hrSucceeded(hr)) muted = r.muted;
    return hr;
  }

  HResult setMute(bool muted) override {
    int success = 0;
    const HResult hr = connection_->request([&](pa_context* c) {
      return pa_context_set_sink_mute_by_index(c, index_, muted ? 1 : 0, storeSuccess, &success);
    });
    return hrSucceeded(hr) && !success ? kHrFail : hr;
  }

 private:
  HResult read(SinkReading& r) {
    const HResult hr = connection_->request(
        [&](pa_context* c) { return pa_context_get_sink_info_by_index(c, index_, storeSink, &r); });
    if (!hrSucceeded(hr)) return hr;
    return r.found ? kHrOk : kHrNotFound;
  }

  std::shared_ptr<PulseConnection> connection_;
  std::uint32_t index_;
  std::uint8_t channels_;
};

class PulseDevice final : public AudioDevice {
 public:
  PulseDevice(std::shared_ptr<PulseConnection> connection, const SinkReading& sink)
      : connection_(std::move(connection)), sink_(sink) {}

  HResult activateEndpointVolume(std::unique_ptr<EndpointVolume>& out) override {
    if (sink_.channels == 0) return kHrNotFound;
    out = std::make_unique<PulseEndpointVolume>(connection_, sink_.index, sink_.channels);
    return kHrOk;
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  SinkReading sink_;
};

void storeDefaultSinkName(pa_context*, const pa_server_info* info, void* userdata) {
  if (info && info->default_sink_name) *static_cast<std::string*>(userdata) = info->default_sink_name;
}

class PulseEnumerator final : public AudioDeviceEnumerator {
 public:
  PulseEnumerator(std::shared_ptr<PulseConnection> connection, std::string server)
      : connection_(std::move(connection)), server_(std::move(server)) {}

  HResult getDefaultRenderDevice(std::unique_ptr<AudioDevice>& out) override {
    HResult hr = connection_->connect(server_);
    if (!hrSucceeded(hr)) return hr;
    std::string name;
    hr = connection_->request(
        [&](pa_context* c) { return pa_context_get_server_info(c, storeDefaultSinkName, &name); });
    if (!hrSucceeded(hr)) return hr;
    if (name.empty()) return kHrNotFound;
    SinkReading sink;
    hr = connection_->request([&](pa_context* c) {
      return pa_context_get_sink_info_by_name(c, name.c_str(), storeSink, &sink);
    });
    if (!hrSucceeded(hr)) return hr;
    if (!sink.found) return kHrNotFound;
    out = std::make_unique<PulseDevice>(connection_, sink);
    return kHrOk;
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  std::string server_;
};

// ---------------------------------------------------------------- power

class LinuxToken final : public ProcessToken {
 public:
  // Whether this user may power off is logind's decision at request time.
  bool enablePrivilege(std::uint64_t, std::uint32_t& lastError) override {
    lastError = 0;
    return true;
  }
};

// Starts argv without waiting for it: 0 with its pid, or the errno value of
// a spawn that failed (a missing program included).
std::uint32_t spawnCommand(const std::vector<std::string>& args, pid_t& pid) {
  if (args.empty()) return ENOENT;
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return static_cast<std::uint32_t>(posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ));
}

// Exit status, or 128 + signal when killed.
std::uint32_t exitCode(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return ECHILD;
}

class LinuxSystemPlatform final : public SystemPlatform {
 public:
  explicit LinuxSystemPlatform(LinuxPlatformOptions options) : options_(std::move(options)) {}

  bool openProcessToken(std::unique_ptr<ProcessToken>& token, std::uint32_t&) override {
    token = std::make_unique<LinuxToken>();
    return true;
  }

  bool lookupShutdownPrivilege(std::uint64_t& luid, std::uint32_t&) override {
    luid = 0;
    return true;
  }

  // systemctl can take seconds to answer, and the caller is the UI thread:
  // the command is only started here and reaped by takeLatePowerFailure.
  bool requestPowerOff(bool reboot, std::uint32_t& error) override {
    std::vector<std::string> args = options_.powerCommand;
    args.push_back(reboot ? "reboot" : "poweroff");
    PowerChild child;
    child.reboot = reboot;
    error = spawnCommand(args, child.pid);
    if (error != 0) return false;
    child.deadlineMs = monotonicMs() + static_cast<std::uint64_t>(options_.powerCommandTimeoutMs);
    children_.push_back(child);
    return true;
  }

  bool powerRequestsOutstanding() const override { return !children_.empty(); }

  bool takeLatePowerFailure(bool& reboot, std::uint32_t& error) override {
    for (auto it = children_.begin(); it != children_.end();) {
      int status = 0;
      const pid_t r = waitpid(it->pid, &status, WNOHANG);
      if (r == 0) {
        // Killed once; reaped by a later call, never waited for here.
        if (!it->killed && monotonicMs() >= it->deadlineMs) {
          kill(it->pid, SIGKILL);
          it->killed = true;
        }
        ++it;
        continue;
      }
      if (r < 0 && errno == EINTR) {
        ++it;
        continue;
      }
      // ECHILD: reaped elsewhere, its outcome unknown; nothing to report.
      const std::uint32_t code = r < 0 ? 0u : it->killed && WIFSIGNALED(status) ? ETIMEDOUT : exitCode(status);
      const bool wasReboot = it->reboot;
      it = children_.erase(it);
      if (code != 0) {
        reboot = wasReboot;
        error = code;
        return true;
      }
    }
    return false;
  }

  // No apartments here; the scope still balances the calls.
  HResult comInitialize() override { return kHrOk; }
  void comUninitialize() override {}

  HResult createDeviceEnumerator(std::unique_ptr<AudioDeviceEnumerator>& out) override {
    auto connection = std::make_shared<PulseConnection>(options_.pulseTimeoutMs);
    if (!connection->valid()) return kHrOutOfMemory;
    out = std::make_unique<PulseEnumerator>(std::move(connection), options_.pulseServer);
    return kHrOk;
  }

 private:
  struct PowerChild {
    pid_t pid = 0;
    bool reboot = false;
    std::uint64_t deadlineMs = 0;
    bool killed = false;
  };

  LinuxPlatformOptions options_;
  // Power commands started and not yet reaped. One still running when the
  // agent stops is left to finish: the request stands.
  std::vector<PowerChild> children_;
};

}  // namespace

std::unique_ptr<SystemPlatform> makeLinuxSystemPlatform(const LinuxPlatformOptions& options) {
  return std::make_unique<LinuxSystemPlatform>(options);
}

SystemPlatform& defaultSystemPlatform() {
  static LinuxSystemPlatform platform{LinuxPlatformOptions{}};
  return platform;
}

}  // namespace vl
