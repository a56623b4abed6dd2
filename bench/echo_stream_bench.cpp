// Streaming benchmark: the echo service with the real screen, 1920x1080 ->
// 1600x900, quality 62, 60 fps, serving 1, 4 and 16 loopback viewers while
// another process animates the screen. Reports frames per second per viewer,
// the service process's CPU seconds per frame, and its resident memory.
//
// Run through echo_stream_bench.sh, which provides a private X server.
// Modes (the benchmark starts the helper processes itself):
//   echo_stream_bench [--seconds S] [--memory-seconds M] [--viewers 1,4,16]
//   echo_stream_bench animate
//   echo_stream_bench viewers PORT COUNT SECONDS
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "echo/echo_service.h"
#include "echo/frame_hash.h"
#include "echo/jpeg.h"
#include "echo/scale.h"
#include "log/helpers.h"
#include "net/client.h"
#include "net/frame.h"
#include "pipeline_scene.h"
#include "pipeline_test_images.h"

// Last: Xlib defines macros such as None and Success.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace vl;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double residentMiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// --- animate: a desktop picture with a "window" sliding over it ------------

std::atomic<bool> gStop{false};

int animate() {
  std::signal(SIGTERM, [](int) { gStop = true; });
  const PixelFrame desktop = test::desktopFrame(1920, 1080);
  if (!bench::showPicture(desktop)) return 1;
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return 1;
  const int screen = DefaultScreen(dpy);
  const Window root = RootWindow(dpy, screen);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  constexpr int kW = 480, kH = 320;
  std::vector<std::uint8_t> bg(static_cast<std::size_t>(1920) * 1080 * 4);
  for (std::size_t i = 0; i < bg.size(); i += 4) {
    bg[i] = desktop.pixels[i + 2];
    bg[i + 1] = desktop.pixels[i + 1];
    bg[i + 2] = desktop.pixels[i];
  }
  XImage* background = XCreateImage(dpy, DefaultVisual(dpy, screen), 24, ZPixmap, 0,
                                    reinterpret_cast<char*>(bg.data()), 1920, 1080, 32, 1920 * 4);
  std::vector<std::uint8_t> patch(static_cast<std::size_t>(kW) * kH * 4);
  XImage* window = XCreateImage(dpy, DefaultVisual(dpy, screen), 24, ZPixmap, 0,
                                reinterpret_cast<char*>(patch.data()), kW, kH, 32, kW * 4);
  int x = 0, y = 100, dx = 7, dy = 3;
  for (unsigned tick = 0; !gStop; ++tick) {
    // The patch changes too, so every frame differs inside the window.
    for (int j = 0; j < kH; ++j)
      for (int i = 0; i < kW; ++i) {
        std::uint8_t* p = &patch[(static_cast<std::size_t>(j) * kW + i) * 4];
        p[0] = static_cast<std::uint8_t>(i * 2 + tick * 5);
        p[1] = static_cast<std::uint8_t>(j * 3 + tick);
        p[2] = static_cast<std::uint8_t>((i ^ j) + tick * 3);
      }
    XPutImage(dpy, root, gc, background, x, y, x, y, kW, kH);
    x += dx;
    y += dy;
    if (x < 0 || x + kW > 1920) dx = -dx, x += 2 * dx;
    if (y < 0 || y + kH > 1080) dy = -dy, y += 2 * dy;
    XPutImage(dpy, root, gc, window, 0, 0, x, y, kW, kH);
    XSync(dpy, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(8));
  }
  background->data = nullptr;
  window->data = nullptr;
  XDestroyImage(background);
  XDestroyImage(window);
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
  return 0;
}

// --- viewers: COUNT subscribers, frames counted per connection -------------

