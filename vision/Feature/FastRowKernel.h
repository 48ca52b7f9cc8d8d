#pragma once
// One row of the FAST-9 scan, written once over a small vector interface V and compiled in
// one source per instruction set (FastCornerDetector_avx2.cpp, FastCornerDetector_sse41.cpp).
// Internal to the feature module; everything has internal linkage (see FastScore.h).
//
// For a block of V::kWidth pixels with centre c and circle values v_k, the kernel forms in
// unsigned 8-bit lanes
//   maxOfMins = max over the 16 arcs of the minimum of their 9 values,
//   minOfMaxs = min over the 16 arcs of the maximum of their 9 values,
//   s = max(sat(maxOfMins - c), sat(c - minOfMaxs)),
// and a pixel is a corner exactly when s > t. The saturated differences agree with the
// saturated thresholds of the segment test: when c + t > 255 no arc can beat it, and then
// maxOfMins - c <= 255 - c < t as well (likewise on the dark side).
#include "Feature/FastScore.h"

#include <cstdint>

namespace Lumetra {
namespace fastdetail {
namespace {

template <class V>
inline void arcExtrema(const typename V::Reg* v, typename V::Reg& maxOfMins, typename V::Reg& minOfMaxs) {
  using R = typename V::Reg;
  R lo2[16], hi2[16];
  for (int k = 0; k < 16; ++k) {
    lo2[k] = V::minU(v[k], v[(k + 1) & 15]);
    hi2[k] = V::maxU(v[k], v[(k + 1) & 15]);
  }
  R lo4[16], hi4[16];
  for (int k = 0; k < 16; ++k) {
    lo4[k] = V::minU(lo2[k], lo2[(k + 2) & 15]);
    hi4[k] = V::maxU(hi2[k], hi2[(k + 2) & 15]);
  }
  R lo8[16], hi8[16];
  for (int k = 0; k < 16; ++k) {
    lo8[k] = V::minU(lo4[k], lo4[(k + 4) & 15]);
    hi8[k] = V::maxU(hi4[k], hi4[(k + 4) & 15]);
  }
  R bestLo = V::minU(lo8[0], v[8]);
  R bestHi = V::maxU(hi8[0], v[8]);
  for (int k = 1; k < 16; ++k) {
    bestLo = V::maxU(bestLo, V::minU(lo8[k], v[(k + 8) & 15]));
    bestHi = V::minU(bestHi, V::maxU(hi8[k], v[(k + 8) & 15]));
  }
  maxOfMins = bestLo;
  minOfMaxs = bestHi;
}

// Scores and corner bits of the block at p. Returns the bit mask of corners (bit j is
// column j of the block) and stores the scores (0 for non-corners) at scoreOut.
template <class V>
inline typename V::Mask blockScores(const std::uint8_t* p, const std::int32_t* offsets, typename V::Reg tv,
                                    std::uint8_t* scoreOut) {
  using R = typename V::Reg;
  const R c = V::load(p);
  R v[16];
  for (int k = 0; k < 16; ++k) v[k] = V::load(p + offsets[k]);

  // Quick test on positions 0, 4, 8 and 12 (see passesQuickTest).
  const R hi = V::addsU(c, tv);
  const R lo = V::subsU(c, tv);
  const R b0 = V::subsU(v[0], hi), b4 = V::subsU(v[4], hi), b8 = V::subsU(v[8], hi), b12 = V::subsU(v[12], hi);
  const R d0 = V::subsU(lo, v[0]), d4 = V::subsU(lo, v[4]), d8 = V::subsU(lo, v[8]), d12 = V::subsU(lo, v[12]);
  const R quick = V::orR(V::orR(V::orR(V::minU(b0, b4), V::minU(b4, b8)), V::orR(V::minU(b8, b12), V::minU(b12, b0))),
                         V::orR(V::orR(V::minU(d0, d4), V::minU(d4, d8)), V::orR(V::minU(d8, d12), V::minU(d12, d0))));
  if (V::nonZeroBits(quick) == 0) return 0;

  R maxOfMins, minOfMaxs;
  arcExtrema<V>(v, maxOfMins, minOfMaxs);
  const R s = V::maxU(V::subsU(maxOfMins, c), V::subsU(c, minOfMaxs));
  const R cornerBytes = V::nonZeroBytes(V::subsU(s, tv));
  V::store(scoreOut, V::andR(s, cornerBytes));
  return V::nonZeroBits(V::subsU(s, tv));
}

// Detects the corners of one row (row points at column 0): scan columns [3, width - 3).
template <class V>
inline int detectRow(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
                     std::uint8_t* scoreRow, std::int32_t* cols) {
  constexpr int W = V::kWidth;
  const int end = width - 3;
  const typename V::Reg tv = V::set1(threshold);
  int n = 0;
  int x = 3;
  for (; x + W <= end; x += W) {
    typename V::Mask bits = blockScores<V>(row + x, offsets, tv, scoreRow + x);
    while (bits) {
      cols[n++] = x + V::lowestBit(bits);
      bits &= bits - 1;
    }
  }
  if (x < end) {
    if (end - 3 >= W) {
      // The rest of the row as one block ending at the last column, keeping only the columns
      // not seen yet (the overlap rewrites identical scores).
      const int xs = end - W;
      typename V::Mask bits = blockScores<V>(row + xs, offsets, tv, scoreRow + xs);
      bits = V::dropLowBits(bits, x - xs);
      while (bits) {
        cols[n++] = xs + V::lowestBit(bits);
        bits &= bits - 1;
      }
    } else {
      n += detectColumnsScalar(row, x, end, offsets, threshold, scoreRow, cols + n);
    }
  }
  return n;
}

}  // namespace
}  // namespace fastdetail
}  // namespace Lumetra
