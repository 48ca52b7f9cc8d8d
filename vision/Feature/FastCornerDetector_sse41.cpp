// 128-bit version of the FAST-9 row scan: 16 pixels per step (SSE2 instructions, plus the
// bit scan of the corner masks).
#include <immintrin.h>

#include <cstdint>

#include "Feature/FastRowKernel.h"

namespace Lumetra {
namespace fastdetail {
namespace {

struct VecSse {
  using Reg = __m128i;
  using Mask = std::uint32_t;
  static constexpr int kWidth = 16;
  static Reg load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void store(std::uint8_t* p, Reg r) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), r); }
  static Reg set1(std::uint8_t t) { return _mm_set1_epi8(static_cast<char>(t)); }
  static Reg minU(Reg a, Reg b) { return _mm_min_epu8(a, b); }
  static Reg maxU(Reg a, Reg b) { return _mm_max_epu8(a, b); }
  static Reg addsU(Reg a, Reg b) { return _mm_adds_epu8(a, b); }
  static Reg subsU(Reg a, Reg b) { return _mm_subs_epu8(a, b); }
  static Reg orR(Reg a, Reg b) { return _mm_or_si128(a, b); }
  static Reg andR(Reg a, Reg b) { return _mm_and_si128(a, b); }
  static Reg nonZeroBytes(Reg a) { return _mm_xor_si128(_mm_cmpeq_epi8(a, _mm_setzero_si128()), _mm_set1_epi8(-1)); }
  static Mask nonZeroBits(Reg a) {
    return static_cast<Mask>(~_mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128()))) & 0xFFFFu;
  }
  static int lowestBit(Mask m) { return __builtin_ctz(m); }
  static Mask dropLowBits(Mask m, int n) { return m & ~((Mask(1) << n) - 1u); }
};

}  // namespace
}  // namespace fastdetail

namespace detail {

int fastRowSse(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
               std::uint8_t* scoreRow, std::int32_t* cols) {
  return fastdetail::detectRow<fastdetail::VecSse>(row, width, offsets, threshold, scoreRow, cols);
}

// The score of one pixel as fastdetail::pixelScore: the 16 circle values in one register, the
// minimum and maximum of every 9-arc by rotations (windows of 2, 4, 8, then the ninth value),
// and the largest minimum and smallest maximum over the arcs.
int fastPixelScoreSse(const std::uint8_t* p, const std::int32_t* offsets) {
  const __m128i v = _mm_setr_epi8(
      static_cast<char>(p[offsets[0]]), static_cast<char>(p[offsets[1]]), static_cast<char>(p[offsets[2]]),
      static_cast<char>(p[offsets[3]]), static_cast<char>(p[offsets[4]]), static_cast<char>(p[offsets[5]]),
      static_cast<char>(p[offsets[6]]), static_cast<char>(p[offsets[7]]), static_cast<char>(p[offsets[8]]),
      static_cast<char>(p[offsets[9]]), static_cast<char>(p[offsets[10]]), static_cast<char>(p[offsets[11]]),
      static_cast<char>(p[offsets[12]]), static_cast<char>(p[offsets[13]]), static_cast<char>(p[offsets[14]]),
      static_cast<char>(p[offsets[15]]));
  // Lane k of a rotation by n holds circle position (k + n) mod 16.
  const __m128i r1 = _mm_alignr_epi8(v, v, 1);
  __m128i lo = _mm_min_epu8(v, r1);
  __m128i hi = _mm_max_epu8(v, r1);
  lo = _mm_min_epu8(lo, _mm_alignr_epi8(lo, lo, 2));
  hi = _mm_max_epu8(hi, _mm_alignr_epi8(hi, hi, 2));
  lo = _mm_min_epu8(lo, _mm_alignr_epi8(lo, lo, 4));
  hi = _mm_max_epu8(hi, _mm_alignr_epi8(hi, hi, 4));
  const __m128i r8 = _mm_alignr_epi8(v, v, 8);
  lo = _mm_min_epu8(lo, r8);  // lane k: minimum of positions k .. k + 8
  hi = _mm_max_epu8(hi, r8);
  lo = _mm_max_epu8(lo, _mm_srli_si128(lo, 8));
  hi = _mm_min_epu8(hi, _mm_srli_si128(hi, 8));
  lo = _mm_max_epu8(lo, _mm_srli_si128(lo, 4));
  hi = _mm_min_epu8(hi, _mm_srli_si128(hi, 4));
  lo = _mm_max_epu8(lo, _mm_srli_si128(lo, 2));
  hi = _mm_min_epu8(hi, _mm_srli_si128(hi, 2));
  lo = _mm_max_epu8(lo, _mm_srli_si128(lo, 1));
  hi = _mm_min_epu8(hi, _mm_srli_si128(hi, 1));
  const int maxOfMins = _mm_cvtsi128_si32(lo) & 0xFF;
  const int minOfMaxs = _mm_cvtsi128_si32(hi) & 0xFF;
  const int c = p[0];
  return maxOfMins - c > c - minOfMaxs ? maxOfMins - c : c - minOfMaxs;
}

int fastSuppressRowSse(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below, int width,
                       const std::int32_t* cols, int count, std::int32_t* kept) {
  return fastdetail::suppressRow<fastdetail::VecSse>(above, here, below, width, cols, count, kept);
}

}  // namespace detail
}  // namespace Lumetra
