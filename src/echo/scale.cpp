// Bilinear resampling in fixed point. Along each axis an output coordinate
// maps to s = (i + 0.5) * ratio - 0.5 between source samples lo and lo + 1,
// weighted by w = round(frac(s) * 256) (lo clamped to the edge, w = 0 there).
// Each output row first blends its two source rows over the full width,
//   V = (top * (256 - wy) + bottom * wy + 1) >> 1          (15 bits),
// then each output pixel blends two neighbouring V values,
//   out = (V[lo] * (256 - wx) + V[lo + 1] * wx + 2^14) >> 15,
// which is within one level of the exact formula and exactly the source
// where the grids coincide. A B, G, R, X source is put in R, G, B, 255 order
// as the vertical pass loads it, so the conversion costs no pass of its own. Every path (plain, SSE2, AVX2) computes these
// integers, so they agree byte for byte. Tables are kept per size pair.
#include "echo/scale.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VL_SCALE_AVX2 1
#endif

namespace vl {
namespace {

// Index of the lower source sample and the 8-bit weight of the upper one.
inline void axisTap(int i, double ratio, int srcSize, std::int32_t& lo, std::int32_t& weight) {
  const double s = (static_cast<double>(i) + 0.5) * ratio - 0.5;
  const double s0 = std::floor(s);
  const int i0 = static_cast<int>(s0);
  if (i0 < 0 || i0 + 1 > srcSize - 1) {
    // Past an edge both samples are the edge sample: no blending.
    lo = std::clamp(i0, 0, srcSize - 1);
    weight = 0;
    return;
  }
  lo = i0;
  weight = static_cast<std::int32_t>(std::lround((s - s0) * 256.0));
}

// Byte k of an RGBA pixel from a B, G, R, X source: R, G, B swapped back,
// alpha opaque.
inline std::uint8_t swizzled(const std::uint8_t* p, int k) {
  const int c = k & 3;
  return c == 3 ? 255 : p[(k & ~3) + 2 - c];
}

template <bool Bgrx>
void verticalPlain(const std::uint8_t* top, const std::uint8_t* bottom, int wy, std::int16_t* out, int from,
                   int count) {
  const int w0 = 256 - wy;
  for (int k = from; k < count; ++k) {
    const int t = Bgrx ? swizzled(top, k) : top[k];
    const int b = Bgrx ? swizzled(bottom, k) : bottom[k];
    out[k] = static_cast<std::int16_t>((t * w0 + b * wy + 1) >> 1);
  }
}

void horizontalPlain(const std::int16_t* row, const std::int32_t* offsets, const std::int16_t* weights,
                     std::uint8_t* out, int from, int count) {
  for (int i = from; i < count; ++i) {
    const std::int16_t* a = row + offsets[i];
    const std::int16_t* w = weights + 8 * i;
    for (int c = 0; c < 4; ++c)
      out[4 * i + c] = static_cast<std::uint8_t>((a[c] * w[0] + a[c + 4] * w[1] + (1 << 14)) >> 15);
  }
}

#if defined(__SSE2__)
// Four B, G, R, X pixels as R, G, B, 255 (shifts and masks on whole pixels).
inline __m128i swizzleSse2(__m128i v) {
  const __m128i low = _mm_set1_epi32(0xFF), green = _mm_set1_epi32(0xFF00);
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  const __m128i rb = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low), _mm_slli_epi32(_mm_and_si128(v, low), 16));
  return _mm_or_si128(_mm_or_si128(rb, _mm_and_si128(v, green)), opaque);
}

template <bool Bgrx>
inline __m128i loadPixels(const std::uint8_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return Bgrx ? swizzleSse2(v) : v;
}

