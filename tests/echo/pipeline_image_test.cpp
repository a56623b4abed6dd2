// Colour conversion, bilinear scaling, the sampled hash and both JPEG
// encoders; no display needed.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "echo/frame_hash.h"
#include "echo/jpeg.h"
#include "echo/pixel_convert.h"
#include "echo/scale.h"
#include "pipeline_test_images.h"

// Counts heap allocations made through operator new while armed. GCC sees
// through the malloc/free pair below and warns about a mismatch that isn't.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<int> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vl {
namespace {

using test::desktopFrame;
using test::randomFrame;
using test::uniformFrame;

// ---- colour conversion ---------------------------------------------------

TEST(PixelConvert, SwapsRedAndBlueAndForcesOpaqueAlphaForAnyWidthAndStride) {
  std::mt19937 rng(99);
  // Padding 0 takes the whole-frame path, 12 the row-by-row one (X images
  // may pad their rows).
  for (const std::size_t padding : {std::size_t{0}, std::size_t{12}}) {
    for (int width : {1, 3, 4, 7, 16, 17, 33, 65}) {
      const int height = 3;
      const std::size_t srcStride = width * 4 + padding;
      const std::size_t dstStride = width * 4;
      std::vector<std::uint8_t> src(srcStride * height), dst(dstStride * height, 0xAB);
      for (auto& b : src) b = static_cast<std::uint8_t>(rng());
      convertBgrxToRgba(src.data(), srcStride, dst.data(), dstStride, width, height);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const std::uint8_t* s = &src[y * srcStride + x * 4];
          const std::uint8_t* d = &dst[y * dstStride + x * 4];
          ASSERT_EQ(d[0], s[2]) << width << "+" << padding << " " << x << "," << y;
          ASSERT_EQ(d[1], s[1]);
          ASSERT_EQ(d[2], s[0]);
          ASSERT_EQ(d[3], 255);
        }
    }
  }
}

// ---- bilinear scaling ----------------------------------------------------

// The exact formula in floating point, one channel at a time.
PixelFrame referenceScale(const PixelFrame& src, int dw, int dh) {
  PixelFrame dst;
  dst.setSize(dw, dh);
  const float rx = static_cast<float>(src.width) / static_cast<float>(dw);
  const float ry = static_cast<float>(src.height) / static_cast<float>(dh);
  auto at = [&](int x, int y, int c) {
    return static_cast<float>(src.pixels[(static_cast<std::size_t>(y) * src.width + x) * 4 + c]);
  };
  for (int j = 0; j < dh; ++j) {
    const float sy = (j + 0.5f) * ry - 0.5f;
    const float y0 = std::floor(sy);
    const float fy = sy - y0;
    const int yu = std::min(std::max(static_cast<int>(y0), 0), src.height - 1);
    const int yl = std::min(std::max(static_cast<int>(y0) + 1, 0), src.height - 1);
    for (int i = 0; i < dw; ++i) {
      const float sx = (i + 0.5f) * rx - 0.5f;
      const float x0 = std::floor(sx);
      const float fx = sx - x0;
      const int xl = std::min(std::max(static_cast<int>(x0), 0), src.width - 1);
      const int xr = std::min(std::max(static_cast<int>(x0) + 1, 0), src.width - 1);
      for (int c = 0; c < 4; ++c) {
        float v = (at(xl, yu, c) * (1 - fx) + at(xr, yu, c) * fx) * (1 - fy) +
                  (at(xl, yl, c) * (1 - fx) + at(xr, yl, c) * fx) * fy + 0.5f;
        v = std::min(std::max(v, 0.0f), 255.0f);
        dst.pixels[(static_cast<std::size_t>(j) * dw + i) * 4 + c] = static_cast<std::uint8_t>(v);
      }
    }
  }
  return dst;
}

// Largest difference of any channel; sizes must match.
int maxDifference(const PixelFrame& a, const PixelFrame& b) {
  if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return 1000;
  int worst = 0;
  for (std::size_t k = 0; k < a.pixels.size(); ++k) worst = std::max(worst, std::abs(a.pixels[k] - b.pixels[k]));
  return worst;
}

