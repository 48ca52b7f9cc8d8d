#pragma once
// The banded addition of point clouds into a heat map, shared by the portable build
// (HeatMap.cpp) and the AVX2 build (HeatMap_avx2.cpp). Each translation unit instantiates the
// band filler with its own row adder; everything here has internal linkage so that the two
// builds never mix.
//
// A band owns the grid rows [y0, y1). It walks the records in order and, for each record, the
// offsets whose stamp can reach the band in offset order, and adds only the stamp rows inside the
// band: every cell therefore receives exactly the additions of the plain point-by-point loop, in
// the same order.
//
// Which offsets can reach a band depends only on d = y0 - point.y (the band's rows relative to the
// record's row), so the offsets are listed once per d (see CloudPlan), each list in offset order
// and with the stamp rows that land in a band of full height.
#include "ObjectTracker/Trainer/Image/HeatMap.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace Obrin {
namespace heatmap_bands {

/// An offset that reaches a band for one value of d: the offset and the stamp rows
/// [rFirst, rEnd) that fall into a band of full height.
struct WindowEntry {
  std::int32_t ox, oy;
  std::int32_t rFirst, rEnd;
};

/// Everything the bands share, built once per call and only read by the bands.
struct CloudPlan {
  HeatMap* map = nullptr;
  const HeatMapStamp* stamp = nullptr;
  const Eigen::Vector2i* points = nullptr;
  std::size_t pointCount = 0;
  const Eigen::Vector2i* offsets = nullptr;
  std::size_t offsetCount = 0;

