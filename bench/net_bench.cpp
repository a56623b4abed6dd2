// Frame server on loopback: throughput of 300 KB binary frames to 1 and 8
// clients, and the CPU cost of one poll pass over 100 idle clients.
// Linux: a Google Benchmark program. Windows: a plain program that prints
// the same figures.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "log/helpers.h"
#include "log/log.h"
#include "net/client.h"
#include "net/frame_server.h"

#if defined(VL_HAVE_GBENCH)
#include <benchmark/benchmark.h>
#endif

using namespace vl;
using namespace vl::net;

namespace {

constexpr std::size_t kFrameBytes = 300 * 1024;

// A server with `count` connected loopback clients and a thread that drains
// them as fast as it can.
class Rig {
 public:
  explicit Rig(int count) {
    logSetStderrEnabled(false);
    server_.listen(0, "127.0.0.1");
    const std::uint16_t port = server_.localPort();
    for (int i = 0; i < count; ++i) {
      clients_.push_back(std::make_unique<TcpClient>());
      TcpClient& c = *clients_.back();
      c.startConnect("127.0.0.1", port);
      const std::uint64_t start = monotonicMs();
      while (c.pollConnect(static_cast<int>(monotonicMs() - start), 5000) == 0) {
      }
    }
    const FrameServer::ConnectHandler onConnect = [this](ClientId id) { ids_.push_back(id); };
    while (ids_.size() < clients_.size()) server_.poll(onConnect, nullptr, nullptr);
  }
  ~Rig() {
    stopReader();
    server_.closeAll();
    logSetStderrEnabled(true);
  }

  void startReader() {
    reader_ = std::thread([this] {
      std::vector<std::uint8_t> buffer(256 * 1024);
      while (!stop_) {
        bool any = false;
        for (auto& c : clients_) {
          int n;
          while ((n = c->receive(buffer.data(), static_cast<int>(buffer.size()), 0)) > 0) {
            received_ += static_cast<std::uint64_t>(n);
            any = true;
          }
        }
        if (!any) {
          const int n = clients_.front()->receive(buffer.data(), static_cast<int>(buffer.size()), 1);
          if (n > 0) received_ += static_cast<std::uint64_t>(n);
        }
      }
    });
  }
  void stopReader() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
  }

  // Queues one frame to every client whose queue is short, polls until
  // each has at most one frame waiting. Returns the bytes queued.
  std::uint64_t sendRound(const std::vector<std::uint8_t>& frame) {
    std::uint64_t queued = 0;
    for (ClientId id : ids_) {
      server_.sendBinary(id, frame.data(), frame.size());
      queued += frame.size();
    }
    for (;;) {
      bool waiting = false;
      for (ClientId id : ids_) waiting = waiting || server_.pendingBytes(id) > frame.size();
      if (!waiting) return queued;
      server_.poll(nullptr, nullptr, nullptr);
    }
  }

  void pollOnce() { server_.poll(nullptr, nullptr, nullptr); }
  std::uint64_t received() const { return received_; }

 private:
  FrameServer server_;
  std::vector<std::unique_ptr<TcpClient>> clients_;
  std::vector<ClientId> ids_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
};

}  // namespace

#if defined(VL_HAVE_GBENCH)

static void BM_FramesToClients(benchmark::State& state) {
  Rig rig(static_cast<int>(state.range(0)));
  rig.startReader();
  const std::vector<std::uint8_t> frame(kFrameBytes, 0xAB);
  std::uint64_t bytes = 0;
  for (auto _ : state) bytes += rig.sendRound(frame);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["clients"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_FramesToClients)->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

static void BM_PollPassIdleClients(benchmark::State& state) {
  Rig rig(static_cast<int>(state.range(0)));
  for (auto _ : state) rig.pollOnce();
}
BENCHMARK(BM_PollPassIdleClients)->Arg(100)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

#else

#include <windows.h>

static double threadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  const auto value = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(value(kernel) + value(user)) / 1e7;
}

int main() {
  using Clock = std::chrono::steady_clock;
  const std::vector<std::uint8_t> frame(kFrameBytes, 0xAB);
  for (int clients : {1, 8}) {
    Rig rig(clients);
    rig.startReader();
    for (int i = 0; i < 20; ++i) rig.sendRound(frame);  // warm up
    std::uint64_t bytes = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(3)) bytes += rig.sendRound(frame);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("frames of 300 KB to %d client(s): %.1f MB/s\n", clients, bytes / seconds / 1e6);
  }
  {
    Rig rig(100);
    const int passes = 2000;
    const double cpuStart = threadCpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < passes; ++i) rig.pollOnce();
    const double cpu = threadCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("poll pass, 100 idle clients: %.1f us CPU, %.1f us wall per pass\n", cpu / passes * 1e6,
                wall / passes * 1e6);
  }
  return 0;
}

#endif
