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

// The arc extrema of one side, V::minU/V::maxU given as Lo/Hi (Lo = min for maxOfMins).
// An arc of 9 starting at k holds the opposite pair (k, k + 8) and the 7 positions between
// them on one side, so with e_k = Lo(v_k, v_k+8) and w_s = Lo over the 7 positions from s:
//   best = Hi over k < 8 of Lo(e_k, Hi(w_k+1, w_k+9)).
template <class V, class Lo, class Hi>
inline typename V::Reg arcBest(const typename V::Reg* v, const typename V::Reg* e) {
  using R = typename V::Reg;
  R w2[16];
  for (int j = 0; j < 16; ++j) w2[j] = Lo::op(v[j], v[(j + 1) & 15]);
  R w4[16];
  for (int j = 0; j < 16; ++j) w4[j] = Lo::op(w2[j], w2[(j + 2) & 15]);
  R best = Lo::op(e[0], Hi::op(Lo::op(w4[1], w4[4]), Lo::op(w4[9], w4[12])));
  for (int k = 1; k < 8; ++k) {
    const R inner = Hi::op(Lo::op(w4[k + 1], w4[(k + 4) & 15]), Lo::op(w4[(k + 9) & 15], w4[(k + 12) & 15]));
    best = Hi::op(best, Lo::op(e[k], inner));
  }
  return best;
}

template <class V>
struct MinOp {
  static typename V::Reg op(typename V::Reg a, typename V::Reg b) { return V::minU(a, b); }
};
template <class V>
struct MaxOp {
  static typename V::Reg op(typename V::Reg a, typename V::Reg b) { return V::maxU(a, b); }
};

// First necessary condition for a corner anywhere in the block at p (false means none):
// every arc of 9 holds two neighbouring positions of {0, 4, 8, 12}, so two such neighbours
// must both be brighter or both darker. Four loads only. `bright` and `dark` are non-zero in
// the pixels that pass as brighter or darker.
template <class V>
__attribute__((always_inline)) inline bool blockPassesQuickTest(const std::uint8_t* p, const std::int32_t* offsets,
                                                                typename V::Reg tv, typename V::Reg& bright,
                                                                typename V::Reg& dark) {
  using R = typename V::Reg;
  const R c = V::load(p);
  const R hi = V::addsU(c, tv);
  const R lo = V::subsU(c, tv);
  const R v0 = V::load(p + offsets[0]), v4 = V::load(p + offsets[4]);
  const R v8 = V::load(p + offsets[8]), v12 = V::load(p + offsets[12]);
  // Both of a and b brighter <=> min(a, b) > hi; both darker <=> max(a, b) < lo.
  const R m04 = V::minU(v0, v4), m48 = V::minU(v4, v8), m812 = V::minU(v8, v12), m120 = V::minU(v12, v0);
  const R x04 = V::maxU(v0, v4), x48 = V::maxU(v4, v8), x812 = V::maxU(v8, v12), x120 = V::maxU(v12, v0);
  bright = V::subsU(V::maxU(V::maxU(m04, m48), V::maxU(m812, m120)), hi);
  dark = V::subsU(lo, V::minU(V::minU(x04, x48), V::minU(x812, x120)));
  return V::nonZeroBits(V::orR(bright, dark)) != 0;
}

template <class V>
__attribute__((always_inline)) inline bool blockPassesQuickTest(const std::uint8_t* p, const std::int32_t* offsets,
                                                                typename V::Reg tv) {
  typename V::Reg bright, dark;
  return blockPassesQuickTest<V>(p, offsets, tv, bright, dark);
}

// Second necessary condition: every arc of 9 holds at least one position of each opposite
// pair (k, k + 8), so all 8 pairs need a brighter (or all a darker) member, in the same pixel
// that passes the quick test.
template <class V>
__attribute__((always_inline)) inline bool blockMayHoldCorner(const std::uint8_t* p, const std::int32_t* offsets,
                                                              typename V::Reg tv) {
  using R = typename V::Reg;
  R quickBright, quickDark;
  if (!blockPassesQuickTest<V>(p, offsets, tv, quickBright, quickDark)) return false;
  const R c = V::load(p);
  const R hi = V::addsU(c, tv);
  const R lo = V::subsU(c, tv);
  R pairsHi = V::maxU(V::load(p + offsets[0]), V::load(p + offsets[8]));
  R pairsLo = V::minU(V::load(p + offsets[0]), V::load(p + offsets[8]));
  for (int k = 1; k < 8; ++k) {
    const R a = V::load(p + offsets[k]), b = V::load(p + offsets[k + 8]);
    pairsHi = V::minU(pairsHi, V::maxU(a, b));
    pairsLo = V::maxU(pairsLo, V::minU(a, b));
  }
  const R bright = V::minU(quickBright, V::subsU(pairsHi, hi));
  const R dark = V::minU(quickDark, V::subsU(lo, pairsLo));
  return V::nonZeroBits(V::orR(bright, dark)) != 0;
}

