// Plain timing of the image pipeline, for builds without Google Benchmark
// (the Windows program under Wine) and for the ffmpeg comparison: prints the
// median of each step and of the whole capture → scale → hash → encode stage.
//   pipeline_timing [--frames N] [--quality Q] [--width W] [--no-show] [--no-pointer]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include "echo/capture.h"
#include "echo/frame_hash.h"
#include "echo/jpeg.h"
#include "echo/pixel_convert.h"
#include "echo/scale.h"
#include "log/log.h"
#include "pipeline_scene.h"
#include "pipeline_test_images.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto toSeconds = [](const FILETIME& t) {
    return double((std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return toSeconds(kernel) + toSeconds(user);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

struct Stats {
  double median = 0, p95 = 0, mean = 0;
};

Stats statsOf(std::vector<double> ms) {
  Stats s;
  if (ms.empty()) return s;
  std::sort(ms.begin(), ms.end());
  s.median = ms[ms.size() / 2];
  s.p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
  for (double v : ms) s.mean += v;
  s.mean /= double(ms.size());
  return s;
}

Stats timeIt(int runs, const std::function<void()>& fn) {
  fn();  // warm-up: tables, buffers, encoder handle
  std::vector<double> ms;
  ms.reserve(static_cast<std::size_t>(runs));
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return statsOf(std::move(ms));
}

void print(const char* name, const Stats& s) {
  std::printf("%-28s median %7.3f ms   p95 %7.3f ms   mean %7.3f ms\n", name, s.median, s.p95, s.mean);
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 300, quality = 62, maxWidth = 1600;
  bool show = true, pointer = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--frames" && i + 1 < argc) frames = std::atoi(argv[++i]);
    else if (a == "--quality" && i + 1 < argc) quality = std::atoi(argv[++i]);
    else if (a == "--width" && i + 1 < argc) maxWidth = std::atoi(argv[++i]);
    else if (a == "--no-show") show = false;
    else if (a == "--no-pointer") pointer = false;
  }
  vl::logSetStderrEnabled(false);
  std::printf("encoder behind encodeJpeg: %s\n", vl::jpegEncoderName());

  const vl::PixelFrame desktop = vl::test::desktopFrame(1920, 1080);
  std::vector<std::uint8_t> bgrx(desktop.pixels.size());
  for (std::size_t i = 0; i < bgrx.size(); i += 4) {
    bgrx[i] = desktop.pixels[i + 2];
    bgrx[i + 1] = desktop.pixels[i + 1];
    bgrx[i + 2] = desktop.pixels[i];
  }
  const int scaledH = static_cast<int>(static_cast<float>(1080) * static_cast<float>(maxWidth) / 1920.0f) & ~1;

  vl::PixelFrame converted, scaled, captured;
  std::vector<std::uint8_t> samples, jpeg;
  converted.setSize(1920, 1080);
  vl::scaleBilinear(desktop, maxWidth, scaledH, scaled);

  const int runs = 60;
  print("convert 1920x1080", timeIt(runs, [&] {
          vl::convertBgrxToRgba(bgrx.data(), 1920 * 4, converted.pixels.data(), 1920 * 4, 1920, 1080);
        }));
  print("scale 1920x1080 -> scaled", timeIt(runs, [&] { vl::scaleBilinear(desktop, maxWidth, scaledH, scaled); }));
  print("sampled hash (scaled)", timeIt(runs, [&] { vl::sampledFrameHash(scaled, samples); }));
  print("encode turbo (scaled)", timeIt(runs, [&] { vl::encodeJpegTurbo(scaled, quality, jpeg); }));
  std::printf("  jpeg size turbo: %zu bytes\n", jpeg.size());
  print("encode stb (scaled)", timeIt(runs / 4, [&] { vl::encodeJpegStb(scaled, quality, jpeg); }));
  std::printf("  jpeg size stb:   %zu bytes\n", jpeg.size());

  if (show && !vl::bench::showPicture(desktop)) std::printf("no screen to draw on\n");
  vl::ScreenCapturer capturer;
  capturer.setCursorDrawn(pointer);  // on as the agent captures (and ffmpeg's x11grab draws it too)
  if (!capturer.open(vl::CaptureRegion{})) {
    std::printf("no screen to capture: capture and stage skipped\n");
    return 0;
  }
#if defined(_WIN32)
  std::printf("capture %dx%d (GDI BitBlt, rop 0x%08X)\n", capturer.width(), capturer.height(),
              static_cast<unsigned>(vl::captureRasterOperation()));
#else
  std::printf("capture %dx%d (%s)\n", capturer.width(), capturer.height(),
              capturer.usingSharedMemory() ? "MIT-SHM" : "XGetImage");
#endif
  print("capture (incl. convert)", timeIt(runs, [&] { capturer.capture(captured); }));

  // The whole stage, frame after frame, as fast as it goes.
  std::vector<double> ms;
  ms.reserve(static_cast<std::size_t>(frames));
  std::uint64_t hashes = 0;
  const double cpu0 = cpuSeconds();
  const auto wall0 = Clock::now();
  for (int i = 0; i < frames; ++i) {
    const auto t0 = Clock::now();
    if (!capturer.capture(captured)) break;
    const int h = static_cast<int>(static_cast<float>(captured.height) * static_cast<float>(maxWidth) /
                                   static_cast<float>(captured.width)) & ~1;
    const vl::PixelFrame& toEncode =
        (maxWidth < captured.width && vl::scaleBilinear(captured, maxWidth, h, scaled)) ? scaled : captured;
    hashes ^= vl::sampledFrameHash(toEncode, samples);
    vl::encodeJpeg(toEncode, quality, jpeg);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double cpu = cpuSeconds() - cpu0;
  print("whole stage", statsOf(ms));
  std::printf("stage frames %zu  wall %.3f s  fps %.1f  cpu %.2f ms/frame  jpeg %zu bytes (%llx)\n", ms.size(), wall,
              double(ms.size()) / wall, 1000.0 * cpu / double(std::max<std::size_t>(ms.size(), 1)), jpeg.size(),
              static_cast<unsigned long long>(hashes & 0xFF));
  vl::bench::hidePicture();
  return 0;
}
