// AVX2 kernels of the resizing operations; scalar twins in ImageOP.cpp.
#include "Image/ImageKernels.h"

#include <immintrin.h>

#include <cstring>

namespace Lumetra {
namespace kernels {

int downsampleHalfRowAVX2(const std::uint8_t* r0, const std::uint8_t* r1, std::uint8_t* dst, int dw) {
  const __m256i ones = _mm256_set1_epi8(1);
  int x = 0;
  for (; x + 32 <= dw; x += 32) {
    const std::uint8_t* a = r0 + 2 * x;
    const std::uint8_t* b = r1 + 2 * x;
    // Horizontal pair sums of both rows (at most 510, no saturation), then the block sums.
    const __m256i lo = _mm256_add_epi16(
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)), ones),
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), ones));
    const __m256i hi = _mm256_add_epi16(
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32)), ones),
        _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32)), ones));
    const __m256i packed = _mm256_packus_epi16(_mm256_srli_epi16(lo, 2), _mm256_srli_epi16(hi, 2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), _mm256_permute4x64_epi64(packed, 0xD8));
  }
  return x;
}

int downsampleTwoThirdsRowAVX2(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* dst, int dw,
                               int sw) {
  // Each 128-bit lane makes 8 destination pixels from 13 source bytes starting at 3/2 of the
  // destination index: a = s(c(x)) and b = s(c(x + 1)), zero-extended to 16 bits.
  const __m256i shufA = _mm256_setr_epi8(0, -1, 2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11, -1,  //
                                         0, -1, 2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11, -1);
  const __m256i shufB = _mm256_setr_epi8(2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11, -1, 12, -1,  //
                                         2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11, -1, 12, -1);
  const __m256i divideBy9 = _mm256_set1_epi16(3641);
  int x = 0;
  // The second lane's 16-byte load ends at source column 3x/2 + 27.
  for (; x + 16 <= dw && 3 * x / 2 + 28 <= sw; x += 16) {
    const int c = 3 * x / 2;
    const __m256i t = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(top + c + 12),
                                          reinterpret_cast<const __m128i*>(top + c));
    const __m256i b = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bottom + c + 12),
                                          reinterpret_cast<const __m128i*>(bottom + c));
    const __m256i hTop = _mm256_add_epi16(_mm256_shuffle_epi8(t, shufA), _mm256_slli_epi16(_mm256_shuffle_epi8(t, shufB), 1));
    const __m256i hBottom =
        _mm256_add_epi16(_mm256_shuffle_epi8(b, shufA), _mm256_slli_epi16(_mm256_shuffle_epi8(b, shufB), 1));
    const __m256i sum = _mm256_add_epi16(hTop, _mm256_slli_epi16(hBottom, 1));
    // mulhrs gives (sum * 3641 + 16384) >> 15 exactly.
    const __m256i value = _mm256_mulhrs_epi16(sum, divideBy9);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(value, value), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm256_castsi256_si128(packed));
  }
  return x;
}

namespace {

// The double 2^52 + v of each of the four 32-bit values v (each below 2^32), by putting v in
// the mantissa of 2^52.
inline __m256d biasedDoubles(__m128i values, __m256i magicBits) {
  return _mm256_castsi256_pd(_mm256_or_si256(_mm256_cvtepu32_epi64(values), magicBits));
}

}  // namespace

void bilinearHorizontalAVX2(const std::uint8_t* row, const std::int32_t* x0, const double* ax, double* out,
                            int count) {
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  // As in the shuffle version: p0 and p1 - p0 are exact differences of 2^52 + p doubles.
  const __m256i magicBits = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256d magic = _mm256_castsi256_pd(magicBits);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x0 + i));
    // Bytes x0 and x0 + 1 in the low half of each gathered word.
    const __m256i word = _mm256_i32gather_epi32(reinterpret_cast<const int*>(row), index, 1);
    const __m256i p0 = _mm256_and_si256(word, byteMask);
    const __m256i p1 = _mm256_and_si256(_mm256_srli_epi32(word, 8), byteMask);
    const __m256d a0lo = biasedDoubles(_mm256_castsi256_si128(p0), magicBits);
    const __m256d a0hi = biasedDoubles(_mm256_extracti128_si256(p0, 1), magicBits);
    const __m256d a1lo = biasedDoubles(_mm256_castsi256_si128(p1), magicBits);
    const __m256d a1hi = biasedDoubles(_mm256_extracti128_si256(p1, 1), magicBits);
    const __m256d lo = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(a1lo, a0lo), _mm256_loadu_pd(ax + i)),
                                     _mm256_sub_pd(a0lo, magic));
    const __m256d hi = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(a1hi, a0hi), _mm256_loadu_pd(ax + i + 4)),
                                     _mm256_sub_pd(a0hi, magic));
    _mm256_storeu_pd(out + i, lo);
    _mm256_storeu_pd(out + i + 4, hi);
  }
  for (; i < count; ++i) {
    const double p0 = row[x0[i]];
    const double p1 = row[x0[i] + 1];
    out[i] = (p1 - p0) * ax[i] + p0;
  }
}

