// What streaming costs for what the screen does: the echo service with the
// real screen (X DAMAGE, the pointer drawn), 1600 wide, quality 62, one viewer
// at 25 fps, while another process plays a scene on the screen:
//   still   nothing changes;
//   clock   a 120x24 patch changes once a second;
//   typing  a 9x16 glyph appears five times a second;
//   motion  the whole captured area changes about 30 times a second.
// At 1920x1080 and 3840x2160 it reports the service process's CPU time (user
// + system, not wall time: the machine is shared) as % of one core, the
// frames the viewer got and the CPU per encoded frame; for motion, ffmpeg
// (x11grab -> scale -> mjpeg, one thread) beside it at equal bytes: its -q:v
// is stepped from --qv (6) until its frames come closest to ours in size.
// Then latency from a change to the viewer holding a frame that shows it
// (still screen and motion, service and viewer at 25 and 60), CPU with
// nobody watching, and memory.
//
// Run through echo_scene_bench.sh (a private 3840x2160 Xvfb). Modes:
//   echo_scene_bench [--seconds S] [--latency-changes N] [--idle-seconds I] [--qv Q] [--scenes a,b]
//   echo_scene_bench scene NAME W H
//   echo_scene_bench viewer PORT SECONDS FPS
//   echo_scene_bench latency PORT CHANGES FPS
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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
#include "log/helpers.h"
#include "log/log.h"
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
using bench::connectAndSubscribe;
using bench::firstLine;
using bench::numbers;
using bench::residentMiB;

// The latency block lives here; scenes leave it alone.
constexpr int kKeepOut = 128;

std::atomic<bool> gStop{false};

// --- scene: runs until SIGTERM ----------------------------------------------

