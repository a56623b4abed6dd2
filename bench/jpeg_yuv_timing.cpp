// Would handing TurboJPEG planar YCbCr 4:2:0 pay? Times, on the benchmark's
// desktop picture scaled to 1600x900 at quality 62:
//   rgba   tjCompress2 from the scaled RGBA frame (what the stage does)
//   bound  tjCompressFromYUVPlanes from planes made beforehand, i.e. as if
//          the scaler produced them for free: the most the change can save
//   planes the RGBA -> I420 conversion a scaler would have to add (here a
//          separate pass; fused into the scaler's vertical blend it saves the
//          RGBA store and reload, not the arithmetic)
// and the size and PSNR (against the RGBA frame) of both results. CPU times
// of the calling thread, median of the runs.
//   jpeg_yuv_timing [--runs N] [--quality Q]
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "echo/scale.h"
#include "pipeline_test_images.h"

namespace {

double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The steps are timed in turn within every run, so a machine whose load
// changes meanwhile weighs on all of them alike; medians over the runs.
std::vector<double> medianMs(int runs, const std::vector<std::function<void()>>& steps) {
  std::vector<std::vector<double>> ms(steps.size());
  for (int i = -1; i < runs; ++i)
    for (std::size_t k = 0; k < steps.size(); ++k) {
      const double t0 = threadCpuMs();
      steps[k]();
      if (i >= 0) ms[k].push_back(threadCpuMs() - t0);  // run -1 warms up
    }
  std::vector<double> out;
  for (auto& m : ms) {
    std::sort(m.begin(), m.end());
    out.push_back(m[m.size() / 2]);
  }
  return out;
}

// JPEG's full-range BT.601, 2x2 chroma averages; 16-bit fixed point.
void rgbaToI420(const vl::PixelFrame& f, std::vector<unsigned char>& y, std::vector<unsigned char>& u,
                std::vector<unsigned char>& v) {
  const int w = f.width, h = f.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  y.resize(static_cast<std::size_t>(w) * h);
  u.resize(static_cast<std::size_t>(cw) * ch);
  v.resize(static_cast<std::size_t>(cw) * ch);
  for (int j = 0; j < h; ++j) {
    const unsigned char* p = f.pixels.data() + static_cast<std::size_t>(j) * w * 4;
    unsigned char* out = y.data() + static_cast<std::size_t>(j) * w;
    for (int i = 0; i < w; ++i, p += 4)
      out[i] = static_cast<unsigned char>((19595 * p[0] + 38470 * p[1] + 7471 * p[2] + 32768) >> 16);
  }
  for (int j = 0; j < ch; ++j) {
    const int j0 = 2 * j, j1 = std::min(2 * j + 1, h - 1);
    for (int i = 0; i < cw; ++i) {
      const int i0 = 2 * i, i1 = std::min(2 * i + 1, w - 1);
      int r = 0, g = 0, b = 0;
      for (const int jj : {j0, j1})
        for (const int ii : {i0, i1}) {
          const unsigned char* p = f.pixels.data() + (static_cast<std::size_t>(jj) * w + ii) * 4;
          r += p[0];
          g += p[1];
          b += p[2];
        }
      const std::size_t at = static_cast<std::size_t>(j) * cw + i;
      const int cb = (-11059 * r - 21709 * g + 32768 * b + (128 << 18) + (1 << 17)) >> 18;
      const int cr = (32768 * r - 27439 * g - 5329 * b + (128 << 18) + (1 << 17)) >> 18;
      u[at] = static_cast<unsigned char>(std::clamp(cb, 0, 255));
      v[at] = static_cast<unsigned char>(std::clamp(cr, 0, 255));
    }
  }
}

double psnr(tjhandle dec, const std::vector<unsigned char>& jpeg, const vl::PixelFrame& ref) {
  std::vector<unsigned char> rgb(static_cast<std::size_t>(ref.width) * ref.height * 3);
  if (tjDecompress2(dec, jpeg.data(), jpeg.size(), rgb.data(), ref.width, 0, ref.height, TJPF_RGB, 0) != 0) return 0;
  double se = 0;
  for (std::size_t i = 0, k = 0; i < ref.pixels.size(); i += 4)
    for (int c = 0; c < 3; ++c, ++k) {
      const double d = static_cast<double>(ref.pixels[i + c]) - rgb[k];
      se += d * d;
    }
  return 10.0 * std::log10(255.0 * 255.0 / (se / static_cast<double>(rgb.size())));
}

bool compress(const std::function<int(unsigned char**, unsigned long*)>& call, std::vector<unsigned char>& out) {
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  if (call(&buf, &size) != 0) return false;
  out.assign(buf, buf + size);
  tjFree(buf);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 100, quality = 62;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--quality") == 0) quality = std::atoi(argv[i + 1]);
  }
  const vl::PixelFrame desktop = vl::test::desktopFrame(1920, 1080);
  vl::PixelFrame scaled;
  vl::BilinearScaler scaler;
  scaler.scale(desktop, 1600, 900, scaled);
  const int w = scaled.width, h = scaled.height;
  tjhandle tj = tjInitCompress();
  tjhandle dec = tjInitDecompress();
  std::vector<unsigned char> y, u, v, planesJpeg, rgbaJpeg;
  rgbaToI420(scaled, y, u, v);
  int strides[3] = {w, (w + 1) / 2, (w + 1) / 2};  // TurboJPEG 2.1 takes them non-const
  // libjpeg-turbo's own conversion gives the bound's planes.
  std::vector<unsigned char> ty(y.size()), tu(u.size()), tv(v.size());
  unsigned char* tplanes[3] = {ty.data(), tu.data(), tv.data()};
  tjEncodeYUVPlanes(tj, scaled.pixels.data(), w, w * 4, h, TJPF_RGBX, tplanes, strides, TJSAMP_420, 0);
  const unsigned char* own[3] = {y.data(), u.data(), v.data()};
  const unsigned char* theirs[3] = {ty.data(), tu.data(), tv.data()};
  std::vector<unsigned char> boundJpeg;