TEST(ScaleBilinear, PathsAgreeByteForByteAndStayWithinOneLevelOfTheFormula) {
  struct Case {
    int sw, sh, dw, dh;
  };
  // Down, up, mixed, degenerate strips and the identity; one scaler for
  // all, so stale tables from the previous size pair would show. Widths
  // around the vector steps (8 and 4 pixels) leave every kind of tail.
  const Case cases[] = {{1921, 1081, 1601, 901}, {97, 61, 33, 17},  {13, 7, 41, 29},  {1, 1, 5, 3},
                        {5, 3, 1, 1},            {1, 77, 9, 13},    {77, 1, 13, 9},   {63, 45, 63, 45},
                        {101, 33, 17, 55},       {97, 61, 33, 19},  {97, 63, 33, 19}, {3, 3, 2, 2},
                        {1920, 1080, 1600, 900}, {19, 5, 15, 3},    {9, 9, 7, 7},     {2, 2, 11, 2}};
  // Both the AVX2 code (where the processor has it) and the SSE2 code.
  BilinearScaler scaler, narrow;
  narrow.setWideVectors(false);
  std::uint32_t salt = 1;
  for (const Case& c : cases) {
    const PixelFrame src = randomFrame(c.sw, c.sh, salt++);
    PixelFrame fast, baseline, freeFn;
    ASSERT_TRUE(scaler.scale(src, c.dw, c.dh, fast));
    ASSERT_TRUE(narrow.scale(src, c.dw, c.dh, baseline));
    ASSERT_TRUE(scaleBilinear(src, c.dw, c.dh, freeFn));
    EXPECT_EQ(fast.width, c.dw);
    EXPECT_EQ(fast.height, c.dh);
    const auto size = testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
    EXPECT_TRUE(fast.pixels == baseline.pixels) << size;
    EXPECT_TRUE(freeFn.pixels == fast.pixels) << size;
    EXPECT_LE(maxDifference(fast, referenceScale(src, c.dw, c.dh)), 1) << size;
    if (c.sw == c.dw && c.sh == c.dh) {
      EXPECT_TRUE(fast.pixels == src.pixels) << size;
    }
  }
}

// A captured B, G, R, X picture with padded rows and junk in X, and the
// RGBA frame converting it gives.
struct CapturedRows {
  std::vector<std::uint8_t> bytes;
  std::size_t stride = 0;
  int width = 0, height = 0;
  PixelView view() const { return PixelView{bytes.data(), stride, width, height, true}; }
  PixelFrame converted() const {
    PixelFrame f;
    f.setSize(width, height);
    convertBgrxToRgba(bytes.data(), stride, f.pixels.data(), static_cast<std::size_t>(width) * 4u, width, height);
    return f;
  }
};

CapturedRows capturedRows(int width, int height, std::size_t padding, std::uint32_t pattern) {
  std::mt19937 rng(pattern);
  CapturedRows c;
  c.width = width;
  c.height = height;
  c.stride = static_cast<std::size_t>(width) * 4u + padding;
  c.bytes.resize(c.stride * static_cast<std::size_t>(height));
  for (auto& b : c.bytes) b = static_cast<std::uint8_t>(rng());
  return c;
}

TEST(ScaleBilinear, CapturedRowsScaleExactlyAsConvertingFirstOnEveryPath) {
  struct Case {
    int sw, sh, dw, dh;
    std::size_t padding;
  };
  // Widths around the 4-pixel (SSE2) and 8-pixel (AVX2) steps leave every
  // tail; padded rows as X images may have; up, down and the identity.
  const Case cases[] = {{1921, 1081, 1601, 901, 0}, {3840, 64, 1600, 26, 0}, {97, 61, 33, 17, 12},
                        {13, 7, 41, 29, 4},         {1, 1, 5, 3, 0},         {5, 3, 1, 1, 8},
                        {1, 77, 9, 13, 4},          {77, 1, 13, 9, 0},       {63, 45, 63, 45, 4},
                        {3, 3, 2, 2, 0},            {19, 5, 15, 3, 64},      {9, 9, 7, 7, 0},
                        {17, 11, 5, 4, 4},          {33, 20, 31, 20, 0},     {2, 2, 11, 2, 4}};
  BilinearScaler wide, narrow, rgba;
  narrow.setWideVectors(false);
  std::uint32_t pattern = 40;
  for (const Case& c : cases) {
    const CapturedRows captured = capturedRows(c.sw, c.sh, c.padding, pattern++);
    const auto size = testing::Message() << c.sw << "x" << c.sh << "+" << c.padding << " -> " << c.dw << "x" << c.dh;
    PixelFrame expected, fromWide, fromNarrow;
    ASSERT_TRUE(rgba.scale(captured.converted(), c.dw, c.dh, expected)) << size;
    ASSERT_TRUE(wide.scale(captured.view(), c.dw, c.dh, fromWide)) << size;
    ASSERT_TRUE(narrow.scale(captured.view(), c.dw, c.dh, fromNarrow)) << size;
    EXPECT_TRUE(fromWide.pixels == expected.pixels) << size;
    EXPECT_TRUE(fromNarrow.pixels == expected.pixels) << size;
  }
}