// Scores and corner bits of the block at p. Returns the bit mask of corners (bit j is
// column j of the block) and stores the scores (0 for non-corners) at scoreOut.
template <class V>
__attribute__((always_inline)) inline typename V::Mask blockScores(const std::uint8_t* p,
                                                                   const std::int32_t* offsets,
                                                                   typename V::Reg tv, std::uint8_t* scoreOut) {
  using R = typename V::Reg;
  const R c = V::load(p);
  R v[16];
  for (int k = 0; k < 16; ++k) v[k] = V::load(p + offsets[k]);
  R eLo[8], eHi[8];
  for (int k = 0; k < 8; ++k) {
    eLo[k] = V::minU(v[k], v[k + 8]);
    eHi[k] = V::maxU(v[k], v[k + 8]);
  }
  const R maxOfMins = arcBest<V, MinOp<V>, MaxOp<V>>(v, eLo);
  const R minOfMaxs = arcBest<V, MaxOp<V>, MinOp<V>>(v, eHi);
  const R s = V::maxU(V::subsU(maxOfMins, c), V::subsU(c, minOfMaxs));
  const R over = V::subsU(s, tv);
  V::store(scoreOut, V::andR(s, V::nonZeroBytes(over)));
  return V::nonZeroBits(over);
}

// Detects the corners of one row (row points at column 0): scan columns [3, width - 3).
// Blocks are first screened in groups, branch-free, into a list of candidate positions; only
// the candidates get the full computation.
template <class V>
inline int detectRow(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
                     std::uint8_t* scoreRow, std::int32_t* cols) {
  constexpr int W = V::kWidth;
  constexpr int kGroup = 64;
  const int end = width - 3;
  const typename V::Reg tv = V::set1(threshold);
  int n = 0;
  int x = 3;
  int candidates[kGroup];
  while (x + W <= end) {
    int count = 0;
    for (int b = 0; b < kGroup && x + W <= end; ++b, x += W) {
      candidates[count] = x;
      count += blockPassesQuickTest<V>(row + x, offsets, tv) ? 1 : 0;
    }
    int kept = 0;
    for (int k = 0; k < count; ++k) {
      const int xs = candidates[k];
      candidates[kept] = xs;
      kept += blockMayHoldCorner<V>(row + xs, offsets, tv) ? 1 : 0;
    }
    for (int k = 0; k < kept; ++k) {
      const int xs = candidates[k];
      typename V::Mask bits = blockScores<V>(row + xs, offsets, tv, scoreRow + xs);
      while (bits) {
        cols[n++] = xs + V::lowestBit(bits);
        bits &= bits - 1;
      }
    }
  }
  if (x < end) {
    if (end - 3 >= W) {
      // The rest of the row as one block ending at the last column, keeping only the columns
      // not seen yet (the overlap rewrites identical scores).
      const int xs = end - W;
      if (blockMayHoldCorner<V>(row + xs, offsets, tv)) {
        typename V::Mask bits = blockScores<V>(row + xs, offsets, tv, scoreRow + xs);
        bits = V::dropLowBits(bits, x - xs);
        while (bits) {
          cols[n++] = xs + V::lowestBit(bits);
          bits &= bits - 1;
        }
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

namespace Lumetra {
namespace fastdetail {
namespace {

// Kept columns of a block of the middle score row: scores strictly greater than all eight
// neighbours (a non-corner has score 0 and is never kept).
template <class V>
__attribute__((always_inline)) inline typename V::Mask blockMaxima(const std::uint8_t* above, const std::uint8_t* here,
                                                                   const std::uint8_t* below) {
  using R = typename V::Reg;
  const R s = V::load(here);
  R m = V::maxU(V::load(here - 1), V::load(here + 1));
  m = V::maxU(m, V::maxU(V::load(above - 1), V::load(above)));
  m = V::maxU(m, V::maxU(V::load(above + 1), V::load(below - 1)));
  m = V::maxU(m, V::maxU(V::load(below), V::load(below + 1)));
  return V::nonZeroBits(V::subsU(s, m));
}

// Suppression of one row of scores against the rows above and below. `cols` lists the
// row's corner columns in increasing order (all in [3, width - 3)); the kept ones are appended
// to `kept` in the same order. Only the blocks that start at a listed column are examined.
template <class V>
inline int suppressRow(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below, int width,
                       const std::int32_t* cols, int count, std::int32_t* kept) {
  constexpr int W = V::kWidth;
  const int end = width - 3;
  int n = 0;
  if (end - 3 < W) {
    for (int k = 0; k < count; ++k) {
      const int x = cols[k];
      const int s = here[x];
      if (s > here[x - 1] && s > here[x + 1] && s > above[x - 1] && s > above[x] && s > above[x + 1] &&
          s > below[x - 1] && s > below[x] && s > below[x + 1]) {
        kept[n++] = x;
      }
    }
    return n;
  }
  int k = 0;
  while (k < count) {
    const int x = cols[k];
    const int xs = x + W <= end ? x : end - W;
    typename V::Mask bits = V::dropLowBits(blockMaxima<V>(above + xs, here + xs, below + xs), x - xs);
    while (bits) {
      kept[n++] = xs + V::lowestBit(bits);
      bits &= bits - 1;
    }
    while (k < count && cols[k] < xs + W) ++k;
  }
  return n;
}

}  // namespace
}  // namespace fastdetail
}  // namespace Lumetra
