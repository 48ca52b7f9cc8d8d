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

}  // namespace

namespace {

// Float row pass with the taps known at compile time (taps = 2R + 1).
template <int R>
void blurRowFloat(const double* scratch, double* tmp, int width, const double* k) {
  constexpr int kTaps = 2 * R + 1;
  __m256d weight[kTaps];
  for (int i = 0; i < kTaps; ++i) weight[i] = _mm256_set1_pd(k[i]);
  int x = R;
  // Four pixels per vector, each pixel's terms added in the scalar order. The scalar sum starts
  // at 0.0, and 0.0 + p == p for the non-negative first product, so the sum starts at p.
  bool symmetric = true;
  for (int i = 0; i < R; ++i) symmetric = symmetric && k[i] == k[kTaps - 1 - i];
  if constexpr (R >= 2) {
    if (symmetric && x + 16 <= width - R) {
      // Term R + 2 of the block at x is s(x + 2) k[R + 2], and with symmetric weights that is
      // term R - 2 of the block at x + 4: the product is made once and carried over.
      __m256d carried = _mm256_mul_pd(_mm256_loadu_pd(scratch + x - 2), weight[R - 2]);
      for (; x + 16 <= width - R; x += 16) {
        for (int q = 0; q < 4; ++q) {
          const double* s = scratch + x + 4 * q - R;
          __m256d acc = R == 2 ? carried : _mm256_mul_pd(_mm256_loadu_pd(s), weight[0]);
          for (int i = 1; i < kTaps; ++i) {
            __m256d term;
            if (i == R - 2) {
              term = carried;
            } else if (i == R + 2) {
              term = _mm256_mul_pd(_mm256_loadu_pd(s + i), weight[i]);
              carried = term;
            } else {
              term = _mm256_mul_pd(_mm256_loadu_pd(s + i), weight[i]);
            }
            acc = _mm256_add_pd(acc, term);
          }
          _mm256_storeu_pd(tmp + x + 4 * q, acc);
        }
      }
    }
  }
  for (; x + 16 <= width - R; x += 16) {
    const double* s = scratch + x - R;
    __m256d acc[4];
    for (int q = 0; q < 4; ++q) acc[q] = _mm256_mul_pd(_mm256_loadu_pd(s + 4 * q), weight[0]);
    for (int i = 1; i < kTaps; ++i) {
      for (int q = 0; q < 4; ++q) {
        acc[q] = _mm256_add_pd(acc[q], _mm256_mul_pd(_mm256_loadu_pd(s + i + 4 * q), weight[i]));
      }
    }
    for (int q = 0; q < 4; ++q) _mm256_storeu_pd(tmp + x + 4 * q, acc[q]);
  }
  for (; x + 4 <= width - R; x += 4) {
    const double* s = scratch + x - R;
    __m256d acc = _mm256_mul_pd(_mm256_loadu_pd(s), weight[0]);
    for (int i = 1; i < kTaps; ++i) acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_loadu_pd(s + i), weight[i]));
    _mm256_storeu_pd(tmp + x, acc);
  }
  for (; x < width - R; ++x) {
    double sum = 0.0;
    for (int i = 0; i < kTaps; ++i) sum += scratch[x - R + i] * k[i];
    tmp[x] = sum;
  }
}