  const auto fromRgba = [&](unsigned char** b, unsigned long* s) {
    return tjCompress2(tj, scaled.pixels.data(), w, w * 4, h, TJPF_RGBX, b, s, TJSAMP_420, quality, 0);
  };
  const auto fromOwn = [&](unsigned char** b, unsigned long* s) {
    return tjCompressFromYUVPlanes(tj, own, w, strides, h, TJSAMP_420, b, s, quality, 0);
  };
  const auto fromTheirs = [&](unsigned char** b, unsigned long* s) {
    return tjCompressFromYUVPlanes(tj, theirs, w, strides, h, TJSAMP_420, b, s, quality, 0);
  };
  const std::vector<double> t = medianMs(runs, {[&] { scaler.scale(desktop, 1600, 900, scaled); },
                                               [&] { compress(fromRgba, rgbaJpeg); },
                                               [&] { compress(fromTheirs, boundJpeg); },
                                               [&] { rgbaToI420(scaled, y, u, v); },
                                               [&] { compress(fromOwn, planesJpeg); }});
  const double scaleMs = t[0], rgbaMs = t[1], boundMs = t[2], planesMs = t[3], ownMs = t[4];
  std::printf("1600x900 q%d 4:2:0, %d runs, CPU ms (median)\n", quality, runs);
  std::printf("scale 1920x1080 -> 1600x900 (RGBA)    %6.3f\n", scaleMs);
  std::printf("encode from RGBA (tjCompress2)        %6.3f  %7zu bytes  PSNR %.2f dB\n", rgbaMs, rgbaJpeg.size(),
              psnr(dec, rgbaJpeg, scaled));
  std::printf("encode from planes (libjpeg's planes) %6.3f  %7zu bytes  PSNR %.2f dB\n", boundMs, boundJpeg.size(),
              psnr(dec, boundJpeg, scaled));
  std::printf("encode from planes (own planes)       %6.3f  %7zu bytes  PSNR %.2f dB\n", ownMs, planesJpeg.size(),
              psnr(dec, planesJpeg, scaled));
  std::printf("RGBA -> I420 pass                     %6.3f\n", planesMs);
  std::printf("most the change can save: %.3f ms per frame (%.1f%% of scale + encode); with the conversion done "
              "by us: %.3f ms\n",
              rgbaMs - boundMs, 100 * (rgbaMs - boundMs) / (scaleMs + rgbaMs), rgbaMs - ownMs - planesMs);
  tjDestroy(tj);
  tjDestroy(dec);
  return 0;
}
