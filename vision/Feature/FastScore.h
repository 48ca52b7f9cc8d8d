#pragma once
// The FAST-9 score of one pixel, written once for every kernel source. Internal to the
// feature module. Everything here has internal linkage on purpose: the kernel sources are
// compiled with different instruction sets and must not share out-of-line copies.
#include <cstdint>

namespace Lumetra {
namespace fastdetail {
namespace {

inline int minInt(int a, int b) { return a < b ? a : b; }
inline int maxInt(int a, int b) { return a > b ? a : b; }

// s = max(max over arcs of min(v) - c, c - min over arcs of max(v)): the score of the
// pixel, which may be 0 or negative for a pixel that is no corner even at threshold 0.
inline int pixelScore(const std::uint8_t* p, const std::int32_t* offsets) {
  int v[24];
  for (int k = 0; k < 16; ++k) v[k] = p[offsets[k]];
  for (int k = 0; k < 8; ++k) v[16 + k] = v[k];
  int maxOfMins = 0;
  int minOfMaxs = 255;
  for (int k = 0; k < 16; ++k) {
    int lo = v[k];
    int hi = v[k];
    for (int j = 1; j < 9; ++j) {
      lo = minInt(lo, v[k + j]);
      hi = maxInt(hi, v[k + j]);
    }
    maxOfMins = maxInt(maxOfMins, lo);
    minOfMaxs = minInt(minOfMaxs, hi);
  }
  const int c = p[0];
  return maxInt(maxOfMins - c, c - minOfMaxs);
}

// Necessary condition for a corner at threshold t: every 9-arc holds two neighbouring
// positions of {0, 4, 8, 12}, so two of them must be both brighter or both darker.
inline bool passesQuickTest(const std::uint8_t* p, const std::int32_t* offsets, int t) {
  const int c = p[0];
  const int hi = minInt(c + t, 255);
  const int lo = maxInt(c - t, 0);
  const int v0 = p[offsets[0]], v4 = p[offsets[4]], v8 = p[offsets[8]], v12 = p[offsets[12]];
  const bool b0 = v0 > hi, b4 = v4 > hi, b8 = v8 > hi, b12 = v12 > hi;
  const bool d0 = v0 < lo, d4 = v4 < lo, d8 = v8 < lo, d12 = v12 < lo;
  return (b0 && b4) || (b4 && b8) || (b8 && b12) || (b12 && b0) || (d0 && d4) || (d4 && d8) || (d8 && d12) ||
         (d12 && d0);
}

// Scalar detection of columns [x, end) of one row: writes the score of every corner into
// scoreRow and appends its column to cols. Returns the number of columns appended.
inline int detectColumnsScalar(const std::uint8_t* row, int x, int end, const std::int32_t* offsets, int t,
                               std::uint8_t* scoreRow, std::int32_t* cols) {
  int n = 0;
  for (; x < end; ++x) {
    const std::uint8_t* p = row + x;
    if (!passesQuickTest(p, offsets, t)) continue;
    const int s = pixelScore(p, offsets);
    if (s > t) {
      scoreRow[x] = static_cast<std::uint8_t>(s);
      cols[n++] = x;
    }
  }
  return n;
}

}  // namespace
}  // namespace fastdetail
}  // namespace Lumetra
