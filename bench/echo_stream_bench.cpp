// Streaming benchmark: the echo service with the real screen, 1920x1080 ->
// 1600x900, quality 62, pumped the way the agent's echo thread does, while
// another process animates the screen. For each pair of service and viewer
// rates (25/25, 30/30, 60/60, 60 with viewers at 25, and 60 with one viewer
// at 25 among viewers at 60) and 1, 4 and 16 viewers it reports the frames
// per second each viewer receives, the encoded rate, the service process's
// CPU and its resident memory. Then: CPU with nobody watching (the echo
// thread's waiting loop, and the earlier 1 ms sleep loop for comparison),
// latency from a change on the screen to a viewer holding a frame that
// shows it, and memory over a long run.
//
// Run through echo_stream_bench.sh, which provides a private X server.
// Modes (the benchmark starts the helper processes itself):
//   echo_stream_bench [--seconds S] [--memory-seconds M] [--idle-seconds I]
//                     [--latency-changes N] [--viewers 1,4,16]
//   echo_stream_bench animate
//   echo_stream_bench viewers PORT SECONDS FPS[,FPS...]
//   echo_stream_bench latency PORT CHANGES
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "echo/echo_service.h"
#include "echo_bench_common.h"
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
using bench::cpuSeconds;
using bench::firstLine;
using bench::numbers;
using bench::residentMiB;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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

// --- viewers: one subscriber per listed rate, frames counted per connection

// Counts after a second of warm-up, so subscribing and the first frames do
// not count against the rate.
int viewers(std::uint16_t port, double seconds, const std::vector<int>& rates) {
  struct Viewer {
    net::TcpClient client;
    net::FrameDecoder decoder;
    long frames = 0;
  };
  std::vector<Viewer> all(rates.size());
  std::vector<std::uint8_t> buffer(1 << 20);
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!bench::connectAndSubscribe(all[i].client, port, rates[i])) return 1;
  }
  const std::uint64_t begin = monotonicMs();
  const std::uint64_t countFrom = begin + 1000;
  const auto end = countFrom + static_cast<std::uint64_t>(seconds * 1000);
  for (std::uint64_t now = begin; now < end; now = monotonicMs()) {
    bool any = false;
    for (Viewer& v : all) {
      const int n = v.client.receive(buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n <= 0) continue;
      any = true;
      v.decoder.append(buffer.data(), static_cast<std::size_t>(n));
      net::FrameView f;
      while (v.decoder.next(f) == net::DecodeStatus::Frame)
        if (f.kind == net::FrameKind::Binary && now >= countFrom) ++v.frames;
      v.decoder.discardDelivered();
    }
    if (!any) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  std::printf("%.3f", static_cast<double>(monotonicMs() - countFrom) / 1000.0);
  for (const Viewer& v : all) std::printf(" %ld", v.frames);
  std::printf("\n");
  return 0;
}

// --- latency: the shared probe, one viewer at 25 ------------------------------

int latency(std::uint16_t port, int changes) { return bench::latencyProbe(port, changes, 25); }

// --- run ---------------------------------------------------------------------

