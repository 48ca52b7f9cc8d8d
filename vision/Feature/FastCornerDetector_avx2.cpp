// AVX2 version of the FAST-9 row scan: 32 pixels per step.
#include <immintrin.h>

#include <cstdint>

#include "Feature/FastRowKernel.h"

namespace Lumetra {
namespace fastdetail {
namespace {

struct VecAvx2 {
  using Reg = __m256i;
  using Mask = std::uint32_t;
  static constexpr int kWidth = 32;
  static Reg load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(std::uint8_t* p, Reg r) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), r); }
  static Reg set1(std::uint8_t t) { return _mm256_set1_epi8(static_cast<char>(t)); }
  static Reg minU(Reg a, Reg b) { return _mm256_min_epu8(a, b); }
  static Reg maxU(Reg a, Reg b) { return _mm256_max_epu8(a, b); }
  static Reg addsU(Reg a, Reg b) { return _mm256_adds_epu8(a, b); }
  static Reg subsU(Reg a, Reg b) { return _mm256_subs_epu8(a, b); }
  static Reg orR(Reg a, Reg b) { return _mm256_or_si256(a, b); }
  static Reg andR(Reg a, Reg b) { return _mm256_and_si256(a, b); }
  static Reg nonZeroBytes(Reg a) {
    return _mm256_xor_si256(_mm256_cmpeq_epi8(a, _mm256_setzero_si256()), _mm256_set1_epi8(-1));
  }
  static Mask nonZeroBits(Reg a) {
    return ~static_cast<Mask>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, _mm256_setzero_si256())));
  }
  static int lowestBit(Mask m) { return static_cast<int>(_tzcnt_u32(m)); }
  static Mask dropLowBits(Mask m, int n) { return m & ~((Mask(1) << n) - 1u); }
};

}  // namespace
}  // namespace fastdetail

namespace detail {

// Plain signature, no library templates: nothing compiled here with AVX2 can be picked by
// the linker for code that runs on other processors.
int fastRowAvx2(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
                std::uint8_t* scoreRow, std::int32_t* cols) {
  return fastdetail::detectRow<fastdetail::VecAvx2>(row, width, offsets, threshold, scoreRow, cols);
}

int fastSuppressRowAvx2(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below, int width,
                        const std::int32_t* cols, int count, std::int32_t* kept) {
  return fastdetail::suppressRow<fastdetail::VecAvx2>(above, here, below, width, cols, count, kept);
}

}  // namespace detail
}  // namespace Lumetra
