// Bilinear resampling. Per output channel the value is
//   (ul*(1-fx) + ur*fx)*(1-fy) + (ll*(1-fx) + lr*fx)*fy + 0.5
// in single precision, clamped to 0..255 and truncated. The two inner sums
// depend only on (source row, output column), so each needed source row is
// blended horizontally once into a float row (the same float operations, so
// the same values), and every output row is a branch-free vertical blend of
// two such rows. Indices and weights are computed once per size pair.
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

// Index and weights of one output coordinate along an axis.
inline void axisTap(int i, float ratio, int srcSize, std::int32_t& lo, std::int32_t& hi, float& w0, float& w1) {
  const float s = (static_cast<float>(i) + 0.5f) * ratio - 0.5f;
  const float s0 = std::floor(s);
  const float f = s - s0;
  const int i0 = static_cast<int>(s0);
  lo = std::clamp(i0, 0, srcSize - 1);
  hi = std::clamp(i0 + 1, 0, srcSize - 1);
  w0 = 1.0f - f;
  w1 = f;
}

void verticalRow(const float* __restrict top, const float* __restrict bottom, float w0, float w1,
                 std::uint8_t* __restrict out, int count) {
  int k = 0;
#if defined(__SSE2__)
  const __m128 vw0 = _mm_set1_ps(w0), vw1 = _mm_set1_ps(w1);
  const __m128 half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps(), max = _mm_set1_ps(255.0f);
  auto blend4 = [&](int at) {
    __m128 v = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(top + at), vw0), _mm_mul_ps(_mm_loadu_ps(bottom + at), vw1));
    v = _mm_add_ps(v, half);
    v = _mm_min_ps(_mm_max_ps(v, zero), max);
    return _mm_cvttps_epi32(v);
  };
  for (; k + 16 <= count; k += 16) {
    const __m128i a = _mm_packs_epi32(blend4(k), blend4(k + 4));
    const __m128i b = _mm_packs_epi32(blend4(k + 8), blend4(k + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(a, b));
  }
  for (; k + 4 <= count; k += 4) {
    const __m128i a = _mm_packs_epi32(blend4(k), _mm_setzero_si128());
    const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(a, a));
    std::memcpy(out + k, &packed, 4);
  }
#endif
  for (; k < count; ++k) {
    float v = top[k] * w0 + bottom[k] * w1 + 0.5f;
    v = std::min(std::max(v, 0.0f), 255.0f);
    out[k] = static_cast<std::uint8_t>(static_cast<int>(v));
  }
}


#if defined(VL_SCALE_AVX2)
// The same operations eight lanes at a time (two pixels horizontally, eight
// channels vertically); no FMA, so every lane rounds exactly as above.
__attribute__((target("avx2"))) void horizontalRowAvx2(const std::uint8_t* srcRow, const std::int32_t* left,
                                                         const std::int32_t* right, const float* w0x4,
                                                         const float* w1x4, float* out, int n) {
  int i = 0;
  for (; i + 2 <= n; i += 2) {
    std::int32_t a0, a1, b0, b1;
    std::memcpy(&a0, srcRow + left[i], 4);
    std::memcpy(&a1, srcRow + left[i + 1], 4);
    std::memcpy(&b0, srcRow + right[i], 4);
    std::memcpy(&b1, srcRow + right[i + 1], 4);
    const __m256 fa = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_insert_epi32(_mm_cvtsi32_si128(a0), a1, 1)));
    const __m256 fb = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_insert_epi32(_mm_cvtsi32_si128(b0), b1, 1)));
    const __m256 r = _mm256_add_ps(_mm256_mul_ps(fa, _mm256_loadu_ps(w0x4 + 4 * i)),
                                   _mm256_mul_ps(fb, _mm256_loadu_ps(w1x4 + 4 * i)));
    _mm256_storeu_ps(out + 4 * i, r);
  }
  for (; i < n; ++i) {
    const std::uint8_t* a = srcRow + left[i];
    const std::uint8_t* b = srcRow + right[i];
    for (int c = 0; c < 4; ++c)
      out[4 * i + c] = static_cast<float>(a[c]) * w0x4[4 * i] + static_cast<float>(b[c]) * w1x4[4 * i];
  }
}

