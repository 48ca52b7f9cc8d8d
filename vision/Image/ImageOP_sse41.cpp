// SSSE3 / SSE4.1 kernels of the resizing operations; scalar twins in ImageOP.cpp.
#include "Image/ImageKernels.h"

#include <immintrin.h>

namespace Lumetra {
namespace kernels {

int downsampleHalfRowSSE41(const std::uint8_t* r0, const std::uint8_t* r1, std::uint8_t* dst, int dw) {
  const __m128i ones = _mm_set1_epi8(1);
  int x = 0;
  for (; x + 16 <= dw; x += 16) {
    const std::uint8_t* a = r0 + 2 * x;
    const std::uint8_t* b = r1 + 2 * x;
    const __m128i lo =
        _mm_add_epi16(_mm_maddubs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)), ones),
                      _mm_maddubs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), ones));
    const __m128i hi =
        _mm_add_epi16(_mm_maddubs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16)), ones),
                      _mm_maddubs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16)), ones));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2)));
  }
  return x;
}

int downsampleTwoThirdsRowSSE41(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* dst, int dw,
                                int sw) {
  const __m128i shufA = _mm_setr_epi8(0, -1, 2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11, -1);
  const __m128i shufB = _mm_setr_epi8(2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11, -1, 12, -1);
  const __m128i divideBy9 = _mm_set1_epi16(3641);
  int x = 0;
  // The 16-byte load ends at source column 3x/2 + 15.
  for (; x + 8 <= dw && 3 * x / 2 + 16 <= sw; x += 8) {
    const int c = 3 * x / 2;
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + c));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + c));
    const __m128i hTop = _mm_add_epi16(_mm_shuffle_epi8(t, shufA), _mm_slli_epi16(_mm_shuffle_epi8(t, shufB), 1));
    const __m128i hBottom = _mm_add_epi16(_mm_shuffle_epi8(b, shufA), _mm_slli_epi16(_mm_shuffle_epi8(b, shufB), 1));
    const __m128i sum = _mm_add_epi16(hTop, _mm_slli_epi16(hBottom, 1));
    const __m128i value = _mm_mulhrs_epi16(sum, divideBy9);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(value, value));
  }
  return x;
}

}  // namespace kernels
}  // namespace Lumetra