TEST(ScaleBilinear, ChangedAreaOfCapturedRowsGivesTheWholeResult) {
  struct Case {
    int sw, sh, dw, dh;
    PixelRect changed;
  };
  // Corners, edges, one pixel, a full-width band, a rectangle poking out.
  const Case cases[] = {{1921, 1081, 1601, 901, {0, 0, 9, 16}},     {1921, 1081, 1601, 901, {1900, 1060, 21, 21}},
                        {1921, 1081, 1601, 901, {700, 500, 1, 1}},  {97, 61, 33, 17, {0, 20, 97, 3}},
                        {97, 61, 33, 17, {90, 55, 40, 40}},         {13, 7, 41, 29, {5, 2, 3, 3}},
                        {64, 48, 64, 48, {31, 17, 2, 2}},           {3840, 40, 1600, 16, {3830, 0, 10, 40}}};
  for (const bool allowWide : {true, false}) {
    std::uint32_t pattern = 70;
    for (const Case& c : cases) {
      CapturedRows captured = capturedRows(c.sw, c.sh, 8, pattern++);
      BilinearScaler scaler;
      scaler.setWideVectors(allowWide);
      PixelFrame dst;
      ASSERT_TRUE(scaler.scale(captured.view(), c.dw, c.dh, dst));
      // The changed pixels get new values; the result must match scaling
      // the whole new picture.
      std::mt19937 rng(pattern);
      const int x1 = std::min(c.changed.x + c.changed.width, c.sw), y1 = std::min(c.changed.y + c.changed.height, c.sh);
      for (int y = c.changed.y; y < y1; ++y)
        for (int x = c.changed.x; x < x1; ++x)
          for (int k = 0; k < 4; ++k) captured.bytes[y * captured.stride + x * 4u + k] = static_cast<std::uint8_t>(rng());
      ASSERT_TRUE(scaler.scaleArea(captured.view(), dst, c.changed));
      PixelFrame whole;
      ASSERT_TRUE(BilinearScaler().scale(captured.converted(), c.dw, c.dh, whole));
      EXPECT_TRUE(dst.pixels == whole.pixels) << c.sw << "x" << c.sh << " changed at " << c.changed.x << ","
                                              << c.changed.y << (allowWide ? " wide" : " narrow");
    }
  }
}

TEST(ScaleBilinear, ReusedDestinationAndNewSourceContentGiveFreshResults) {
  BilinearScaler scaler;
  PixelFrame dst;
  dst.setSize(500, 500);  // larger than needed: must shrink to the new size
  const PixelFrame a = randomFrame(61, 39, 11), b = randomFrame(61, 39, 12);
  ASSERT_TRUE(scaler.scale(a, 29, 17, dst));
  EXPECT_EQ(dst.pixels.size(), 29u * 17u * 4u);
  ASSERT_TRUE(scaler.scale(b, 29, 17, dst));
  PixelFrame fresh;
  ASSERT_TRUE(BilinearScaler().scale(b, 29, 17, fresh));
  EXPECT_TRUE(dst.pixels == fresh.pixels);
}