template <bool Bgrx>
void verticalSse2(const std::uint8_t* top, const std::uint8_t* bottom, int wy, std::int16_t* out, int count) {
  const __m128i vw0 = _mm_set1_epi16(static_cast<short>(256 - wy)), vw1 = _mm_set1_epi16(static_cast<short>(wy));
  const __m128i one = _mm_set1_epi16(1), zero = _mm_setzero_si128();
  int k = 0;
  for (; k + 16 <= count; k += 16) {
    const __m128i t = loadPixels<Bgrx>(top + k);
    const __m128i b = loadPixels<Bgrx>(bottom + k);
    auto blend = [&](__m128i t16, __m128i b16) {
      const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(t16, vw0), _mm_mullo_epi16(b16, vw1));
      return _mm_srli_epi16(_mm_add_epi16(sum, one), 1);  // unsigned: the sum can pass 32767
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k),
                     blend(_mm_unpacklo_epi8(t, zero), _mm_unpacklo_epi8(b, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 8),
                     blend(_mm_unpackhi_epi8(t, zero), _mm_unpackhi_epi8(b, zero)));
  }
  verticalPlain<Bgrx>(top, bottom, wy, out, k, count);
}

// One pixel: eight V values (lo's channels, then lo + 1's) paired per
// channel and multiplied-added with (256 - wx, wx).
inline __m128i blendPixelSse2(const std::int16_t* row, std::int32_t offset, const std::int16_t* weights) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + offset));
  const __m128i pairs = _mm_unpacklo_epi16(v, _mm_srli_si128(v, 8));
  const __m128i sum = _mm_madd_epi16(pairs, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights)));
  return _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << 14)), 15);
}

void horizontalSse2(const std::int16_t* row, const std::int32_t* offsets, const std::int16_t* weights,
                    std::uint8_t* out, int count) {
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128i p01 = _mm_packs_epi32(blendPixelSse2(row, offsets[i], weights + 8 * i),
                                        blendPixelSse2(row, offsets[i + 1], weights + 8 * (i + 1)));
    const __m128i p23 = _mm_packs_epi32(blendPixelSse2(row, offsets[i + 2], weights + 8 * (i + 2)),
                                        blendPixelSse2(row, offsets[i + 3], weights + 8 * (i + 3)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_packus_epi16(p01, p23));
  }
  horizontalPlain(row, offsets, weights, out, i, count);
}
#endif

#if defined(VL_SCALE_AVX2)
template <bool Bgrx>
__attribute__((target("avx2"))) void verticalAvx2(const std::uint8_t* top, const std::uint8_t* bottom, int wy,
                                                    std::int16_t* out, int count) {
  const __m256i vw0 = _mm256_set1_epi16(static_cast<short>(256 - wy));
  const __m256i vw1 = _mm256_set1_epi16(static_cast<short>(wy));
  const __m256i one = _mm256_set1_epi16(1);
  int k = 0;
  for (; k + 16 <= count; k += 16) {
    const __m256i t = _mm256_cvtepu8_epi16(loadPixels<Bgrx>(top + k));
    const __m256i b = _mm256_cvtepu8_epi16(loadPixels<Bgrx>(bottom + k));
    const __m256i sum = _mm256_add_epi16(_mm256_mullo_epi16(t, vw0), _mm256_mullo_epi16(b, vw1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_srli_epi16(_mm256_add_epi16(sum, one), 1));
  }
  verticalPlain<Bgrx>(top, bottom, wy, out, k, count);
}

// Two pixels, one per 128-bit lane.
__attribute__((target("avx2"))) inline __m256i blendPixelsAvx2(const std::int16_t* row, const std::int32_t* offsets,
                                                                 const std::int16_t* weights) {
  const __m256i v = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + offsets[0]))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + offsets[1])), 1);
  const __m256i pairs = _mm256_unpacklo_epi16(v, _mm256_srli_si256(v, 8));
  const __m256i sum = _mm256_madd_epi16(pairs, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights)));
  return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << 14)), 15);
}