int viewers(std::uint16_t port, int count, double seconds) {
  struct Viewer {
    net::TcpClient client;
    net::FrameDecoder decoder;
    long frames = 0;
  };
  std::vector<Viewer> all(static_cast<std::size_t>(count));
  std::vector<std::uint8_t> buffer(1 << 20);
  for (Viewer& v : all) {
    if (!v.client.startConnect("127.0.0.1", port)) return 1;
    for (int waited = 0; v.client.pollConnect(waited, 3000) == 0; waited += 2)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::vector<std::uint8_t> frame;
    // Without "fps" a viewer keeps its own limit of 25.
    const std::string sub = R"({"client":"bench","fps":60,"t":"sub"})";
    net::appendFrame(frame, net::FrameKind::Text, sub.data(), sub.size());
    if (v.client.sendAll(frame.data(), frame.size()) < 0) return 1;
  }
  const std::uint64_t start = monotonicMs();
  const auto end = start + static_cast<std::uint64_t>(seconds * 1000);
  while (monotonicMs() < end) {
    bool any = false;
    for (Viewer& v : all) {
      const int n = v.client.receive(buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n <= 0) continue;
      any = true;
      v.decoder.append(buffer.data(), static_cast<std::size_t>(n));
      net::FrameView f;
      while (v.decoder.next(f) == net::DecodeStatus::Frame)
        if (f.kind == net::FrameKind::Binary) ++v.frames;
      v.decoder.discardDelivered();
    }
    if (!any) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const double elapsed = static_cast<double>(monotonicMs() - start) / 1000.0;
  std::printf("%.3f", elapsed);
  for (const Viewer& v : all) std::printf(" %ld", v.frames);
  std::printf("\n");
  return 0;
}

// --- run ---------------------------------------------------------------------

// CPU per frame of capture, scale, hash and encode alone, as the service
// runs them, for comparison.
double pipelineCpuPerFrame(int frames) {
  ScreenCapturer capturer;
  if (!capturer.open(CaptureRegion{})) return 0;
  PixelFrame captured, scaled;
  BilinearScaler scaler;
  std::vector<std::uint8_t> samples, jpeg;
  double cpu = 0;
  for (int i = 0; i < frames + 10; ++i) {
    const double t0 = threadCpuSeconds();
    if (!capturer.capture(captured)) return 0;
    scaler.scale(captured, 1600, 900, scaled);
    sampledFrameHash(scaled, samples);
    encodeJpeg(scaled, 62, jpeg);
    if (i >= 10) cpu += threadCpuSeconds() - t0;  // after warm-up
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cpu / frames;
}

struct RunResult {
  double seconds = 0, minFps = 0, meanFps = 0, maxFps = 0, encodedFps = 0;
  double mbits = 0, cpuPerEncoded = 0, cpuPerDelivered = 0, rssStart = 0, rssEnd = 0, rssMax = 0;
};

bool runService(const std::string& self, int count, double seconds, RunResult& out) {
  EchoService service;
  service.setFps(60);
  service.setQuality(62);
  service.setMaxWidth(1600);
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 50 && port == 0; ++attempt) {
    const auto p = static_cast<std::uint16_t>(30000 + random64() % 20000);
    if (service.start(p)) port = p;
  }
  if (port == 0) return false;
  std::atomic<bool> stop{false};
  std::atomic<double> rssMax{0};
  std::thread echo([&] {
    while (!stop) {
      service.pumpOnce();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const double cpuStart = cpuSeconds();
  // Memory once the buffers have grown to their steady size, then its peak.
  std::atomic<double> rssWarm{0};
  std::thread sampler([&] {
    for (int tick = 0; !stop; ++tick) {
      const double rss = residentMiB();
      if (tick == 12) rssWarm = rss;
      rssMax = std::max(rssMax.load(), rss);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });
  char line[4096] = {};
  bool ok = true;
  if (count > 0) {
    const std::string command = self + " viewers " + std::to_string(port) + " " + std::to_string(count) + " " +
                                std::to_string(seconds);
    FILE* child = popen(command.c_str(), "r");
    ok = child != nullptr && std::fgets(line, sizeof line, child) != nullptr;
    if (child != nullptr) pclose(child);
  } else {
    // Nobody watches: capture and encode only, as with captureOn.
    service.captureOn = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    std::snprintf(line, sizeof line, "%.3f 0", seconds);
  }
  const double cpu = cpuSeconds() - cpuStart;
  stop = true;
  echo.join();
  sampler.join();
  const std::uint64_t encoded = service.frameSeq();
  const std::uint64_t delivered = service.framesSent();
  const std::uint64_t bytes = service.bytesSent();
  const double rssEnd = residentMiB();
  service.stop();
  if (!ok) return false;

  std::vector<double> counts;
  char* cursor = line;
  out.seconds = std::strtod(cursor, &cursor);
  for (;;) {
    char* next = nullptr;
    const double v = std::strtod(cursor, &next);
    if (next == cursor) break;
    counts.push_back(v);
    cursor = next;
  }
  if (counts.empty() || out.seconds <= 0) return false;
  if (count == 0) counts = {0};
  out.minFps = *std::min_element(counts.begin(), counts.end()) / out.seconds;
  out.maxFps = *std::max_element(counts.begin(), counts.end()) / out.seconds;
  double sum = 0;
  for (double c : counts) sum += c;
  out.meanFps = sum / static_cast<double>(counts.size()) / out.seconds;
  out.encodedFps = static_cast<double>(encoded) / out.seconds;
  out.mbits = static_cast<double>(bytes) * 8 / 1e6 / out.seconds;
  out.cpuPerEncoded = encoded ? cpu / static_cast<double>(encoded) : 0;
  out.cpuPerDelivered = delivered ? cpu / static_cast<double>(delivered) : 0;
  out.rssStart = rssWarm;
  out.rssEnd = rssEnd;
  out.rssMax = rssMax;
  return true;
}

int run(const std::string& self, double seconds, double memorySeconds, const std::vector<int>& counts) {
  logSetStderrEnabled(false);  // the service's own lines would drown the table
  const pid_t animator = fork();
  if (animator == 0) {
    execl(self.c_str(), self.c_str(), "animate", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));

  const double pipeline = pipelineCpuPerFrame(200);
  std::printf("pipeline alone (capture+scale+hash+encode, 1920x1080 -> 1600x900 q62): %.2f ms CPU per frame\n",
              pipeline * 1000);
  std::printf("%8s %8s %9s %9s %9s %10s %12s %12s %16s\n", "viewers", "seconds", "min fps", "mean fps",
              "encoded", "Mbit/s", "CPU ms/enc", "CPU ms/sent", "RSS MiB 3s/end/max");
  int status = 0;
  for (int count : counts) {
    RunResult r;
    if (!runService(self, count, seconds, r)) {
      std::printf("%8d  run failed\n", count);
      status = 1;
      continue;
    }
    std::printf("%8d %8.1f %9.1f %9.1f %9.1f %10.1f %12.2f %12.2f %6.1f/%.1f/%.1f\n", count, r.seconds, r.minFps,
                r.meanFps, r.encodedFps, r.mbits, r.cpuPerEncoded * 1000, r.cpuPerDelivered * 1000, r.rssStart,
                r.rssEnd, r.rssMax);
    std::fflush(stdout);
  }
  if (memorySeconds > 0) {
    RunResult r;
    if (runService(self, 4, memorySeconds, r)) {
      std::printf("memory run: 4 viewers for %.0f s at %.1f fps each: RSS %.1f MiB after 3 s, %.1f MiB at end, "
                  "%.1f MiB max\n",
                  r.seconds, r.meanFps, r.rssStart, r.rssEnd, r.rssMax);
    } else {
      status = 1;
    }
  }
  kill(animator, SIGTERM);
  int ws = 0;
  waitpid(animator, &ws, 0);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = exePath();
  if (argc >= 2 && std::strcmp(argv[1], "animate") == 0) return animate();
  if (argc >= 5 && std::strcmp(argv[1], "viewers") == 0)
    return viewers(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), std::atof(argv[4]));
  double seconds = 15, memorySeconds = 60;
  std::vector<int> counts = {1, 4, 16};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--memory-seconds") == 0) {
      memorySeconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--viewers") == 0) {
      counts.clear();
      for (const char* p = argv[i + 1]; *p;) {
        counts.push_back(std::atoi(p));
        while (*p && *p != ',') ++p;
        if (*p == ',') ++p;
      }
    }
  }
  if (seconds <= 0 || counts.empty()) {
    std::fprintf(stderr, "usage: echo_stream_bench [--seconds S] [--memory-seconds M] [--viewers 1,4,16]\n");
    return 2;
  }
  return run(self, seconds, memorySeconds, counts);
}