__attribute__((target("avx2"))) void verticalRowAvx2(const float* __restrict top, const float* __restrict bottom,
                                                       float w0, float w1, std::uint8_t* __restrict out,
                                                       int count) {
  const __m256 vw0 = _mm256_set1_ps(w0), vw1 = _mm256_set1_ps(w1);
  const __m256 half = _mm256_set1_ps(0.5f), zero = _mm256_setzero_ps(), max = _mm256_set1_ps(255.0f);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  int k = 0;
  for (; k + 32 <= count; k += 32) {
    __m256i v[4];
    for (int q = 0; q < 4; ++q) {
      __m256 x = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(top + k + 8 * q), vw0),
                               _mm256_mul_ps(_mm256_loadu_ps(bottom + k + 8 * q), vw1));
      x = _mm256_add_ps(x, half);
      v[q] = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(x, zero), max));
    }
    // Packing works within 128-bit lanes; the permute restores memory order.
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(v[0], v[1]), _mm256_packs_epi32(v[2], v[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_permutevar8x32_epi32(packed, order));
  }
  verticalRow(top + k, bottom + k, w0, w1, out + k, count - k);
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
    const float rx = static_cast<float>(srcWidth) / static_cast<float>(dstWidth);
    const auto n = static_cast<std::size_t>(dstWidth);
    colLeft_.resize(n);
    colRight_.resize(n);
    colW0x4_.resize(n * 4u);
    colW1x4_.resize(n * 4u);
    for (int i = 0; i < dstWidth; ++i) {
      float w0 = 0, w1 = 0;
      axisTap(i, rx, srcWidth, colLeft_[i], colRight_[i], w0, w1);
      colLeft_[i] *= 4;
      colRight_[i] *= 4;
      for (int c = 0; c < 4; ++c) {
        colW0x4_[4 * i + c] = w0;
        colW1x4_[4 * i + c] = w1;
      }
    }
    for (auto& row : rowBuf_) row.resize(n * 4u);
  }
  if (srcHeight != srcHeight_ || dstHeight != dstHeight_) {
    const float ry = static_cast<float>(srcHeight) / static_cast<float>(dstHeight);
    const auto n = static_cast<std::size_t>(dstHeight);
    rowTop_.resize(n);
    rowBottom_.resize(n);
    rowW0_.resize(n);
    rowW1_.resize(n);
    for (int j = 0; j < dstHeight; ++j) axisTap(j, ry, srcHeight, rowTop_[j], rowBottom_[j], rowW0_[j], rowW1_[j]);
  }
  srcWidth_ = srcWidth;
  srcHeight_ = srcHeight;
  dstWidth_ = dstWidth;
  dstHeight_ = dstHeight;
}

void BilinearScaler::horizontalRow(const std::uint8_t* srcRow, float* out) const {
  const int n = dstWidth_;
  const std::int32_t* left = colLeft_.data();
  const std::int32_t* right = colRight_.data();
  const float* w0 = colW0x4_.data();
  const float* w1 = colW1x4_.data();
#if defined(VL_SCALE_AVX2)
  if (wideAllowed_ && cpuHasAvx2()) return horizontalRowAvx2(srcRow, left, right, w0, w1, out, n);
#endif
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < n; ++i) {
    std::int32_t a, b;
    std::memcpy(&a, srcRow + left[i], 4);
    std::memcpy(&b, srcRow + right[i], 4);
    const __m128i ab = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b)), zero);
    const __m128 fa = _mm_cvtepi32_ps(_mm_unpacklo_epi16(ab, zero));
    const __m128 fb = _mm_cvtepi32_ps(_mm_unpackhi_epi16(ab, zero));
    _mm_storeu_ps(out + 4 * i,
                  _mm_add_ps(_mm_mul_ps(fa, _mm_loadu_ps(w0 + 4 * i)), _mm_mul_ps(fb, _mm_loadu_ps(w1 + 4 * i))));
  }
#else
  for (int i = 0; i < n; ++i) {
    const std::uint8_t* a = srcRow + left[i];
    const std::uint8_t* b = srcRow + right[i];
    for (int c = 0; c < 4; ++c)
      out[4 * i + c] = static_cast<float>(a[c]) * w0[4 * i] + static_cast<float>(b[c]) * w1[4 * i];
  }
#endif
}

bool BilinearScaler::scale(const PixelFrame& src, int dstWidth, int dstHeight, PixelFrame& dst) {
  dst.clear();
  if (src.width < 1 || src.height < 1 || dstWidth < 1 || dstHeight < 1) return false;
  const std::size_t srcBytes = static_cast<std::size_t>(src.width) * static_cast<std::size_t>(src.height) * 4u;
  if (src.pixels.size() < srcBytes) return false;
  dst.setSize(dstWidth, dstHeight);
  prepare(src.width, src.height, dstWidth, dstHeight);

  // The two row buffers hold blended source rows of this call only.
  rowBufSource_[0] = rowBufSource_[1] = -1;
  const std::size_t srcStride = static_cast<std::size_t>(src.width) * 4u;
  const std::size_t dstStride = static_cast<std::size_t>(dstWidth) * 4u;
  auto rowFor = [&](std::int32_t sourceRow, int keep) -> int {
    for (int s = 0; s < 2; ++s)
      if (rowBufSource_[s] == sourceRow) return s;
    const int slot = (keep == 0) ? 1 : (keep == 1 ? 0 : (rowBufSource_[0] < rowBufSource_[1] ? 0 : 1));
    horizontalRow(src.pixels.data() + static_cast<std::size_t>(sourceRow) * srcStride, rowBuf_[slot].data());
    rowBufSource_[slot] = sourceRow;
    return slot;
  };
  [[maybe_unused]] const bool wide = wideAllowed_ && cpuHasAvx2();
  for (int j = 0; j < dstHeight; ++j) {
    const int top = rowFor(rowTop_[j], -1);
    const int bottom = rowFor(rowBottom_[j], top);
    std::uint8_t* out = dst.pixels.data() + static_cast<std::size_t>(j) * dstStride;
#if defined(VL_SCALE_AVX2)
    if (wide) {
      verticalRowAvx2(rowBuf_[top].data(), rowBuf_[bottom].data(), rowW0_[j], rowW1_[j], out, dstWidth * 4);
      continue;
    }
#endif
    verticalRow(rowBuf_[top].data(), rowBuf_[bottom].data(), rowW0_[j], rowW1_[j], out, dstWidth * 4);
  }
  return true;
}

bool scaleBilinear(const PixelFrame& src, int dstWidth, int dstHeight, PixelFrame& dst) {
  thread_local BilinearScaler scaler;
  return scaler.scale(src, dstWidth, dstHeight, dst);
}

}  // namespace vl