// Float column pass with the taps known at compile time.
template <int R>
void blurColumnFloat(const double* const* rows, std::uint8_t* dst, int x0, int x1, const double* k) {
  constexpr int kTaps = 2 * R + 1;
  __m256d weight[kTaps];
  for (int i = 0; i < kTaps; ++i) weight[i] = _mm256_set1_pd(k[i]);
  const double* row[kTaps];
  for (int i = 0; i < kTaps; ++i) row[i] = rows[i];
  int x = x0;
  for (; x + 16 <= x1; x += 16) {
    // The intermediate values are non-negative: starting from the first product equals 0.0 + it.
    __m256d acc[4];
    for (int q = 0; q < 4; ++q) acc[q] = _mm256_mul_pd(_mm256_loadu_pd(row[0] + x + 4 * q), weight[0]);
    for (int i = 1; i < kTaps; ++i) {
      for (int q = 0; q < 4; ++q) {
        acc[q] = _mm256_add_pd(acc[q], _mm256_mul_pd(_mm256_loadu_pd(row[i] + x + 4 * q), weight[i]));
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
    for (int i = 0; i < kTaps; ++i) sum += row[i][x] * k[i];
    dst[x] = static_cast<std::uint8_t>(static_cast<int>(sum));
  }
}

// Float column pass of two output rows at once: rows[0 .. 2R] feed the first, rows[1 .. 2R + 1]
// the second, so each loaded intermediate vector serves both.
template <int R>
void blurColumnFloatPair(const double* const* rows, std::uint8_t* dst0, std::uint8_t* dst1, int x0, int x1,
                         const double* k) {
  constexpr int kTaps = 2 * R + 1;
  __m256d weight[kTaps];
  for (int i = 0; i < kTaps; ++i) weight[i] = _mm256_set1_pd(k[i]);
  const double* row[kTaps + 1];
  for (int i = 0; i <= kTaps; ++i) row[i] = rows[i];
  auto store = [](std::uint8_t* d, const __m256d* acc) {
    const __m128i v0 = _mm256_cvttpd_epi32(acc[0]);
    const __m128i v1 = _mm256_cvttpd_epi32(acc[1]);
    const __m128i v2 = _mm256_cvttpd_epi32(acc[2]);
    const __m128i v3 = _mm256_cvttpd_epi32(acc[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_packus_epi16(_mm_packs_epi32(v0, v1), _mm_packs_epi32(v2, v3)));
  };
  int x = x0;
  for (; x + 16 <= x1; x += 16) {
    // Each sum starts from its first product (0.0 + p == p for these non-negative values) and
    // adds the others in tap order.
    __m256d a[4], b[4];
    for (int q = 0; q < 4; ++q) {
      const __m256d v = _mm256_loadu_pd(row[0] + x + 4 * q);
      a[q] = _mm256_mul_pd(v, weight[0]);
    }
    for (int q = 0; q < 4; ++q) {
      const __m256d v = _mm256_loadu_pd(row[1] + x + 4 * q);
      a[q] = _mm256_add_pd(a[q], _mm256_mul_pd(v, weight[1]));
      b[q] = _mm256_mul_pd(v, weight[0]);
    }
    for (int i = 2; i < kTaps; ++i) {
      for (int q = 0; q < 4; ++q) {
        const __m256d v = _mm256_loadu_pd(row[i] + x + 4 * q);
        a[q] = _mm256_add_pd(a[q], _mm256_mul_pd(v, weight[i]));
        b[q] = _mm256_add_pd(b[q], _mm256_mul_pd(v, weight[i - 1]));
      }
    }
    for (int q = 0; q < 4; ++q) {
      const __m256d v = _mm256_loadu_pd(row[kTaps] + x + 4 * q);
      b[q] = _mm256_add_pd(b[q], _mm256_mul_pd(v, weight[kTaps - 1]));
    }
    store(dst0 + x, a);
    store(dst1 + x, b);
  }
  if (x < x1) {
    blurColumnFloat<R>(row, dst0, x, x1, k);
    blurColumnFloat<R>(row + 1, dst1, x, x1, k);
  }
}

}  // namespace

void blurColumnFloatPairAVX2(const double* const* rows, std::uint8_t* dst0, std::uint8_t* dst1, int x0, int x1,
                             const double* k, int taps) {
  switch (taps) {
    case 3: blurColumnFloatPair<1>(rows, dst0, dst1, x0, x1, k); break;
    case 5: blurColumnFloatPair<2>(rows, dst0, dst1, x0, x1, k); break;
    case 7: blurColumnFloatPair<3>(rows, dst0, dst1, x0, x1, k); break;
    default: break;
  }
}

void blurRowFloatAVX2(const std::uint8_t* src, double* tmp, int width, const double* k, int taps, double* scratch) {
  // The row as doubles once, so that each tap is one load. A byte v is converted exactly as
  // (2^52 + v) - 2^52: its bits are put in the mantissa of 2^52 and 2^52 is subtracted.
  const __m256i magicBits = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256d magic = _mm256_castsi256_pd(magicBits);
  int c = 0;
  for (; c + 8 <= width; c += 8) {
    std::int32_t lo, hi;
    std::memcpy(&lo, src + c, sizeof lo);
    std::memcpy(&hi, src + c + 4, sizeof hi);
    const __m256i a = _mm256_or_si256(_mm256_cvtepu8_epi64(_mm_cvtsi32_si128(lo)), magicBits);
    const __m256i b = _mm256_or_si256(_mm256_cvtepu8_epi64(_mm_cvtsi32_si128(hi)), magicBits);
    _mm256_storeu_pd(scratch + c, _mm256_sub_pd(_mm256_castsi256_pd(a), magic));
    _mm256_storeu_pd(scratch + c + 4, _mm256_sub_pd(_mm256_castsi256_pd(b), magic));
  }
  for (; c < width; ++c) scratch[c] = static_cast<double>(src[c]);
  switch (taps) {
    case 3: blurRowFloat<1>(scratch, tmp, width, k); break;
    case 5: blurRowFloat<2>(scratch, tmp, width, k); break;
    case 7: blurRowFloat<3>(scratch, tmp, width, k); break;
    default: break;
  }
}

void blurColumnFloatAVX2(const double* const* rows, std::uint8_t* dst, int x0, int x1, const double* k, int taps) {
  switch (taps) {
    case 3: blurColumnFloat<1>(rows, dst, x0, x1, k); break;
    case 5: blurColumnFloat<2>(rows, dst, x0, x1, k); break;
    case 7: blurColumnFloat<3>(rows, dst, x0, x1, k); break;
    default: break;
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

namespace {

// Fixed-point sums of 16 pixels from 16-bit terms. Each multiply-add takes two terms per pixel
// with their two 16-bit weights and adds both products into the pixel's 32-bit lane. The
// symmetric taps are paired (v(x - j) + v(x + j), at most 510) and the centre term, whose weight
// may not fit a signed 16-bit factor, is taken twice with the two halves of its weight. Integer
// sums are exact, so this grouping gives the scalar sums.
template <int R>
struct PackedWeights {
  static constexpr int kTerms = R + 2;  // R pairs, the centre twice
  static constexpr int kSteps = (kTerms + 1) / 2;
  __m256i step[kSteps];  // weights of terms 2m and 2m + 1 in the low and high 16 bits

  explicit PackedWeights(const std::int32_t* K) {
    std::int32_t w[2 * kSteps] = {};
    for (int j = 1; j <= R; ++j) w[j - 1] = K[R - j];
    w[R] = K[R] / 2;
    w[R + 1] = K[R] - K[R] / 2;
    for (int m = 0; m < kSteps; ++m) step[m] = _mm256_set1_epi32((w[2 * m] & 0xFFFF) | (w[2 * m + 1] << 16));
  }
};

// The 16 sums of the terms (plus 32768 when rounding), shifted right by 16, as 16 words in pixel
// order. Every value fits a word: it is at most 255.
template <int R, bool Round>
inline __m256i packedSums(const __m256i* terms, const PackedWeights<R>& w) {
  __m256i lo = Round ? _mm256_set1_epi32(32768) : _mm256_setzero_si256();
  __m256i hi = lo;
  for (int m = 0; m < PackedWeights<R>::kSteps; ++m) {
    const __m256i a = terms[2 * m];
    const __m256i b = 2 * m + 1 < PackedWeights<R>::kTerms ? terms[2 * m + 1] : _mm256_setzero_si256();
    lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), w.step[m]));
    hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), w.step[m]));
  }
  // unpacklo / unpackhi took pixels 0-3 / 4-7 of each 128-bit half; packing them back restores
  // the order.
  return _mm256_packus_epi32(_mm256_srai_epi32(lo, 16), _mm256_srai_epi32(hi, 16));
}

