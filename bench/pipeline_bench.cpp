// Google Benchmark of the image pipeline at 1920x1080 -> 1600x900, q62.
// Capture cases need $DISPLAY (bench/ffmpeg-compare.sh starts a private
// Xvfb); the others run anywhere.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "echo/capture.h"
#include "echo/frame_hash.h"
#include "echo/jpeg.h"
#include "echo/pixel_convert.h"
#include "echo/scale.h"
#include "log/log.h"
#include "pipeline_scene.h"
#include "pipeline_test_images.h"

namespace {

constexpr int kSrcW = 1920, kSrcH = 1080, kDstW = 1600, kDstH = 900, kQuality = 62;

const vl::PixelFrame& desktop() {
  static const vl::PixelFrame frame = vl::test::desktopFrame(kSrcW, kSrcH);
  return frame;
}

const vl::PixelFrame& scaledDesktop() {
  static const vl::PixelFrame frame = [] {
    vl::PixelFrame f;
    vl::scaleBilinear(desktop(), kDstW, kDstH, f);
    return f;
  }();
  return frame;
}

bool screenReady() {
  static const bool ready = vl::bench::showPicture(desktop());
  return ready;
}

void BM_Convert(benchmark::State& state) {
  std::vector<std::uint8_t> bgrx(desktop().pixels.size(), 0x5A), rgba(bgrx.size());
  for (auto _ : state) {
    vl::convertBgrxToRgba(bgrx.data(), kSrcW * 4, rgba.data(), kSrcW * 4, kSrcW, kSrcH);
    benchmark::DoNotOptimize(rgba.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bgrx.size()));
}
BENCHMARK(BM_Convert)->Unit(benchmark::kMillisecond);

void BM_Scale(benchmark::State& state) {
  vl::PixelFrame out;
  for (auto _ : state) benchmark::DoNotOptimize(vl::scaleBilinear(desktop(), kDstW, kDstH, out));
}
BENCHMARK(BM_Scale)->Unit(benchmark::kMillisecond);

void BM_SampledHash(benchmark::State& state) {
  std::vector<std::uint8_t> samples;
  for (auto _ : state) benchmark::DoNotOptimize(vl::sampledFrameHash(scaledDesktop(), samples));
}
BENCHMARK(BM_SampledHash)->Unit(benchmark::kMicrosecond);

void BM_EncodeTurbo(benchmark::State& state) {
  std::vector<std::uint8_t> out;
  for (auto _ : state) benchmark::DoNotOptimize(vl::encodeJpegTurbo(scaledDesktop(), kQuality, out));
  state.counters["jpeg_bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_EncodeTurbo)->Unit(benchmark::kMillisecond);

void BM_EncodeStb(benchmark::State& state) {
  std::vector<std::uint8_t> out;
  for (auto _ : state) benchmark::DoNotOptimize(vl::encodeJpegStb(scaledDesktop(), kQuality, out));
  state.counters["jpeg_bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_EncodeStb)->Unit(benchmark::kMillisecond);

// The raw server copy alone, for comparison with the capturer's total.
void BM_XShmGetImageOnly(benchmark::State& state) {
  if (!screenReady()) return state.SkipWithError("no X display");
  Display* d = XOpenDisplay(nullptr);
  const int screen = DefaultScreen(d);
  XShmSegmentInfo shm{};
  XImage* image = XShmCreateImage(d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap, nullptr, &shm,
                                  kSrcW, kSrcH);
  shm.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * kSrcH, IPC_CREAT | 0600);
  shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
  XShmAttach(d, &shm);
  XSync(d, False);
  shmctl(shm.shmid, IPC_RMID, nullptr);
  for (auto _ : state) XShmGetImage(d, DefaultRootWindow(d), image, 0, 0, AllPlanes);
  XShmDetach(d, &shm);
  XSync(d, False);
  image->data = nullptr;
  XDestroyImage(image);
  shmdt(shm.shmaddr);
  XCloseDisplay(d);
}
BENCHMARK(BM_XShmGetImageOnly)->Unit(benchmark::kMillisecond);

void captureBench(benchmark::State& state, bool shm) {
  if (!screenReady()) return state.SkipWithError("no X display");
  vl::ScreenCapturer capturer;
  capturer.setSharedMemoryAllowed(shm);
  if (!capturer.open(vl::CaptureRegion{})) return state.SkipWithError("open failed");
  if (capturer.usingSharedMemory() != shm) return state.SkipWithError("MIT-SHM not as requested");
  vl::PixelFrame frame;
  for (auto _ : state)
    if (!capturer.capture(frame)) return state.SkipWithError("capture failed");
}
void BM_CaptureShm(benchmark::State& state) { captureBench(state, true); }
void BM_CapturePlainGetImage(benchmark::State& state) { captureBench(state, false); }
BENCHMARK(BM_CaptureShm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CapturePlainGetImage)->Unit(benchmark::kMillisecond);

// capture -> scale -> hash -> encode, as the echo service runs it; the
// median and p95 of single frames are reported as counters.
void stageBench(benchmark::State& state, bool turbo) {
  if (!screenReady()) return state.SkipWithError("no X display");
  vl::ScreenCapturer capturer;
  if (!capturer.open(vl::CaptureRegion{})) return state.SkipWithError("open failed");
  vl::PixelFrame captured, scaled;
  std::vector<std::uint8_t> samples, jpeg;
  std::vector<double> ms;
  ms.reserve(100000);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    capturer.capture(captured);
    vl::scaleBilinear(captured, kDstW, kDstH, scaled);
    benchmark::DoNotOptimize(vl::sampledFrameHash(scaled, samples));
    if (turbo) vl::encodeJpegTurbo(scaled, kQuality, jpeg);
    else vl::encodeJpegStb(scaled, kQuality, jpeg);
    if (ms.size() < ms.capacity())
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[ms.size() * 95 / 100];
  }
  state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}
void BM_StageTurbo(benchmark::State& state) { stageBench(state, true); }
void BM_StageStb(benchmark::State& state) { stageBench(state, false); }
BENCHMARK(BM_StageTurbo)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_StageStb)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  vl::logSetStderrEnabled(false);  // every open logs a line
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