void bilinearHorizontalShuffleAVX2(const std::uint8_t* row, const std::int32_t* x0, const std::uint8_t* masks,
                                   const double* ax, double* out, int count) {
  // A byte v becomes the double 2^52 + v by putting it in the mantissa of 2^52. Then p0 and
  // p1 - p0 are exact differences of such doubles: the same values the conversions give.
  const __m256i magicBits = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256d magic = _mm256_castsi256_pd(magicBits);
  // The 16 picked bytes (p0 of the 8 pixels, then p1), copied into both 128-bit halves, are
  // spread into 64-bit lanes: pixels 0-3 and 4-7 of p0, then of p1.
  const __m256i spread[4] = {
      _mm256_setr_epi8(0, -1, -1, -1, -1, -1, -1, -1, 1, -1, -1, -1, -1, -1, -1, -1,  //
                       2, -1, -1, -1, -1, -1, -1, -1, 3, -1, -1, -1, -1, -1, -1, -1),
      _mm256_setr_epi8(4, -1, -1, -1, -1, -1, -1, -1, 5, -1, -1, -1, -1, -1, -1, -1,  //
                       6, -1, -1, -1, -1, -1, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1),
      _mm256_setr_epi8(8, -1, -1, -1, -1, -1, -1, -1, 9, -1, -1, -1, -1, -1, -1, -1,  //
                       10, -1, -1, -1, -1, -1, -1, -1, 11, -1, -1, -1, -1, -1, -1, -1),
      _mm256_setr_epi8(12, -1, -1, -1, -1, -1, -1, -1, 13, -1, -1, -1, -1, -1, -1, -1,  //
                       14, -1, -1, -1, -1, -1, -1, -1, 15, -1, -1, -1, -1, -1, -1, -1)};
  for (int i = 0; i + 8 <= count; i += 8, masks += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x0[i]));
    const __m128i picked = _mm_shuffle_epi8(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks)));
    const __m256i both = _mm256_broadcastsi128_si256(picked);
    const __m256d a0lo = _mm256_castsi256_pd(_mm256_or_si256(_mm256_shuffle_epi8(both, spread[0]), magicBits));
    const __m256d a0hi = _mm256_castsi256_pd(_mm256_or_si256(_mm256_shuffle_epi8(both, spread[1]), magicBits));
    const __m256d a1lo = _mm256_castsi256_pd(_mm256_or_si256(_mm256_shuffle_epi8(both, spread[2]), magicBits));
    const __m256d a1hi = _mm256_castsi256_pd(_mm256_or_si256(_mm256_shuffle_epi8(both, spread[3]), magicBits));
    const __m256d p0lo = _mm256_sub_pd(a0lo, magic);
    const __m256d p0hi = _mm256_sub_pd(a0hi, magic);
    _mm256_storeu_pd(out + i, _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(a1lo, a0lo), _mm256_loadu_pd(ax + i)), p0lo));
    _mm256_storeu_pd(out + i + 4,
                     _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(a1hi, a0hi), _mm256_loadu_pd(ax + i + 4)), p0hi));
  }
}

void bilinearVerticalAVX2(const double* top, const double* bottom, double ay, std::uint8_t* dst, int dw) {
  const __m256d a = _mm256_set1_pd(ay);
  int x = 0;
  for (; x + 16 <= dw; x += 16) {
    __m128i q[4];
    for (int k = 0; k < 4; ++k) {
      const __m256d t = _mm256_loadu_pd(top + x + 4 * k);
      const __m256d b = _mm256_loadu_pd(bottom + x + 4 * k);
      q[k] = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(b, t), a), t));
    }
    const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), packed);
  }
  for (; x < dw; ++x) {
    const double value = (bottom[x] - top[x]) * ay + top[x];
    dst[x] = static_cast<std::uint8_t>(static_cast<int>(value));
  }
}

int blendRowAVX2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, int count, double t) {
  const __m256d wa = _mm256_set1_pd(t);
  const __m256d wb = _mm256_set1_pd(1.0 - t);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d top = _mm256_set1_pd(255.0);
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    std::int32_t fourA, fourB;
    std::memcpy(&fourA, a + i, 4);
    std::memcpy(&fourB, b + i, 4);
    const __m256d da = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(fourA)));
    const __m256d db = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(fourB)));
    // max_pd returns its second operand when the first is not a number.
    const __m256d v = _mm256_min_pd(_mm256_max_pd(_mm256_add_pd(_mm256_mul_pd(db, wb), _mm256_mul_pd(da, wa)), zero), top);
    const __m128i n = _mm256_cvttpd_epi32(v);
    const std::int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(n, n), _mm_setzero_si128()));
    std::memcpy(out + i, &bytes, 4);
  }
  return i;
}

}  // namespace kernels
}  // namespace Lumetra