  std::int64_t bandRows = 0;
  /// Entries of d live at entries[windowStart[d - dMin] .. windowStart[d - dMin + 1]).
  std::int64_t dMin = 0, dMax = -1;
  const std::uint32_t* windowStart = nullptr;
  const WindowEntry* entries = nullptr;
  /// Per record: grid rows [reachLow, reachHigh] its stamps can touch (as 64-bit values), and
  /// whether its centres can be taken as plain 64-bit sums (no wrap of the unsigned sum into the
  /// grid). Records that are not plain go through the offset-by-offset path.
  const std::int64_t* reachLow = nullptr;
  const std::int64_t* reachHigh = nullptr;
  const std::uint8_t* plain = nullptr;

};

float fillBandPortable(const CloudPlan& plan, std::int64_t y0, std::int64_t y1);
float fillBandAVX2(const CloudPlan& plan, std::int64_t y0, std::int64_t y1);

namespace {

/// Stamp rows [first, end) of the stamp centred at (x, y) that land in grid rows [y0, y1), with
/// the centre inside the grid; columns [c0, c1) of the stamp after clipping to the grid.
template <class Rows>
inline void addClippedRows(HeatMap& map, const HeatMapStamp& stamp, std::uint32_t x, std::uint32_t y,
                           std::int64_t first, std::int64_t end) {
  const std::uint32_t hw = stamp.width / 2;
  const std::uint32_t hh = stamp.height / 2;
  const std::uint64_t x64 = x;
  const std::uint32_t c0 = x < hw ? hw - x : 0;
  const std::uint32_t c1 =
      x64 + hw < map.width ? stamp.width : static_cast<std::uint32_t>(std::uint64_t(hw) - x64 + map.width);
  for (std::int64_t r = first; r < end; ++r) {
    const std::size_t gridRow = static_cast<std::size_t>(y) + static_cast<std::size_t>(r) - hh;
    float* dst = map.cells + gridRow * map.width + (static_cast<std::size_t>(x) + c0 - hw);
    const float* src = stamp.buf + static_cast<std::size_t>(r) * stamp.width + c0;
    Rows::add(dst, src, c1 - c0);
  }
}

/// One record, offset by offset, with the unsigned 32-bit sums: used for records whose sums may
/// wrap around into the grid.
template <class Rows>
inline void fillRecordSlowly(const CloudPlan& plan, const Eigen::Vector2i& point, std::int64_t y0, std::int64_t y1) {
  HeatMap& map = *plan.map;
  const HeatMapStamp& stamp = *plan.stamp;
  const std::int64_t hh = stamp.height / 2;
  for (std::size_t o = 0; o < plan.offsetCount; ++o) {
    const std::uint32_t x = static_cast<std::uint32_t>(point.x()) + static_cast<std::uint32_t>(plan.offsets[o].x());
    const std::uint32_t y = static_cast<std::uint32_t>(point.y()) + static_cast<std::uint32_t>(plan.offsets[o].y());
    if (x >= map.width || y >= map.height) continue;
    // Stamp rows inside the grid and inside the band.
    const std::int64_t first = std::max<std::int64_t>(0, y0 - std::int64_t(y) + hh);
    const std::int64_t end = std::min<std::int64_t>(stamp.height, y1 - std::int64_t(y) + hh);
    addClippedRows<Rows>(map, stamp, x, y, first, end);
  }
}

/// Fills grid rows [y0, y1) from all records and returns the largest final cell of the band.
/// `kShort` marks a band of fewer rows than plan.bandRows (the last one), whose entries' row
/// ranges are cut at y1.
template <class Rows, bool kShort>
float fillBandRows(const CloudPlan& plan, std::int64_t y0, std::int64_t y1) {
  HeatMap& map = *plan.map;
  const HeatMapStamp& stamp = *plan.stamp;
  const std::int64_t width = map.width;
  const std::int64_t height = map.height;
  const std::int64_t hw = stamp.width / 2;
  const std::int64_t hh = stamp.height / 2;
  const bool nine = stamp.width == 9;
  // Centres whose columns need no clipping: hw <= x <= width - hw - 1.
  const std::int64_t fullLow = hw;
  const std::int64_t fullHigh = width - hw - 1;

  for (std::size_t p = 0; p < plan.pointCount; ++p) {
    if (plan.reachHigh[p] < y0 || plan.reachLow[p] >= y1) continue;
    const Eigen::Vector2i& point = plan.points[p];
    if (!plan.plain[p]) {
      fillRecordSlowly<Rows>(plan, point, y0, y1);
      continue;
    }
    const std::int64_t px = point.x();
    const std::int64_t py = point.y();
    const std::int64_t d = y0 - py;
    if (d < plan.dMin || d > plan.dMax) continue;
    const WindowEntry* e = plan.entries + plan.windowStart[d - plan.dMin];
    const WindowEntry* const eEnd = plan.entries + plan.windowStart[d - plan.dMin + 1];
    for (; e != eEnd; ++e) {
      const std::int64_t cx = px + e->ox;
      const std::int64_t cy = py + e->oy;
      if (static_cast<std::uint64_t>(cx) >= static_cast<std::uint64_t>(width) ||
          static_cast<std::uint64_t>(cy) >= static_cast<std::uint64_t>(height)) {
        continue;
      }
      // Stamp row r lands on grid row cy - hh + r; the entry's rows land in [y0, y0 + bandRows),
      // which is inside the grid except past the end of a short last band.
      std::int64_t rEnd = e->rEnd;
      if (kShort) rEnd = std::min<std::int64_t>(rEnd, y1 - cy + hh);
      const std::int64_t rFirst = e->rFirst;
      if (nine && cx >= fullLow && cx <= fullHigh) {
        float* dst = map.cells + static_cast<std::size_t>((cy - hh + rFirst) * width + cx - hw);
        const float* src = stamp.buf + rFirst * 9;
        for (std::int64_t r = rFirst; r < rEnd; ++r, dst += width, src += 9) Rows::add9(dst, src);
      } else {
        addClippedRows<Rows>(map, stamp, static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy), rFirst,
                             rEnd);
      }
    }
  }

  // Cells only grow (stamps are never negative), so the largest value reached is the largest
  // final cell.
  float largest = map.max;
  const float* cells = map.cells + static_cast<std::size_t>(y0 * width);
  const std::size_t count = static_cast<std::size_t>((y1 - y0) * width);
  for (std::size_t i = 0; i < count; ++i) {
    if (cells[i] > largest) largest = cells[i];
  }
  return largest;
}

template <class Rows>
float fillBand(const CloudPlan& plan, std::int64_t y0, std::int64_t y1) {
  return y1 - y0 < plan.bandRows ? fillBandRows<Rows, true>(plan, y0, y1) : fillBandRows<Rows, false>(plan, y0, y1);
}

}  // namespace
}  // namespace heatmap_bands
}  // namespace Obrin