TEST(ScaleBilinear, UniformPictureStaysUniform) {
  for (std::uint8_t value : {0, 1, 127, 254, 255}) {
    const PixelFrame src = uniformFrame(333, 187, value, static_cast<std::uint8_t>(255 - value), 77, 255);
    PixelFrame dst;
    ASSERT_TRUE(scaleBilinear(src, 211, 99, dst));
    for (std::size_t i = 0; i < dst.pixels.size(); i += 4) {
      ASSERT_EQ(dst.pixels[i], value);
      ASSERT_EQ(dst.pixels[i + 1], 255 - value);
      ASSERT_EQ(dst.pixels[i + 2], 77);
      ASSERT_EQ(dst.pixels[i + 3], 255);
    }
  }
}

TEST(ScaleBilinear, RejectsEmptyShortSourcesAndEmptyDestinationsLeavingItEmpty) {
  const PixelFrame src = randomFrame(20, 10, 3);
  PixelFrame shortSrc = src;
  shortSrc.pixels.resize(shortSrc.pixels.size() - 1);
  const PixelFrame empty;
  const struct {
    const PixelFrame* source;
    int width, height;
  } cases[] = {{&src, 0, 5}, {&src, 5, 0}, {&src, -3, 5}, {&shortSrc, 5, 5}, {&empty, 5, 5}};
  for (const auto& c : cases) {
    PixelFrame dst = randomFrame(4, 4, 4);
    EXPECT_FALSE(scaleBilinear(*c.source, c.width, c.height, dst)) << c.width << "x" << c.height;
    EXPECT_EQ(dst.width, 0);
    EXPECT_EQ(dst.height, 0);
    EXPECT_TRUE(dst.pixels.empty());
  }
  // Scaling a frame into itself must not read freed pixels.
  PixelFrame self = randomFrame(8, 8, 9);
  EXPECT_FALSE(scaleBilinear(self, 4, 4, self));
  EXPECT_EQ(self.width, 0);
}

// ---- sampled hash --------------------------------------------------------

TEST(FrameHash, Fnv1aMatchesPublishedVectors) {
  EXPECT_EQ(fnv1a64(nullptr, 0), 0xcbf29ce484222325ull);
  const std::uint8_t a[] = {'a'};
  EXPECT_EQ(fnv1a64(a, 1), 0xaf63dc4c8601ec8cull);
  const std::uint8_t foobar[] = {'f', 'o', 'o', 'b', 'a', 'r'};
  EXPECT_EQ(fnv1a64(foobar, 6), 0x85944171f73967e8ull);
}

TEST(FrameHash, SamplesRgbOfAGridWithStepFromTheWidth) {
  // 20 × 10: step 8, columns 0, 8, 16 and rows 0, 8.
  PixelFrame f = randomFrame(20, 10, 21);
  std::vector<std::uint8_t> samples(1000, 0xEE);
  const std::uint64_t hash = sampledFrameHash(f, samples);
  std::vector<std::uint8_t> expected;
  for (int y : {0, 8})
    for (int x : {0, 8, 16})
      for (int c = 0; c < 3; ++c) expected.push_back(f.pixels[(y * 20 + x) * 4 + c]);
  EXPECT_EQ(samples, expected);
  EXPECT_EQ(hash, fnv1a64(expected.data(), expected.size()));

  // 1000 wide: step 15, so 67 columns (0 … 990) and 4 rows (0 … 45).
  PixelFrame wide = randomFrame(1000, 50, 22);
  sampledFrameHash(wide, samples);
  EXPECT_EQ(samples.size(), 67u * 4u * 3u);
  EXPECT_EQ(samples[3 * 66], wide.pixels[990 * 4]);
  EXPECT_EQ(samples[67 * 3], wide.pixels[15 * 1000 * 4]);
}

TEST(FrameHash, SeesSampledPixelsOnlyAndIgnoresAlpha) {
  PixelFrame f = randomFrame(64, 64, 23);
  std::vector<std::uint8_t> samples;
  const std::uint64_t base = sampledFrameHash(f, samples);
  PixelFrame g = f;
  g.pixels[(1 * 64 + 1) * 4] ^= 0xFF;  // (1, 1) lies between grid points
  g.pixels[3] ^= 0xFF;                 // alpha of (0, 0)
  EXPECT_EQ(sampledFrameHash(g, samples), base);
  g.pixels[(8 * 64 + 16) * 4 + 2] ^= 1;  // blue of (16, 8)
  EXPECT_NE(sampledFrameHash(g, samples), base);
  PixelFrame shortFrame = f;
  shortFrame.pixels.resize(10);
  EXPECT_EQ(sampledFrameHash(shortFrame, samples), kFnvOffsetBasis);
  EXPECT_TRUE(samples.empty());
}