__attribute__((target("avx2"))) void horizontalAvx2(const std::int16_t* row, const std::int32_t* offsets,
                                                      const std::int16_t* weights, std::uint8_t* out, int count) {
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    // Lanes hold pixels (0,1) (2,3) (4,5) (6,7); packing works within lanes,
    // so the result comes out as 0 2 4 6 1 3 5 7 and the permute restores it.
    const __m256i a = _mm256_packs_epi32(blendPixelsAvx2(row, offsets + i, weights + 8 * i),
                                         blendPixelsAvx2(row, offsets + i + 2, weights + 8 * (i + 2)));
    const __m256i b = _mm256_packs_epi32(blendPixelsAvx2(row, offsets + i + 4, weights + 8 * (i + 4)),
                                         blendPixelsAvx2(row, offsets + i + 6, weights + 8 * (i + 6)));
    const __m256i packed = _mm256_packus_epi16(a, b);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_permutevar8x32_epi32(packed, order));
  }
  horizontalSse2(row, offsets + i, weights + 8 * i, out + 4 * i, count - i);
}
#endif

bool cpuHasAvx2() {
#if defined(VL_SCALE_AVX2)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

}  // namespace

void BilinearScaler::prepare(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
  if (srcWidth != srcWidth_ || dstWidth != dstWidth_) {
    const double rx = static_cast<double>(srcWidth) / static_cast<double>(dstWidth);
    const auto n = static_cast<std::size_t>(dstWidth);
    colOffset_.resize(n);
    colWeights_.resize(n * 8u);
    for (int i = 0; i < dstWidth; ++i) {
      std::int32_t lo = 0, w = 0;
      axisTap(i, rx, srcWidth, lo, w);
      colOffset_[i] = lo * 4;
      for (int c = 0; c < 4; ++c) {
        colWeights_[8 * i + 2 * c] = static_cast<std::int16_t>(256 - w);
        colWeights_[8 * i + 2 * c + 1] = static_cast<std::int16_t>(w);
      }
    }
    // One pixel more than the source: the upper neighbour of the last
    // column is read (with weight 0) and must exist.
    blended_.assign((static_cast<std::size_t>(srcWidth) + 1u) * 4u, 0);
  }
  if (srcHeight != srcHeight_ || dstHeight != dstHeight_) {
    const double ry = static_cast<double>(srcHeight) / static_cast<double>(dstHeight);
    const auto n = static_cast<std::size_t>(dstHeight);
    rowTop_.resize(n);
    rowWeight_.resize(n);
    for (int j = 0; j < dstHeight; ++j) axisTap(j, ry, srcHeight, rowTop_[j], rowWeight_[j]);
  }
  srcWidth_ = srcWidth;
  srcHeight_ = srcHeight;
  dstWidth_ = dstWidth;
  dstHeight_ = dstHeight;
}

bool BilinearScaler::scale(const PixelFrame& src, int dstWidth, int dstHeight, PixelFrame& dst) {
  dst.clear();  // first: a frame scaled into itself reads as empty
  return scale(PixelView::of(src), dstWidth, dstHeight, dst);
}

bool BilinearScaler::scale(const PixelView& src, int dstWidth, int dstHeight, PixelFrame& dst) {
  dst.clear();
  if (src.empty() || src.stride < static_cast<std::size_t>(src.width) * 4u || dstWidth < 1 || dstHeight < 1)
    return false;
  dst.setSize(dstWidth, dstHeight);
  prepare(src.width, src.height, dstWidth, dstHeight);

  blend(src, dst, 0, dstHeight, 0, dstWidth, 0, src.width * 4);
  return true;
}

bool BilinearScaler::scaleArea(const PixelFrame& src, PixelFrame& dst, const PixelRect& changed) {
  return scaleArea(PixelView::of(src), dst, changed);
}