inline __m256i widenBytes(const std::uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

inline __m256i loadWords(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Row-pass values of the 16 pixels from p on (p points into a row of bytes).
template <int R>
inline __m256i packedRowStep(const std::uint8_t* p, const PackedWeights<R>& w) {
  __m256i terms[R + 2];
  for (int j = 1; j <= R; ++j) terms[j - 1] = _mm256_add_epi16(widenBytes(p - j), widenBytes(p + j));
  terms[R] = widenBytes(p);
  terms[R + 1] = terms[R];
  return packedSums<R, false>(terms, w);
}

// Column-pass values of the 16 pixels at byte offset `at` of the word rows, as 16 bytes.
template <int R>
inline __m128i packedColumnStep(const std::uint8_t* const* rows, int at, const PackedWeights<R>& w) {
  __m256i terms[R + 2];
  for (int j = 1; j <= R; ++j) terms[j - 1] = _mm256_add_epi16(loadWords(rows[R - j] + at), loadWords(rows[R + j] + at));
  terms[R] = loadWords(rows[R] + at);
  terms[R + 1] = terms[R];
  const __m256i words = packedSums<R, true>(terms, w);
  const __m256i bytes = _mm256_packus_epi16(words, words);
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(bytes, 0x08));
}

template <int R>
void blurRowFixedPacked(const std::uint8_t* src, std::uint8_t* out, int width, const std::int32_t* K) {
  const PackedWeights<R> w(K);
  const std::uint16_t zero = 0;
  const int innerEnd = width - R > R ? width - R : R;  // inner columns [R, innerEnd)
  for (int x = 0; x < R && x < width; ++x) std::memcpy(out + 2 * x, &zero, sizeof zero);
  for (int x = innerEnd; x < width; ++x) std::memcpy(out + 2 * x, &zero, sizeof zero);
  const int count = innerEnd - R;
  if (count >= 16) {
    int x = R;
    for (; x + 16 <= innerEnd; x += 16) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * x), packedRowStep<R>(src + x, w));
    }
    // The last pixels: one more step ending at the last inner column (it rewrites equal values).
    if (x < innerEnd) {
      x = innerEnd - 16;
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * x), packedRowStep<R>(src + x, w));
    }
  } else if (count > 0) {
    // Narrower than one step: one step over a zero-padded copy of the row.
    std::uint8_t padded[16 + 2 * R] = {};
    std::memcpy(padded, src, static_cast<std::size_t>(width));
    std::uint8_t words[32];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), packedRowStep<R>(padded + R, w));
    std::memcpy(out + 2 * R, words, static_cast<std::size_t>(2 * count));
  }
}

