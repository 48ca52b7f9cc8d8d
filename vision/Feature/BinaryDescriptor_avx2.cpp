// AVX2 versions of the two inner loops of the oriented descriptor: the disc moments (31 pixels
// of a row at once, exact integer sums) and the 256 pair tests (32 comparisons at once). Called
// only when the processor has AVX2; BinaryDescriptor.cpp holds the scalar twins.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "Feature/BinaryDescriptor.h"

namespace Lumetra {
namespace descriptor_avx2 {

namespace {

constexpr int kRadius = 15;

// Byte i of a 32-byte load starting 15 pixels left of the centre is column u = i - 15.
inline __m256i columnWeights() {
  return _mm256_setr_epi8(-15, -14, -13, -12, -11, -10, -9, -8, -7, -6, -5, -4, -3, -2, -1, 0,  //
                          1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
}

// |u| of every byte; the last byte (u = 16) is outside every row of the disc.
inline __m256i columnDistances() {
  return _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,  //
                          1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 127);
}

inline __m256i load32(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

inline std::int32_t horizontalSum(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(s);
}

}  // namespace

// m10 = sum of u * I and m01 = sum of v * I over the disc. The row's pixels are masked to
// |u| <= umax[|v|]; the products come from maddubs (pixel times signed weight, pairs summed in
// 16 bits: at most 2 * 16 * 255) and are widened to 32 bits by madd before any accumulation, so
// every sum is exact and equal to the scalar one.
void patchMoments(const std::uint8_t* centre, std::ptrdiff_t step, const std::int32_t* umax, std::int32_t& m10,
                  std::int32_t& m01) {
  const __m256i weights = columnWeights();
  const __m256i distances = columnDistances();
  const __m256i ones8 = _mm256_set1_epi8(1);
  const __m256i ones16 = _mm256_set1_epi16(1);

  auto rowMask = [&](int v) {
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(umax[v] + 1)), distances);
  };

  const __m256i middle = _mm256_and_si256(load32(centre - kRadius), rowMask(0));
  __m256i sumX = _mm256_madd_epi16(_mm256_maddubs_epi16(middle, weights), ones16);
  __m256i sumY = _mm256_setzero_si256();
  for (int v = 1; v <= kRadius; ++v) {
    const __m256i mask = rowMask(v);
    const __m256i below = _mm256_and_si256(load32(centre + v * step - kRadius), mask);
    const __m256i above = _mm256_and_si256(load32(centre - v * step - kRadius), mask);
    const __m256i x16 = _mm256_add_epi16(_mm256_maddubs_epi16(below, weights), _mm256_maddubs_epi16(above, weights));
    sumX = _mm256_add_epi32(sumX, _mm256_madd_epi16(x16, ones16));
    const __m256i diff16 = _mm256_sub_epi16(_mm256_maddubs_epi16(below, ones8), _mm256_maddubs_epi16(above, ones8));
    sumY = _mm256_add_epi32(sumY, _mm256_madd_epi16(diff16, _mm256_set1_epi16(static_cast<short>(v))));
  }
  m10 = horizontalSum(sumX);
  m01 = horizontalSum(sumY);
}

// Test k compares the pixels at points 2k and 2k + 1 of the rotated pattern. The offsets
// y * stride + x are formed 8 at a time; the comparisons are collected bit by bit in registers.
void runTests(const std::uint8_t* centre, std::ptrdiff_t stride, const PatternPoint* points, std::uint8_t* out) {
  static_assert(sizeof(PatternPoint) == 2 * sizeof(std::int32_t), "points are (x, y) pairs of 32-bit integers");
  const int s = static_cast<int>(stride);
  const __m256i scale = _mm256_setr_epi32(1, s, 1, s, 1, s, 1, s);
  const auto* xy = reinterpret_cast<const __m256i*>(points);
  alignas(32) std::int32_t offsets[512];
  for (int i = 0; i < 512; i += 8) {
    const __m256i first = _mm256_mullo_epi32(_mm256_loadu_si256(xy + i / 4), scale);
    const __m256i second = _mm256_mullo_epi32(_mm256_loadu_si256(xy + i / 4 + 1), scale);
    // hadd gives the pair sums of points 0, 1, 4, 5 | 2, 3, 6, 7: put them in point order.
    const __m256i sums = _mm256_permute4x64_epi64(_mm256_hadd_epi32(first, second), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_store_si256(reinterpret_cast<__m256i*>(offsets + i), sums);
  }
  const std::int32_t* o = offsets;
  for (int i = 0; i < 32; ++i, o += 16) {
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte |= static_cast<unsigned>(centre[o[2 * j]] < centre[o[2 * j + 1]]) << j;
    out[i] = static_cast<std::uint8_t>(byte);
  }
}

}  // namespace descriptor_avx2
}  // namespace Lumetra