// ---- JPEG ----------------------------------------------------------------

struct Decoded {
  bool ok = false;
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

Decoded decodeJpeg(const std::vector<std::uint8_t>& jpeg) {
  Decoded d;
  tjhandle h = tjInitDecompress();
  if (!h) return d;
  int subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &d.width, &d.height, &subsampling, &colorspace) == 0) {
    d.rgb.resize(static_cast<std::size_t>(d.width) * d.height * 3);
    d.ok = tjDecompress2(h, jpeg.data(), jpeg.size(), d.rgb.data(), d.width, 0, d.height, TJPF_RGB, 0) == 0;
  }
  tjDestroy(h);
  return d;
}

double psnrRgb(const PixelFrame& original, const Decoded& decoded) {
  double squared = 0;
  const std::size_t n = static_cast<std::size_t>(original.width) * original.height;
  for (std::size_t i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) {
      const double e = double(original.pixels[i * 4 + c]) - double(decoded.rgb[i * 3 + c]);
      squared += e * e;
    }
  const double mse = squared / (3.0 * n);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

using Encoder = bool (*)(const PixelFrame&, int, std::vector<std::uint8_t>&);

class JpegEncoders : public ::testing::TestWithParam<Encoder> {};

TEST_P(JpegEncoders, DesktopPictureDecodesToTheSameSizeWithGoodFidelity) {
  const PixelFrame frame = desktopFrame(800, 450);
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(GetParam()(frame, 62, out));
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xD8);
  EXPECT_EQ(out[out.size() - 2], 0xFF);
  EXPECT_EQ(out[out.size() - 1], 0xD9);
  const Decoded d = decodeJpeg(out);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 800);
  EXPECT_EQ(d.height, 450);
  const double psnr = psnrRgb(frame, d);
  EXPECT_GT(psnr, 30.0);
  RecordProperty("psnr_q62", std::to_string(psnr));
}

TEST_P(JpegEncoders, QualityIsClampedToOneAndHundred) {
  const PixelFrame frame = desktopFrame(160, 96, 3);
  std::vector<std::uint8_t> low, one, high, hundred, mid;
  ASSERT_TRUE(GetParam()(frame, 0, low));
  ASSERT_TRUE(GetParam()(frame, 1, one));
  ASSERT_TRUE(GetParam()(frame, 150, high));
  ASSERT_TRUE(GetParam()(frame, 100, hundred));
  ASSERT_TRUE(GetParam()(frame, -20, mid));
  EXPECT_EQ(low, one);
  EXPECT_EQ(mid, one);
  EXPECT_EQ(high, hundred);
  EXPECT_NE(one, hundred);
  EXPECT_LT(one.size(), hundred.size());
}

TEST_P(JpegEncoders, RejectsEmptyAndShortFramesAndClearsTheOutput) {
  std::vector<std::uint8_t> out(100, 1);
  PixelFrame empty;
  EXPECT_FALSE(GetParam()(empty, 62, out));
  EXPECT_TRUE(out.empty());
  PixelFrame shortFrame = randomFrame(16, 16, 1);
  shortFrame.pixels.resize(16 * 16 * 4 - 1);
  out.assign(10, 1);
  EXPECT_FALSE(GetParam()(shortFrame, 62, out));
  EXPECT_TRUE(out.empty());
  PixelFrame negative;
  negative.width = -4;
  negative.height = 4;
  EXPECT_FALSE(GetParam()(negative, 62, out));
}