template <int R>
void blurColumnFixedPacked(const std::int32_t* const* rows, std::uint8_t* dst, int width, const std::int32_t* K) {
  const PackedWeights<R> w(K);
  const std::uint8_t* words[2 * R + 1];
  for (int i = 0; i <= 2 * R; ++i) words[i] = reinterpret_cast<const std::uint8_t*>(rows[i]);
  if (width >= 16) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), packedColumnStep<R>(words, 2 * x, w));
    }
    if (x < width) {
      x = width - 16;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), packedColumnStep<R>(words, 2 * x, w));
    }
    return;
  }
  // Narrower than one step: one step over zero-padded copies of the rows.
  std::uint8_t padded[2 * R + 1][32] = {};
  const std::uint8_t* copies[2 * R + 1];
  for (int i = 0; i <= 2 * R; ++i) {
    std::memcpy(padded[i], words[i], static_cast<std::size_t>(2 * width));
    copies[i] = padded[i];
  }
  std::uint8_t out[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packedColumnStep<R>(copies, 0, w));
  std::memcpy(dst, out, static_cast<std::size_t>(width));
}

}  // namespace

void blurRowFixedPackedAVX2(const std::uint8_t* src, std::int32_t* tmp, int width, const std::int32_t* K, int taps) {
  std::uint8_t* out = reinterpret_cast<std::uint8_t*>(tmp);
  switch (taps) {
    case 3: blurRowFixedPacked<1>(src, out, width, K); break;
    case 5: blurRowFixedPacked<2>(src, out, width, K); break;
    case 7: blurRowFixedPacked<3>(src, out, width, K); break;
    default: break;
  }
}

void blurColumnFixedPackedAVX2(const std::int32_t* const* rows, std::uint8_t* dst, int width, const std::int32_t* K,
                               int taps) {
  switch (taps) {
    case 3: blurColumnFixedPacked<1>(rows, dst, width, K); break;
    case 5: blurColumnFixedPacked<2>(rows, dst, width, K); break;
    case 7: blurColumnFixedPacked<3>(rows, dst, width, K); break;
    default: break;
  }
}

}  // namespace kernels
}  // namespace Lumetra
