#include "echo_bench_common.h"

#include <sys/resource.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <thread>

#include "log/helpers.h"
#include "net/frame.h"

// Last: Xlib defines macros such as None and Success.
#include <X11/Xlib.h>

namespace vl::bench {

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double residentMiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

std::uint64_t monotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

bool connectAndSubscribe(net::TcpClient& client, std::uint16_t port, int fps, const char* name) {
  if (!client.startConnect("127.0.0.1", port)) return false;
  for (int waited = 0; client.pollConnect(waited, 3000) == 0; waited += 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::vector<std::uint8_t> out;
  const std::string sub = formatString(R"({"client":"%s","fps":%d,"t":"sub"})", name, fps);
  net::appendFrame(out, net::FrameKind::Text, sub.data(), sub.size());
  return client.sendAll(out.data(), out.size()) >= 0;
}

int latencyProbe(std::uint16_t port, int changes, int fps) {
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return 1;
  const Window root = DefaultRootWindow(dpy);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  std::atomic<int> shown{0};  // 0 black, 1 white
  std::atomic<std::uint64_t> changedUs{0};
  std::atomic<bool> stop{false}, seen{true};
  auto paint = [&](int colour) {
    XSetForeground(dpy, gc, colour ? 0xFFFFFFul : 0ul);
    changedUs = monotonicUs();
    XFillRectangle(dpy, root, gc, 0, 0, kLatencyBlock, kLatencyBlock);
    XSync(dpy, False);
    shown = colour;
  };
  paint(0);
  net::TcpClient client;
  if (!connectAndSubscribe(client, port, fps, "latency")) return 1;
  std::vector<double> ms;
  std::thread toggler([&] {
    std::mt19937 rng(11);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    for (int i = 0; i < changes && !stop; ++i) {
      // A still period of random length, so the change falls anywhere
      // against the schedule; the last change must have arrived first.
      std::this_thread::sleep_for(std::chrono::milliseconds(150 + rng() % 200));
      for (int w = 0; !seen && w < 2000 && !stop; ++w) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      // Armed only once the new colour is on the screen and its time set: a
      // frame of the old colour decoded meanwhile must not count.
      paint(1 - shown);
      seen = false;
    }
    stop = true;
  });
  tjhandle tj = tjInitDecompress();
  net::FrameDecoder decoder;
  std::vector<std::uint8_t> buffer(1 << 20), tiny(200 * 113 * 3);
  const std::uint64_t deadline = monotonicMs() + static_cast<std::uint64_t>(changes) * 3000 + 5000;
  while (!stop && monotonicMs() < deadline) {
    const int n = client.receive(buffer.data(), static_cast<int>(buffer.size()), 5);
    if (n <= 0) continue;
    const std::uint64_t arrived = monotonicUs();
    decoder.append(buffer.data(), static_cast<std::size_t>(n));
    net::FrameView f;
    while (decoder.next(f) == net::DecodeStatus::Frame) {
      if (f.kind != net::FrameKind::Binary) continue;
      // An eighth of the size is enough to read the block's colour.
      if (tjDecompress2(tj, f.payload, static_cast<unsigned long>(f.length), tiny.data(), 200, 0, 113, TJPF_RGB,
                        TJFLAG_FASTDCT) != 0)
        continue;
      const int colour = tiny[(4 * 200 + 4) * 3] > 128 ? 1 : 0;
      if (!seen && colour == shown) {
        ms.push_back(static_cast<double>(arrived - changedUs) / 1000.0);
        seen = true;
      }
    }
    decoder.discardDelivered();
  }
  stop = true;
  toggler.join();
  tjDestroy(tj);
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
  if (ms.empty()) return 1;
  std::sort(ms.begin(), ms.end());
  std::printf("%zu %.1f %.1f %.1f\n", ms.size(), ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)],
              ms.back());
  return 0;
}

std::uint16_t startOnFreePort(EchoService& service) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto p = static_cast<std::uint16_t>(30000 + random64() % 20000);
    if (service.start(p)) return p;
  }
  return 0;
}

bool firstLine(const std::string& command, char* line, int size) {
  FILE* child = popen(command.c_str(), "r");
  const bool ok = child != nullptr && std::fgets(line, size, child) != nullptr;
  if (child != nullptr) pclose(child);
  return ok;
}

std::vector<double> numbers(const char* text) {
  std::vector<double> out;
  for (char* cursor = const_cast<char*>(text);;) {
    char* next = nullptr;
    const double v = std::strtod(cursor, &next);
    if (next == cursor) break;
    out.push_back(v);
    cursor = next;
  }
  return out;
}

}  // namespace vl::bench