int scene(const std::string& name, int width, int height) {
  std::signal(SIGTERM, [](int) { gStop = true; });
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return 1;
  const int screen = DefaultScreen(dpy);
  const Window root = RootWindow(dpy, screen);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  // A desktop picture twice as wide as the area, so sliding it changes all of it.
  const int wide = width + 512;
  const PixelFrame desktop = test::desktopFrame(wide, height);
  std::vector<std::uint8_t> bgrx(desktop.pixels.size());
  for (std::size_t i = 0; i < bgrx.size(); i += 4) {
    bgrx[i] = desktop.pixels[i + 2];
    bgrx[i + 1] = desktop.pixels[i + 1];
    bgrx[i + 2] = desktop.pixels[i];
  }
  XImage* image = XCreateImage(dpy, DefaultVisual(dpy, screen), 24, ZPixmap, 0, reinterpret_cast<char*>(bgrx.data()),
                               static_cast<unsigned>(wide), static_cast<unsigned>(height), 32, wide * 4);
  const Pixmap picture = XCreatePixmap(dpy, root, static_cast<unsigned>(wide), static_cast<unsigned>(height), 24);
  XPutImage(dpy, picture, gc, image, 0, 0, 0, 0, static_cast<unsigned>(wide), static_cast<unsigned>(height));
  image->data = nullptr;
  XDestroyImage(image);
  XCopyArea(dpy, picture, root, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0);
  XSync(dpy, False);
  std::printf("ready\n");
  std::fflush(stdout);
  std::mt19937 rng(5);
  int column = 0, line = 0;
  for (unsigned tick = 0; !gStop; ++tick) {
    if (name == "clock") {
      // Digits of a clock in the corner: one small patch a second.
      for (int d = 0; d < 8; ++d) {
        XSetForeground(dpy, gc, (tick * 7 + static_cast<unsigned>(d) * 13) % 2 ? 0xE6EDF5ul : 0x203040ul);
        XFillRectangle(dpy, root, gc, width - 140 + d * 15, height - 40, 12, 24);
      }
      XSync(dpy, False);
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    } else if (name == "typing") {
      // A glyph at the caret, the caret moves on; a new line now and then.
      XSetForeground(dpy, gc, 0x101010ul + (rng() % 0x404040ul));
      XFillRectangle(dpy, root, gc, 300 + column * 10, 300 + line * 20, 9, 16);
      if (++column == 80) column = 0, line = (line + 1) % 20;
      XSync(dpy, False);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else if (name == "motion") {
      // The whole area slides, but for the latency block's corner.
      const int shift = static_cast<int>(tick * 3 % 512);
      XCopyArea(dpy, picture, root, gc, shift + kKeepOut, 0, static_cast<unsigned>(width - kKeepOut),
                static_cast<unsigned>(height), kKeepOut, 0);
      XCopyArea(dpy, picture, root, gc, shift, kKeepOut, kKeepOut, static_cast<unsigned>(height - kKeepOut), 0,
                kKeepOut);
      XSync(dpy, False);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  XFreePixmap(dpy, picture);
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
  return 0;
}

// --- viewer: one subscriber, frames and bytes after a second of warm-up -----

int viewer(std::uint16_t port, double seconds, int fps) {
  net::TcpClient client;
  if (!connectAndSubscribe(client, port, fps)) return 1;
  net::FrameDecoder decoder;
  std::vector<std::uint8_t> buffer(1 << 20);
  long frames = 0;
  double bytes = 0;
  const std::uint64_t countFrom = monotonicMs() + 1000;
  const std::uint64_t end = countFrom + static_cast<std::uint64_t>(seconds * 1000);
  for (std::uint64_t now = monotonicMs(); now < end; now = monotonicMs()) {
    const int n = client.receive(buffer.data(), static_cast<int>(buffer.size()), 20);
    if (n <= 0) continue;
    decoder.append(buffer.data(), static_cast<std::size_t>(n));
    net::FrameView f;
    while (decoder.next(f) == net::DecodeStatus::Frame) {
      if (f.kind != net::FrameKind::Binary || now < countFrom) continue;
      ++frames;
      bytes += static_cast<double>(f.length);
    }
    decoder.discardDelivered();
  }
  std::printf("%.3f %ld %.0f\n", static_cast<double>(monotonicMs() - countFrom) / 1000.0, frames, bytes);
  return 0;
}

// --- the measuring side -----------------------------------------------------

struct Service {
  EchoService service;
  std::uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread echo;

  bool start(int fps, int width, int height) {
    service.setFps(fps);
    service.setQuality(62);
    service.setMaxWidth(1600);
    service.setRegion(CaptureRegion::custom(0, 0, width, height));
    port = bench::startOnFreePort(service);
    if (port == 0) return false;
    // The agent's echo thread.
    echo = std::thread([this] {
      while (!stop) service.pumpOnce(EchoService::kWaitForWork);
    });
    return true;
  }
  void finish() {
    stop = true;
    service.wake();
    if (echo.joinable()) echo.join();
    service.stop();
  }
};

pid_t startScene(const std::string& self, const char* name, int width, int height) {
  if (envExists("VL_BENCH_NO_SCENE")) return 0;
  // The scene says when its first picture is on the screen: capturing while
  // a large picture is still being put can stall the copy.
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(ready[1], STDOUT_FILENO);
    close(ready[0]);
    close(ready[1]);
    const std::string w = std::to_string(width), h = std::to_string(height);
    execl(self.c_str(), self.c_str(), "scene", name, w.c_str(), h.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char c = 0;
  const bool started = read(ready[0], &c, 1) == 1;
  close(ready[0]);
  if (!started) std::printf("scene %s did not start\n", name);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return pid;
}

void stopScene(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int ws = 0;
  waitpid(pid, &ws, 0);
}

double gMaxRss = 0;

// One scene with one viewer at 25: CPU % of a core, ms per encoded frame and
// the average frame size; false when the run failed.
bool measureScene(const std::string& self, const char* name, int width, int height, double seconds, double& msPerFrame,
                  double& bytesPerFrame) {
  const pid_t animator = startScene(self, name, width, height);
  Service s;
  if (!s.start(25, width, height)) return false;
  // The viewer counts from a second after it subscribed; the CPU window
  // starts a little later, so the first frame's set-up is not counted.
  char line[256] = {};
  const std::string command = self + " viewer " + std::to_string(s.port) + " " + std::to_string(seconds) + " 25";
  FILE* child = popen(command.c_str(), "r");
  // On a busy machine the viewer may take a while to subscribe: the window
  // opens once the first frame is out, so its set-up is never counted.
  for (int waited = 0; waited < 10000 && s.service.framesEncoded() == 0; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::uint64_t encoded0 = s.service.framesEncoded();
  const double cpu0 = cpuSeconds();
  const std::uint64_t wall0 = monotonicMs();
  const bool ok = child != nullptr && std::fgets(line, sizeof line, child) != nullptr;
  if (child != nullptr) pclose(child);
  const double cpu = cpuSeconds() - cpu0;
  const double wall = static_cast<double>(monotonicMs() - wall0) / 1000.0;
  const double encoded = static_cast<double>(s.service.framesEncoded() - encoded0);
  gMaxRss = std::max(gMaxRss, residentMiB());
  const std::string error = s.service.lastError();
  if (!error.empty() && envExists("VL_BENCH_LOG")) std::printf("last error: %s\n", error.c_str());
  s.finish();
  stopScene(animator);
  const std::vector<double> v = numbers(line);
  if (!ok || v.size() != 3 || v[0] <= 0) return false;
  msPerFrame = encoded > 0 ? cpu / encoded * 1000 : 0;
  bytesPerFrame = v[1] > 0 ? v[2] / v[1] : 0;
  std::printf("%-7s %4dx%-4d  CPU %6.2f%% of a core  viewer %5.2f fps  encoded %5.2f/s  %6.2f ms CPU per encoded "
              "frame  %6.0f bytes/frame\n",
              name, width, height, cpu / wall * 100, v[1] / v[0], encoded / wall, msPerFrame, bytesPerFrame);
  std::fflush(stdout);
  return true;
}

// ffmpeg doing the same job on the same scene at 25 fps: CPU ms per frame
// (user + system of its process) and bytes per frame.
bool measureFfmpeg(int width, int height, double seconds, int qv, double& msPerFrame, double& bytesPerFrame) {
  const int frames = static_cast<int>(seconds * 25);
  const std::string out = formatString("/tmp/echo-scene-bench-%d.mjpeg", static_cast<int>(getpid()));
  const std::string command = formatString(
      "/usr/bin/time -f '%%U %%S' ffmpeg -nostdin -loglevel error -filter_threads 1 -f x11grab -framerate 25 "
      "-video_size %dx%d -i \"$DISPLAY\" -frames:v %d -vf scale=1600:-2:flags=bilinear -pix_fmt yuvj420p -c:v mjpeg "
      "-threads 1 -q:v %d -f mjpeg -y %s 2>&1 >/dev/null | tail -1",
      width, height, frames, qv, out.c_str());
  char line[256] = {};
  if (!firstLine(command, line, sizeof line)) return false;
  const std::vector<double> v = numbers(line);
  FILE* f = std::fopen(out.c_str(), "rb");
  if (f == nullptr || v.size() != 2) return false;
  std::fseek(f, 0, SEEK_END);
  const double size = static_cast<double>(std::ftell(f));
  std::fclose(f);
  std::remove(out.c_str());
  msPerFrame = (v[0] + v[1]) / frames * 1000;
  bytesPerFrame = size / frames;
  return true;
}

void measureLatency(const std::string& self, const char* sceneName, int fps, int changes) {
  const pid_t animator = startScene(self, sceneName, 1920, 1080);
  Service s;
  char line[256] = {};
  if (s.start(fps, 1920, 1080) &&
      firstLine(self + " latency " + std::to_string(s.port) + " " + std::to_string(changes) + " " +
                    std::to_string(fps),
                line, sizeof line)) {
    const std::vector<double> v = numbers(line);
    if (v.size() == 4)
      std::printf("latency %-6s 1920x1080 at %2d fps (%.0f changes): median %5.1f ms, p95 %5.1f ms, max %5.1f ms\n",
                  sceneName, fps, v[0], v[1], v[2], v[3]);
  } else {
    std::printf("latency %s at %d fps: run failed\n", sceneName, fps);
  }
  std::fflush(stdout);
  s.finish();
  stopScene(animator);
}

// The machine is shared: its load average goes beside the figures.
void printLoad(const char* when) {
  char line[128] = {};
  FILE* f = std::fopen("/proc/loadavg", "r");
  if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) std::printf("load average at the %s: %s", when, line);
  if (f != nullptr) std::fclose(f);
  std::fflush(stdout);
}

int run(const std::string& self, double seconds, int latencyChanges, double idleSeconds, int qv,
        const std::string& scenes) {
  // The service's own lines would drown the table (VL_BENCH_LOG keeps them).
  logSetStderrEnabled(envExists("VL_BENCH_LOG"));
  std::printf("CPU below is process CPU time (user + system) of the service side, not wall time.\n");
  printLoad("start");
  int status = 0;
  std::vector<std::pair<int, int>> sizes = {{1920, 1080}, {3840, 2160}};
  if (envExists("VL_BENCH_4K_ONLY")) sizes.erase(sizes.begin());
  for (const auto& [w, h] : sizes) {
    for (const char* name : {"still", "clock", "typing", "motion"}) {
      if (!scenes.empty() && ("," + scenes + ",").find(std::string(",") + name + ",") == std::string::npos) continue;
      double ms = 0, bytes = 0;
      if (!measureScene(self, name, w, h, seconds, ms, bytes)) {
        std::printf("%s %dx%d: run failed\n", name, w, h);
        status = 1;
        continue;
      }
      if (std::strcmp(name, "motion") != 0) continue;
      const pid_t animator = startScene(self, name, w, h);
      // Equal bytes: -q:v stepped from --qv towards our frame size while
      // that brings ffmpeg's closer (a lower -q:v, larger files).
      double ffMs = 0, ffBytes = 0;
      int ffQv = 0;
      for (int q = qv, step = 0; q >= 1 && q <= 31; q += step) {
        double tryMs = 0, tryBytes = 0;
        if (!measureFfmpeg(w, h, seconds, q, tryMs, tryBytes)) break;
        if (ffQv != 0 && std::abs(tryBytes - bytes) >= std::abs(ffBytes - bytes)) break;
        ffQv = q;
        ffMs = tryMs;
        ffBytes = tryBytes;
        if (step == 0) step = tryBytes < bytes ? -1 : 1;
        if (std::abs(tryBytes - bytes) < bytes * 0.02) break;
      }
      if (ffQv != 0) {
        std::printf("        ffmpeg (x11grab, scale, mjpeg -q:v %d, one thread): %6.2f ms CPU per frame  %6.0f "
                    "bytes/frame (%+.1f %%)  -> ours %.2f x ffmpeg\n",
                    ffQv, ffMs, ffBytes, (ffBytes - bytes) / bytes * 100, ms / ffMs);
      } else {
        std::printf("        ffmpeg run failed\n");
      }
      std::fflush(stdout);
      stopScene(animator);
    }
  }
  if (latencyChanges > 0) {
    for (const char* name : {"still", "motion"})
      for (int fps : {25, 60}) measureLatency(self, name, fps, latencyChanges);
  }
  if (idleSeconds > 0) {
    Service s;
    if (s.start(25, 1920, 1080)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const double cpu0 = cpuSeconds();
      const std::uint64_t wall0 = monotonicMs();
      std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(idleSeconds * 1000)));
      const double cpu = cpuSeconds() - cpu0;
      const double wall = static_cast<double>(monotonicMs() - wall0) / 1000.0;
      std::printf("idle echo service (nobody watching, %.0f s): %.3f%% of a core\n", idleSeconds, cpu / wall * 100);
    }
    s.finish();
  }
  std::printf("memory: resident at most %.1f MiB during the scene runs\n", std::max(gMaxRss, residentMiB()));
  printLoad("end");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = exePath();
  if (argc >= 5 && std::strcmp(argv[1], "scene") == 0) return scene(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (argc >= 5 && std::strcmp(argv[1], "viewer") == 0)
    return viewer(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atof(argv[3]), std::atoi(argv[4]));
  if (argc >= 5 && std::strcmp(argv[1], "latency") == 0)
    return bench::latencyProbe(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]));
  double seconds = 10, idleSeconds = 20;
  int latencyChanges = 100, qv = 6;
  std::string scenes;  // empty: all of them
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    else if (std::strcmp(argv[i], "--latency-changes") == 0) latencyChanges = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::atof(argv[i + 1]);
    else if (std::strcmp(argv[i], "--qv") == 0) qv = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--scenes") == 0) scenes = argv[i + 1];
  }
  return run(self, seconds, latencyChanges, idleSeconds, qv, scenes);
}