bool BilinearScaler::scaleArea(const PixelView& src, PixelFrame& dst, const PixelRect& changed) {
  if (src.empty() || src.width != srcWidth_ || src.height != srcHeight_ || dst.width != dstWidth_ ||
      dst.height != dstHeight_ || dstWidth_ < 1 || dstHeight_ < 1 || src.stride < static_cast<std::size_t>(src.width) * 4u)
    return false;
  const std::size_t dstBytes = static_cast<std::size_t>(dstWidth_) * static_cast<std::size_t>(dstHeight_) * 4u;
  if (dst.pixels.size() < dstBytes) return false;
  const std::int32_t x0 = std::max(changed.x, 0), y0 = std::max(changed.y, 0);
  const std::int32_t x1 = std::min(changed.x + changed.width, src.width);
  const std::int32_t y1 = std::min(changed.y + changed.height, src.height);
  if (x1 <= x0 || y1 <= y0) return true;
  // An output sample reads source samples lo and lo + 1: it is touched when
  // that pair meets the changed span. The tables are sorted.
  const auto first = [](const std::vector<std::int32_t>& lo, int scale, std::int32_t from) {
    return static_cast<int>(std::lower_bound(lo.begin(), lo.end(), (from - 1) * scale) - lo.begin());
  };
  const auto end = [](const std::vector<std::int32_t>& lo, int scale, std::int32_t to) {
    return static_cast<int>(std::upper_bound(lo.begin(), lo.end(), (to - 1) * scale) - lo.begin());
  };
  const int j0 = first(rowTop_, 1, y0), j1 = end(rowTop_, 1, y1);
  const int i0 = first(colOffset_, 4, x0), i1 = end(colOffset_, 4, x1);
  if (j1 <= j0 || i1 <= i0) return true;
  // The blended values those columns read: their pixel pairs.
  const int v0 = colOffset_[static_cast<std::size_t>(i0)];
  const int v1 = std::min(colOffset_[static_cast<std::size_t>(i1 - 1)] + 8, src.width * 4);
  blend(src, dst, j0, j1, i0, i1, v0, v1);
  return true;
}

void BilinearScaler::blend(const PixelView& src, PixelFrame& dst, int j0, int j1, int i0, int i1, int v0, int v1) {
  const std::size_t srcStride = src.stride;
  const std::size_t dstStride = static_cast<std::size_t>(dst.width) * 4u;
  const int values = v1 - v0;
  const int count = i1 - i0;
  const std::int32_t* offsets = colOffset_.data() + i0;
  const std::int16_t* weights = colWeights_.data() + 8 * static_cast<std::size_t>(i0);
  [[maybe_unused]] const bool wide = wideAllowed_ && cpuHasAvx2();
  const bool bgrx = src.bgrx;
  std::int16_t* v = blended_.data();
  for (int j = j0; j < j1; ++j) {
    const std::int32_t top = rowTop_[j];
    const std::int32_t wy = rowWeight_[j];
    const std::uint8_t* t = src.data + static_cast<std::size_t>(top) * srcStride;
    const std::uint8_t* b = wy ? t + srcStride : t;
    std::uint8_t* out = dst.pixels.data() + static_cast<std::size_t>(j) * dstStride + 4u * static_cast<std::size_t>(i0);
#if defined(VL_SCALE_AVX2)
    if (wide) {
      if (bgrx) {
        verticalAvx2<true>(t + v0, b + v0, wy, v + v0, values);
      } else {
        verticalAvx2<false>(t + v0, b + v0, wy, v + v0, values);
      }
      horizontalAvx2(v, offsets, weights, out, count);
      continue;
    }
#endif
#if defined(__SSE2__)
    if (bgrx) {
      verticalSse2<true>(t + v0, b + v0, wy, v + v0, values);
    } else {
      verticalSse2<false>(t + v0, b + v0, wy, v + v0, values);
    }
    horizontalSse2(v, offsets, weights, out, count);
#else
    if (bgrx) {
      verticalPlain<true>(t + v0, b + v0, wy, v + v0, 0, values);
    } else {
      verticalPlain<false>(t + v0, b + v0, wy, v + v0, 0, values);
    }
    horizontalPlain(v, offsets, weights, out, 0, count);
#endif
  }
}

bool scaleBilinear(const PixelFrame& src, int dstWidth, int dstHeight, PixelFrame& dst) {
  thread_local BilinearScaler scaler;
  return scaler.scale(src, dstWidth, dstHeight, dst);
}

}  // namespace vl