TEST_P(JpegEncoders, TinyAndOddSizesRoundTripAndAlphaIsIgnored) {
  for (auto [w, h] : {std::pair{1, 1}, std::pair{17, 9}, std::pair{3, 250}}) {
    PixelFrame frame = randomFrame(w, h, static_cast<std::uint32_t>(w * h));
    std::vector<std::uint8_t> out, outAlpha;
    ASSERT_TRUE(GetParam()(frame, 80, out)) << w << "x" << h;
    for (std::size_t i = 3; i < frame.pixels.size(); i += 4) frame.pixels[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(GetParam()(frame, 80, outAlpha));
    EXPECT_EQ(out, outAlpha);
    const Decoded d = decodeJpeg(out);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
  }
}

INSTANTIATE_TEST_SUITE_P(Both, JpegEncoders, ::testing::Values(&encodeJpegTurbo, &encodeJpegStb),
                         [](const auto& info) { return info.index == 0 ? "Turbo" : "Stb"; });

TEST(Jpeg, DefaultEncoderIsTheConfiguredOneAndBothGiveComparableSizes) {
  const PixelFrame frame = desktopFrame(640, 360, 9);
  std::vector<std::uint8_t> viaDefault, turbo, stb;
  ASSERT_TRUE(encodeJpeg(frame, 62, viaDefault));
  ASSERT_TRUE(encodeJpegTurbo(frame, 62, turbo));
  ASSERT_TRUE(encodeJpegStb(frame, 62, stb));
  EXPECT_EQ(viaDefault, std::string(jpegEncoderName()) == "stb" ? stb : turbo);
  // Same quality scale and chroma choice: sizes stay close.
  const double ratio = double(turbo.size()) / double(stb.size());
  EXPECT_GT(ratio, 0.6);
  EXPECT_LT(ratio, 1.6);
}

// ---- threads that encode and end ----------------------------------------

// A stream's thread encodes, then ends (the agent's exit). Nothing of an
// encoder may be left to the thread's end: built with mingw-w64, a
// thread_local's destructor runs on storage already freed, and TurboJPEG's
// teardown of a handle read from there faulted the program at exit. Under
// Wine with heap checks (see the CMake list) such a read faults every time.
TEST(Jpeg, ThreadsThatEncodeThenEndLeaveNothingBehind) {
  const PixelFrame frame = desktopFrame(320, 180, 5);
  std::vector<std::uint8_t> expected;
  ASSERT_TRUE(encodeJpeg(frame, 62, expected));
  for (int round = 0; round < 4; ++round) {
    std::vector<std::uint8_t> viaFunction, viaTurbo, viaKept1, viaKept2;
    {
      JpegEncoder kept;  // outlives the thread, as the echo service's does
      std::thread([&] {
        EXPECT_TRUE(encodeJpeg(frame, 62, viaFunction));
        EXPECT_TRUE(encodeJpegTurbo(frame, 62, viaTurbo));
        EXPECT_TRUE(kept.encode(frame, 62, viaKept1));
        EXPECT_TRUE(kept.encode(frame, 62, viaKept2));
      }).join();
    }
    EXPECT_EQ(viaFunction, expected);
    EXPECT_EQ(viaKept1, expected);
    EXPECT_EQ(viaKept2, expected);
    EXPECT_FALSE(viaTurbo.empty());
  }
}

// ---- steady state --------------------------------------------------------

TEST(PipelineSteadyState, RepeatedFramesOfOneSizeAllocateNothing) {
  PixelFrame screen = randomFrame(640, 360, 31);
  PixelFrame captured, scaled;
  std::vector<std::uint8_t> samples, jpegA, jpegB, jpegStb;
  TurboJpegEncoder turbo;
  auto pass = [&] {
    captured.setSize(screen.width, screen.height);
    convertBgrxToRgba(screen.pixels.data(), 640 * 4, captured.pixels.data(), 640 * 4, 640, 360);
    EXPECT_TRUE(scaleBilinear(captured, 500, 280, scaled));
    sampledFrameHash(scaled, samples);
    EXPECT_TRUE(turbo.encode(scaled, 62, jpegA));
    EXPECT_TRUE(encodeJpegStb(scaled, 62, jpegStb));
    std::swap(jpegA, jpegB);
  };
  pass();
  pass();
  pass();
  gAllocations = 0;
  gCountAllocations = true;
  for (int i = 0; i < 3; ++i) pass();
  gCountAllocations = false;
  EXPECT_EQ(gAllocations.load(), 0);
}

}  // namespace
}  // namespace vl