// CPU per frame of capture, scale, hash and encode alone, as the service
// runs them, for comparison.
double pipelineCpuPerFrame(int frames) {
  ScreenCapturer capturer;
  capturer.setCursorDrawn(true);
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

// How the echo thread runs: the agent's waiting pass, or the earlier
// pumpOnce-then-sleep-1-ms loop.
enum class Loop { Waiting, SleepOneMs };

struct Service {
  EchoService service;
  std::uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::atomic<double> rssWarm{0}, rssMax{0};
  std::thread echo, sampler;

  bool start(int fps, Loop loop) {
    service.setFps(fps);
    service.setQuality(62);
    service.setMaxWidth(1600);
    port = bench::startOnFreePort(service);
    if (port == 0) return false;
    echo = std::thread([this, loop] {
      while (!stop) {
        if (loop == Loop::Waiting) {
          service.pumpOnce(EchoService::kWaitForWork);
        } else {
          service.pumpOnce();
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
    // Memory once the buffers have grown to their steady size, then its peak.
    sampler = std::thread([this] {
      for (int tick = 0; !stop; ++tick) {
        const double rss = residentMiB();
        if (tick == 12) rssWarm = rss;
        rssMax = std::max(rssMax.load(), rss);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    });
    return true;
  }
  void finish() {
    stop = true;
    service.wake();
    if (echo.joinable()) echo.join();
    if (sampler.joinable()) sampler.join();
    service.stop();
  }
};


struct RateCase {
  const char* name;
  int serviceFps;
  int viewerFps;     // every viewer
  bool oneAt25;      // but the first asks for 25
};

std::string join(const std::vector<int>& values) {
  std::string s;
  for (int v : values) {
    if (!s.empty()) s.push_back(',');
    s.append(std::to_string(v));
  }
  return s;
}

bool runRates(const std::string& self, const RateCase& c, int count, double seconds, bool memoryLine) {
  Service s;
  if (!s.start(c.serviceFps, Loop::Waiting)) return false;
  std::vector<int> rates(static_cast<std::size_t>(count), c.viewerFps);
  if (c.oneAt25) rates[0] = 25;
  const std::uint64_t seq0 = s.service.frameSeq();
  const double cpu0 = cpuSeconds();
  const std::uint64_t wall0 = monotonicMs();
  char line[4096] = {};
  const bool ok = firstLine(self + " viewers " + std::to_string(s.port) + " " + std::to_string(seconds) + " " +
                                join(rates),
                            line, sizeof line);
  const double cpu = cpuSeconds() - cpu0;
  const double wall = static_cast<double>(monotonicMs() - wall0) / 1000.0;
  const double encoded = static_cast<double>(s.service.frameSeq() - seq0) / wall;
  const double rssEnd = residentMiB();
  s.finish();
  std::vector<double> v = numbers(line);
  if (!ok || v.size() != rates.size() + 1 || v[0] <= 0) return false;
  const double elapsed = v[0];
  // Per group of equal asked rates: min / mean / max delivered; and how far
  // the worst viewer is from min(its rate, the service's).
  std::string cells;
  double worst = 0;
  std::vector<int> groups;
  for (int r : rates)
    if (std::find(groups.begin(), groups.end(), r) == groups.end()) groups.push_back(r);
  for (const int rate : groups) {
    double lo = 1e9, hi = 0, sum = 0;
    int n = 0;
    for (std::size_t i = 0; i < rates.size(); ++i) {
      if (rates[i] != rate) continue;
      const double fps = v[i + 1] / elapsed;
      lo = std::min(lo, fps);
      hi = std::max(hi, fps);
      sum += fps;
      ++n;
      const double target = std::min(rate, c.serviceFps);
      worst = std::max(worst, std::abs(fps - target) / target * 100);
    }
    cells += formatString("  @%d: %.2f/%.2f/%.2f", rate, lo, sum / n, hi);
  }
  std::printf("%-10s %3d viewers  encoded %6.2f fps  worst %5.2f%%  CPU %5.1f%% of a core (%.2f ms/frame)  RSS %.1f/%.1f MiB%s\n",
              c.name, count, encoded, worst, cpu / wall * 100, encoded > 0 ? cpu / wall / encoded * 1000 : 0.0,
              s.rssWarm.load(), rssEnd, cells.c_str());
  if (memoryLine)
    std::printf("memory over %.0f s: RSS %.1f MiB after 3 s, %.1f MiB at the end, %.1f MiB at most\n", wall,
                s.rssWarm.load(), rssEnd, s.rssMax.load());
  std::fflush(stdout);
  return true;
}

double idleCpuPercent(Loop loop, double seconds) {
  Service s;
  if (!s.start(25, loop)) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu0 = cpuSeconds();
  const std::uint64_t wall0 = monotonicMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
  const double cpu = cpuSeconds() - cpu0;
  const double wall = static_cast<double>(monotonicMs() - wall0) / 1000.0;
  s.finish();
  return cpu / wall * 100;
}

int run(const std::string& self, double seconds, double memorySeconds, double idleSeconds, int latencyChanges,
        const std::vector<int>& counts) {
  logSetStderrEnabled(false);  // the service's own lines would drown the table
  int status = 0;
  if (idleSeconds > 0) {
    const double waiting = idleCpuPercent(Loop::Waiting, idleSeconds);
    const double sleeping = idleCpuPercent(Loop::SleepOneMs, idleSeconds);
    std::printf("idle (nobody watching, %.0f s each): %.3f%% of a core; the earlier 1 ms sleep loop: %.3f%%\n",
                idleSeconds, waiting, sleeping);
  }

  const pid_t animator = fork();
  if (animator == 0) {
    execl(self.c_str(), self.c_str(), "animate", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double pipeline = pipelineCpuPerFrame(200);
  std::printf("pipeline alone (capture+pointer+scale+hash+encode, 1920x1080 -> 1600x900 q62): %.2f ms CPU per frame\n",
              pipeline * 1000);
  // First, while the heap is fresh: memory of a long run.
  if (memorySeconds > 0 && !runRates(self, RateCase{"memory", 60, 60, false}, 4, memorySeconds, true)) status = 1;
  const RateCase cases[] = {{"25/25", 25, 25, false},
                            {"30/30", 30, 30, false},
                            {"60/60", 60, 60, false},
                            {"60/25", 60, 25, false},
                            {"60/60+25", 60, 60, true}};
  for (const RateCase& c : cases)
    for (int count : counts) {
      if (c.oneAt25 && count < 2) continue;
      if (!runRates(self, c, count, seconds, false)) {
        std::printf("%-10s %3d viewers: run failed\n", c.name, count);
        status = 1;
      }
    }
  kill(animator, SIGTERM);
  int ws = 0;
  waitpid(animator, &ws, 0);

  if (latencyChanges > 0) {
    // A still screen but for the block; the service encodes every slot.
    Service s;
    char line[256] = {};
    if (s.start(25, Loop::Waiting) &&
        firstLine(self + " latency " + std::to_string(s.port) + " " + std::to_string(latencyChanges), line,
                  sizeof line)) {
      const std::vector<double> v = numbers(line);
      if (v.size() == 4)
        std::printf("latency screen change -> viewer holds the frame (25/25, %.0f changes): median %.1f ms, p95 %.1f "
                    "ms, max %.1f ms\n",
                    v[0], v[1], v[2], v[3]);
    } else {
      std::printf("latency run failed\n");
      status = 1;
    }
    s.finish();
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = exePath();
  if (argc >= 2 && std::strcmp(argv[1], "animate") == 0) return animate();
  if (argc >= 5 && std::strcmp(argv[1], "viewers") == 0) {
    std::vector<int> rates;
    for (const char* p = argv[4]; *p;) {
      rates.push_back(std::atoi(p));
      while (*p && *p != ',') ++p;
      if (*p == ',') ++p;
    }
    return viewers(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atof(argv[3]), rates);
  }
  if (argc >= 4 && std::strcmp(argv[1], "latency") == 0)
    return latency(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
  double seconds = 10, memorySeconds = 60, idleSeconds = 20;
  int latencyChanges = 100;
  std::vector<int> counts = {1, 4, 16};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--memory-seconds") == 0) {
      memorySeconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
      idleSeconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--latency-changes") == 0) {
      latencyChanges = std::atoi(argv[i + 1]);
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
    std::fprintf(stderr,
                 "usage: echo_stream_bench [--seconds S] [--memory-seconds M] [--idle-seconds I] "
                 "[--latency-changes N] [--viewers 1,4,16]\n");
    return 2;
  }
  return run(self, seconds, memorySeconds, idleSeconds, latencyChanges, counts);
}
