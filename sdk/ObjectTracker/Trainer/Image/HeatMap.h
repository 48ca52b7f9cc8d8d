#pragma once
// Heat map of keypoint density: a small module in the style of a C library. A `HeatMap` is a
// float grid into which stamps (small soft kernels) are added; `render` colours the grid through
// a `HeatMapColorScheme`. Records are created and released explicitly:
//
//   HeatMap* map = HeatMap::create(640, 480);
//   HeatMap::addPoint(map, 100, 200);
//   HeatMapColorScheme* scheme = HeatMapColorScheme::load(heatMapPalette().data(), heatMapPalette().size());
//   std::uint32_t* words = HeatMap::render(map, scheme, nullptr);  // caller frees with std::free
//   HeatMap::release(scheme);
//   HeatMap::release(map);
#include <Eigen/Core>

#include <array>
#include <cstddef>
#include <cstdint>

namespace Obrin {

/// A stamp: stampWidth x stampHeight floats, row-major, added centred on a point.
struct HeatMapStamp {
  float* buf = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  /// The default 9 x 9 stamp: the cell at row r, column c holds max(0, 1 - d / 5), d being the
  /// distance of (c, r) from (4, 4), computed in double and rounded to float once. Built once;
  /// never released.
  static const HeatMapStamp* defaultStamp();
};

/// n colour words; a word holds the bytes R, G, B, A in memory order.
struct HeatMapColorScheme {
  std::uint32_t* colors = nullptr;
  std::uint64_t count = 0;

  /// A new scheme holding a copy of the n words, or null when n is 0 or above 2^24, the colours
  /// are null or an allocation fails. Released with `HeatMap::release`.
  static HeatMapColorScheme* load(const std::uint32_t* colors, std::uint64_t n);
};

struct HeatMap {
  float* cells = nullptr;  ///< width * height floats, row-major
  float max = 0.0f;        ///< the largest cell value reached so far
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  /// A new map with zeroed cells and max 0, or null when the size is empty or memory runs out.
  static HeatMap* create(std::uint32_t width, std::uint32_t height);

  /// Frees the cells and then the record; null is ignored.
  static void release(HeatMap* map);
  /// Frees the colours and then the scheme; null is ignored.
  static void release(HeatMapColorScheme* scheme);

  /// Adds the default stamp centred at (x, y).
  static void addPoint(HeatMap* map, std::uint32_t x, std::uint32_t y);

  /// Adds the stamp centred at (x, y), clipped to the grid; a centre outside the grid adds
  /// nothing. After each cell addition, max follows the cell when it exceeds it.
  static void addPointWithStamp(HeatMap* map, std::uint32_t x, std::uint32_t y, const HeatMapStamp* stamp);

  /// For every point and every offset, adds the default stamp centred at point + offset, the sums
  /// taken as 32-bit integers and read as unsigned (so a negative sum falls outside the grid).
  /// Equals calling `addPoint` for each pair up to float rounding: the centres are counted per
  /// cell, the count grid is convolved with the stamp, and max becomes the largest cell.
  static void addPointClouds(HeatMap* map, const Eigen::Vector2i* points, std::size_t pointCount,
                             const Eigen::Vector2i* offsets, std::size_t offsetCount);

  /// Colours each cell: with s = max (1 when max is 0), v = min(s, cell) / s and the palette
  /// entry trunc(v * (n - 1) + 0.5). Fills `out` (width * height words) and returns it; with a
  /// null `out` allocates the buffer (free it with std::free) and returns null when that fails.
  /// Returns null for a null map or scheme.
  static std::uint32_t* render(const HeatMap* map, const HeatMapColorScheme* scheme, std::uint32_t* out);
};

/// Number of colours of the trainer's palette.
constexpr std::size_t kHeatMapPaletteSize = 17;

/// The trainer's palette as colour words, index 0 = lowest density.
const std::array<std::uint32_t, kHeatMapPaletteSize>& heatMapPalette();

}  // namespace Obrin
