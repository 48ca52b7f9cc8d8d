// AVX2 kernels of the Gaussian blur; scalar twins in GaussianBlur.cpp.
#include "Image/ImageKernels.h"

#include <immintrin.h>

#include <cstring>

namespace Lumetra {
namespace kernels {

namespace {

inline __m256i load8Bytes(const std::uint8_t* p) {
  std::int64_t v;
  std::memcpy(&v, p, sizeof v);
  return _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(v));
}

inline __m256d load4BytesAsDouble(const std::uint8_t* p) {
  std::int32_t v;
  std::memcpy(&v, p, sizeof v);
  return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(v)));
}

}  // namespace

void blurRowFloatAVX2(const std::uint8_t* src, double* tmp, int width, const double* k, int taps) {
  const int r = taps / 2;
  __m256d weight[7];
  for (int i = 0; i < taps; ++i) weight[i] = _mm256_set1_pd(k[i]);
  int x = r;
  // Four pixels per lane group, each pixel's terms added in the scalar order.
  for (; x + 4 <= width - r; x += 4) {
    __m256d acc = _mm256_setzero_pd();
    for (int i = 0; i < taps; ++i) acc = _mm256_add_pd(acc, _mm256_mul_pd(load4BytesAsDouble(src + x - r + i), weight[i]));
    _mm256_storeu_pd(tmp + x, acc);
  }
  for (; x < width - r; ++x) {
    double sum = 0.0;
    for (int i = 0; i < taps; ++i) sum += static_cast<double>(src[x - r + i]) * k[i];
    tmp[x] = sum;
  }
}

void blurColumnFloatAVX2(const double* const* rows, std::uint8_t* dst, int x0, int x1, const double* k, int taps) {
  __m256d weight[7];
  for (int i = 0; i < taps; ++i) weight[i] = _mm256_set1_pd(k[i]);
  int x = x0;
  for (; x + 16 <= x1; x += 16) {
    __m256d acc[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    for (int i = 0; i < taps; ++i) {
      for (int q = 0; q < 4; ++q) {
        acc[q] = _mm256_add_pd(acc[q], _mm256_mul_pd(_mm256_loadu_pd(rows[i] + x + 4 * q), weight[i]));
      }
    }
    const __m128i v0 = _mm256_cvttpd_epi32(acc[0]);
    const __m128i v1 = _mm256_cvttpd_epi32(acc[1]);
    const __m128i v2 = _mm256_cvttpd_epi32(acc[2]);
    const __m128i v3 = _mm256_cvttpd_epi32(acc[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x),
                     _mm_packus_epi16(_mm_packs_epi32(v0, v1), _mm_packs_epi32(v2, v3)));
  }
  for (; x < x1; ++x) {
    double sum = 0.0;
    for (int i = 0; i < taps; ++i) sum += rows[i][x] * k[i];
    dst[x] = static_cast<std::uint8_t>(static_cast<int>(sum));
  }
}

void blurRowFixedAVX2(const std::uint8_t* src, std::int32_t* tmp, int width, const std::int32_t* K, int taps) {
  const int r = taps / 2;
  // Integer sums are exact in any order, so the symmetric taps are paired: s(x - j) + s(x + j).
  __m256i weight[4];
  for (int j = 0; j <= r; ++j) weight[j] = _mm256_set1_epi32(K[r - j]);
  int x = r;
  for (; x + 8 <= width - r; x += 8) {
    __m256i acc = _mm256_mullo_epi32(load8Bytes(src + x), weight[0]);
    for (int j = 1; j <= r; ++j) {
      const __m256i pair = _mm256_add_epi32(load8Bytes(src + x - j), load8Bytes(src + x + j));
      acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(pair, weight[j]));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(tmp + x), _mm256_srai_epi32(acc, 16));
  }
  for (; x < width - r; ++x) {
    std::int32_t sum = 0;
    for (int i = 0; i < taps; ++i) sum += static_cast<std::int32_t>(src[x - r + i]) * K[i];
    tmp[x] = sum >> 16;
  }
}

void blurColumnFixedAVX2(const std::int32_t* const* rows, std::uint8_t* dst, int width, const std::int32_t* K,
                         int taps) {
  const int r = taps / 2;
  __m256i weight[4];
  for (int j = 0; j <= r; ++j) weight[j] = _mm256_set1_epi32(K[r - j]);
  const __m256i half = _mm256_set1_epi32(32768);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    __m256i out[2];
    for (int h = 0; h < 2; ++h) {
      const int at = x + 8 * h;
      __m256i acc = _mm256_add_epi32(half, _mm256_mullo_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r] + at)), weight[0]));
      for (int j = 1; j <= r; ++j) {
        const __m256i pair = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r - j] + at)),
                                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r + j] + at)));
        acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(pair, weight[j]));
      }
      out[h] = _mm256_srai_epi32(acc, 16);
    }
    // The values are at most 255; stored as their low 8 bits like the scalar pass.
    const __m256i mask = _mm256_set1_epi32(0xFF);
    const __m256i words = _mm256_packus_epi32(_mm256_and_si256(out[0], mask), _mm256_and_si256(out[1], mask));
    const __m256i bytes = _mm256_packus_epi16(words, words);
    const __m256i ordered = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm256_castsi256_si128(ordered));
  }
  for (; x < width; ++x) {
    std::int32_t sum = 0;
    for (int i = 0; i < taps; ++i) sum += rows[i][x] * K[i];
    dst[x] = static_cast<std::uint8_t>((sum + 32768) >> 16);
  }
}

}  // namespace kernels
}  // namespace Lumetra
