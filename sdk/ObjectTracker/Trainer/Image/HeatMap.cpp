#include <immintrin.h>
#include "ObjectTracker/Trainer/Image/HeatMap.h"

#include "Core/CpuFeatures.h"
#include "ObjectTracker/Trainer/Image/HeatMapBands.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace Obrin {

namespace {

constexpr std::uint32_t kDefaultStampSide = 9;
// Above these the per-window offset lists of the banded addition would grow large; every record
// then goes offset by offset.
constexpr std::int64_t kMaxListedSpan = std::int64_t(1) << 16;
constexpr std::int64_t kMaxListedStampHeight = 1024;
constexpr std::int64_t kMaxListedEntries = std::int64_t(1) << 22;

// Bytes R, G, B, A of the palette, lowest density first. The first two entries are the same.
constexpr std::uint8_t kPaletteBytes[kHeatMapPaletteSize][4] = {
    {0xd7, 0x3c, 0x51, 0xff}, {0xd7, 0x3c, 0x51, 0xff}, {0xf3, 0x6f, 0x44, 0xff}, {0xfd, 0xb0, 0x5e, 0xff},
    {0xfe, 0xe0, 0x90, 0xff}, {0xfa, 0xff, 0xa4, 0xff}, {0xe6, 0xf5, 0x96, 0xff}, {0xaf, 0xdc, 0xa3, 0xff},
    {0x66, 0xc2, 0xa5, 0xff}, {0x35, 0x87, 0xbb, 0xff}, {0x2b, 0x70, 0xc7, 0xff}, {0x21, 0x5c, 0xd1, 0xff},
    {0x17, 0x3e, 0xdb, 0xff}, {0x0d, 0x2a, 0xe5, 0xff}, {0x08, 0x20, 0xef, 0xff}, {0x05, 0x16, 0xf9, 0xff},
    {0x03, 0x0c, 0xff, 0xff},
};

/// The stamp's clipping for one centre: stamp rows [r0, r1) and columns [c0, c1).
struct StampWindow {
  std::uint32_t r0, r1, c0, c1;
};

StampWindow clipStamp(const HeatMap& map, std::uint32_t x, std::uint32_t y, const HeatMapStamp& stamp) {
  const std::uint32_t hw = stamp.width / 2;
  const std::uint32_t hh = stamp.height / 2;
  StampWindow w;
  // Computed in 64 bits so that centres near the top of the unsigned range cannot wrap.
  const std::uint64_t x64 = x, y64 = y, hw64 = hw, hh64 = hh;
  w.c0 = x < hw ? hw - x : 0;
  w.c1 = x64 + hw64 < map.width ? stamp.width : static_cast<std::uint32_t>(hw64 - x64 + map.width);
  w.r0 = y < hh ? hh - y : 0;
  w.r1 = y64 + hh64 < map.height ? stamp.height : static_cast<std::uint32_t>(map.height - y64 + hh64);
  return w;
}

/// True when no stamp value can lower a cell or make the running maximum differ from the final
/// one (no negative value, no NaN).
bool hasOnlyNonNegativeValues(const HeatMapStamp& stamp) {
  const std::size_t n = static_cast<std::size_t>(stamp.width) * stamp.height;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(stamp.buf[i] >= 0.0f)) return false;
  }
  return true;
}

/// Rows per band of the parallel addition: about three bands per thread, so that the dynamic
/// schedule can even out busy and quiet parts of the picture, but no fewer than 8 rows (a stamp
/// reaching a band costs a visit of its offset list whatever the band's height) and no more than 64
/// (a band's cells should stay in the core's caches).
std::int64_t bandRowsFor(std::int64_t height, int threads) {
  const std::int64_t bands = 3 * std::max<std::int64_t>(1, threads);
  const std::int64_t rows = (height + bands - 1) / bands;
  return std::clamp<std::int64_t>((rows + 7) / 8 * 8, 8, 64);
}

}  // namespace

namespace heatmap_bands {
namespace {

struct PortableRows {
  /// dst[k] += src[k] for k < n, four cells at a time; each cell receives exactly one addition.
  static inline void add(float* dst, const float* src, std::uint32_t n) {
    std::uint32_t k = 0;
    for (; k + 4 <= n; k += 4) _mm_storeu_ps(dst + k, _mm_add_ps(_mm_loadu_ps(dst + k), _mm_loadu_ps(src + k)));
    for (; k < n; ++k) dst[k] += src[k];
  }
  /// A row of nine cells.
  static inline void add9(float* dst, const float* src) {
    _mm_storeu_ps(dst, _mm_add_ps(_mm_loadu_ps(dst), _mm_loadu_ps(src)));
    _mm_storeu_ps(dst + 4, _mm_add_ps(_mm_loadu_ps(dst + 4), _mm_loadu_ps(src + 4)));
    dst[8] += src[8];
  }
};

}  // namespace

float fillBandPortable(const CloudPlan& plan, std::int64_t y0, std::int64_t y1) {
  return fillBand<PortableRows>(plan, y0, y1);
}

}  // namespace heatmap_bands

const HeatMapStamp* HeatMapStamp::defaultStamp() {
  static float values[kDefaultStampSide * kDefaultStampSide];
  static const HeatMapStamp stamp = [] {
    const int centre = static_cast<int>(kDefaultStampSide / 2);
    for (int r = 0; r < static_cast<int>(kDefaultStampSide); ++r) {
      for (int c = 0; c < static_cast<int>(kDefaultStampSide); ++c) {
        const int dx = c - centre;
        const int dy = r - centre;
        const float distance = std::sqrt(static_cast<float>(dx * dx + dy * dy)) / static_cast<float>(centre + 1);
        const float value = 1.0f - distance;
        values[r * kDefaultStampSide + c] = value < 0.0f ? 0.0f : value;
      }
    }
    HeatMapStamp s;
    s.buf = values;
    s.width = kDefaultStampSide;
    s.height = kDefaultStampSide;
    return s;
  }();
  return &stamp;
}

HeatMapColorScheme* HeatMapColorScheme::load(const std::uint32_t* colors, std::uint64_t n) {
  if (colors == nullptr || n == 0 || n > std::numeric_limits<std::size_t>::max() / sizeof(std::uint32_t)) {
    return nullptr;
  }
  auto* scheme = static_cast<HeatMapColorScheme*>(std::malloc(sizeof(HeatMapColorScheme)));
  auto* copy = static_cast<std::uint32_t*>(std::malloc(static_cast<std::size_t>(n) * sizeof(std::uint32_t)));
  if (scheme == nullptr || copy == nullptr) {
    std::free(scheme);
    std::free(copy);
    return nullptr;
  }
  std::memcpy(copy, colors, static_cast<std::size_t>(n) * sizeof(std::uint32_t));
  scheme->colors = copy;
  scheme->count = n;
  return scheme;
}

HeatMap* HeatMap::create(std::uint32_t width, std::uint32_t height) {
  const std::size_t count = static_cast<std::size_t>(width) * height;
  if (count == 0) return nullptr;
  auto* map = static_cast<HeatMap*>(std::malloc(sizeof(HeatMap)));
  auto* cells = static_cast<float*>(std::calloc(count, sizeof(float)));
  if (map == nullptr || cells == nullptr) {
    std::free(map);
    std::free(cells);
    return nullptr;
  }
  map->cells = cells;
  map->max = 0.0f;
  map->width = width;
  map->height = height;
  return map;
}

void HeatMap::release(HeatMap* map) {
  if (map == nullptr) return;
  std::free(map->cells);
  std::free(map);
}

void HeatMap::release(HeatMapColorScheme* scheme) {
  if (scheme == nullptr) return;
  std::free(scheme->colors);
  std::free(scheme);
}

void HeatMap::addPoint(HeatMap* map, std::uint32_t x, std::uint32_t y) {
  addPointWithStamp(map, x, y, HeatMapStamp::defaultStamp());
}

void HeatMap::addPointWithStamp(HeatMap* map, std::uint32_t x, std::uint32_t y, const HeatMapStamp* stamp) {
  if (map == nullptr || map->cells == nullptr || stamp == nullptr || stamp->buf == nullptr) return;
  if (x >= map->width || y >= map->height) return;
  const StampWindow w = clipStamp(*map, x, y, *stamp);
  const std::uint32_t hw = stamp->width / 2;
  const std::uint32_t hh = stamp->height / 2;
  for (std::uint32_t r = w.r0; r < w.r1; ++r) {
    const std::size_t gridRow = static_cast<std::size_t>(y) + r - hh;
    float* dst = map->cells + gridRow * map->width + (static_cast<std::size_t>(x) + w.c0 - hw);
    const float* src = stamp->buf + static_cast<std::size_t>(r) * stamp->width + w.c0;
    const std::uint32_t n = w.c1 - w.c0;
    for (std::uint32_t k = 0; k < n; ++k) {
      dst[k] += src[k];
      if (dst[k] > map->max) map->max = dst[k];
    }
  }
}

void HeatMap::addPointClouds(HeatMap* map, const Eigen::Vector2i* points, std::size_t pointCount,
                             const Eigen::Vector2i* offsets, std::size_t offsetCount, const HeatMapStamp* stamp) {
  if (map == nullptr || map->cells == nullptr || stamp == nullptr || stamp->buf == nullptr) return;
  if (pointCount == 0 || offsetCount == 0 || points == nullptr || offsets == nullptr) return;
  if (stamp->width == 0 || stamp->height == 0) return;

  // With a stamp that can lower a cell, the largest value reached on the way is not the largest
  // final value; such stamps take the plain path.
  if (!hasOnlyNonNegativeValues(*stamp)) {
    for (std::size_t p = 0; p < pointCount; ++p) {
      for (std::size_t o = 0; o < offsetCount; ++o) {
        const std::uint32_t x = static_cast<std::uint32_t>(points[p].x()) + static_cast<std::uint32_t>(offsets[o].x());
        const std::uint32_t y = static_cast<std::uint32_t>(points[p].y()) + static_cast<std::uint32_t>(offsets[o].y());
        addPointWithStamp(map, x, y, stamp);
      }
    }
    return;
  }

  using heatmap_bands::CloudPlan;
  using heatmap_bands::WindowEntry;

  const std::int64_t width = map->width;
  const std::int64_t height = map->height;
  const std::int64_t sh = stamp->height;
  const std::int64_t hh = sh / 2;
  std::int64_t minOffsetX = std::numeric_limits<std::int64_t>::max();
  std::int64_t minOffsetY = std::numeric_limits<std::int64_t>::max();
  std::int64_t maxOffsetY = std::numeric_limits<std::int64_t>::min();
  for (std::size_t o = 0; o < offsetCount; ++o) {
    minOffsetX = std::min<std::int64_t>(minOffsetX, offsets[o].x());
    minOffsetY = std::min<std::int64_t>(minOffsetY, offsets[o].y());
    maxOffsetY = std::max<std::int64_t>(maxOffsetY, offsets[o].y());
  }

  int threads = 1;
#ifdef _OPENMP
  threads = omp_get_max_threads();
#endif
  const std::int64_t bandRows = bandRowsFor(height, threads);
  const std::int64_t bandCount = (height + bandRows - 1) / bandRows;

  CloudPlan plan;
  plan.map = map;
  plan.stamp = stamp;
  plan.points = points;
  plan.pointCount = pointCount;
  plan.offsets = offsets;
  plan.offsetCount = offsetCount;
  plan.bandRows = bandRows;

  // The offsets reaching a band, listed per d = y0 - point.y: offset o reaches rows [y0, y0 +
  // bandRows) when its stamp rows y0 - d + oy - hh + [0, sh) meet them, that is for d in
  // [oy - hh - bandRows + 1, oy - hh + sh - 1]. Offsets spread too far apart (or very tall
  // stamps) would make the lists large; every record then goes offset by offset.
  const bool listed = maxOffsetY - minOffsetY <= kMaxListedSpan && sh <= kMaxListedStampHeight &&
                      static_cast<std::uint64_t>(offsetCount) <=
                          static_cast<std::uint64_t>(kMaxListedEntries / (sh + bandRows - 1));
  std::vector<std::uint32_t> windowStart;
  std::vector<WindowEntry> entries;
  if (listed) {
    plan.dMin = minOffsetY - hh - bandRows + 1;
    plan.dMax = maxOffsetY - hh + sh - 1;
    const std::size_t windows = static_cast<std::size_t>(plan.dMax - plan.dMin + 1);
    windowStart.assign(windows + 1, 0);
    for (std::size_t o = 0; o < offsetCount; ++o) {
      const std::int64_t first = offsets[o].y() - hh - bandRows + 1 - plan.dMin;
      const std::int64_t last = offsets[o].y() - hh + sh - 1 - plan.dMin;
      for (std::int64_t w = first; w <= last; ++w) ++windowStart[static_cast<std::size_t>(w) + 1];
    }
    for (std::size_t w = 0; w < windows; ++w) windowStart[w + 1] += windowStart[w];
    entries.resize(windowStart[windows]);
    std::vector<std::uint32_t> fill(windowStart.begin(), windowStart.end() - 1);
    // Offsets are taken in order, so each list keeps the offset order.
    for (std::size_t o = 0; o < offsetCount; ++o) {
      const std::int64_t oy = offsets[o].y();
      for (std::int64_t d = oy - hh - bandRows + 1; d <= oy - hh + sh - 1; ++d) {
        // Stamp row r lands on grid row y0 + oy - d - hh + r: rows from `shift` on are in the band.
        const std::int64_t shift = d - oy + hh;
        WindowEntry e;
        e.ox = offsets[o].x();
        e.oy = offsets[o].y();
        e.rFirst = static_cast<std::int32_t>(std::max<std::int64_t>(0, shift));
        e.rEnd = static_cast<std::int32_t>(std::min<std::int64_t>(sh, shift + bandRows));
        entries[fill[static_cast<std::size_t>(d - plan.dMin)]++] = e;
      }
    }
    plan.windowStart = windowStart.data();
    plan.entries = entries.data();
  }

  // Per record: the rows its stamps can reach, and whether its centres are plain 64-bit sums.
  // The unsigned 32-bit sum of point and offset differs from the 64-bit one only for a negative
  // sum, which lands at sum + 2^32; that is outside the grid unless sum < size - 2^32.
  constexpr std::int64_t kUnsignedRange = std::int64_t(1) << 32;
  std::vector<std::int64_t> reachLow(pointCount), reachHigh(pointCount);
  std::vector<std::uint8_t> plain(pointCount);
  for (std::size_t p = 0; p < pointCount; ++p) {
    const std::int64_t px = points[p].x();
    const std::int64_t py = points[p].y();
    const bool simple = px + minOffsetX >= width - kUnsignedRange && py + minOffsetY >= height - kUnsignedRange;
    plain[p] = listed && simple;
    if (simple) {
      reachLow[p] = py + minOffsetY - hh;
      reachHigh[p] = py + maxOffsetY - hh + sh - 1;
    } else {
      reachLow[p] = std::numeric_limits<std::int64_t>::min();
      reachHigh[p] = std::numeric_limits<std::int64_t>::max();
    }
  }
  plan.reachLow = reachLow.data();
  plan.reachHigh = reachHigh.data();
  plan.plain = plain.data();

  const bool avx2 = Lumetra::Cpu::useAVX2();
  float largest = map->max;
#pragma omp parallel for schedule(dynamic, 1) reduction(max : largest)
  for (std::int64_t band = 0; band < bandCount; ++band) {
    const std::int64_t y0 = band * bandRows;
    const std::int64_t y1 = std::min<std::int64_t>(height, y0 + bandRows);
    const float bandLargest =
        avx2 ? heatmap_bands::fillBandAVX2(plan, y0, y1) : heatmap_bands::fillBandPortable(plan, y0, y1);
    if (bandLargest > largest) largest = bandLargest;
  }
  map->max = largest;
}

std::uint32_t* HeatMap::render(const HeatMap* map, const HeatMapColorScheme* scheme, std::uint32_t* out) {
  if (map == nullptr || map->cells == nullptr || scheme == nullptr || scheme->colors == nullptr || scheme->count == 0) {
    return nullptr;
  }
  const std::size_t count = static_cast<std::size_t>(map->width) * map->height;
  if (out == nullptr) {
    out = static_cast<std::uint32_t*>(std::calloc(count, sizeof(std::uint32_t)));
    if (out == nullptr) return nullptr;
  }
  const float s = map->max > 0.0f ? map->max : 1.0f;
  const float last = static_cast<float>(scheme->count - 1);
  for (std::uint32_t y = 0; y < map->height; ++y) {
    const float* row = map->cells + static_cast<std::size_t>(y) * map->width;
    std::uint32_t* dst = out + static_cast<std::size_t>(y) * map->width;
    for (std::uint32_t x = 0; x < map->width; ++x) {
      const float v = std::min(s, row[x]) / s;
      const float position = v * last + 0.5f;
      // Only a negative cell (which stamps never make) can put the position below 0.
      std::uint64_t index = position >= 0.0f ? static_cast<std::uint64_t>(position) : 0;
      if (index >= scheme->count) index = scheme->count - 1;
      dst[x] = scheme->colors[index];
    }
  }
  return out;
}

const std::array<std::uint32_t, kHeatMapPaletteSize>& heatMapPalette() {
  static const std::array<std::uint32_t, kHeatMapPaletteSize> words = [] {
    std::array<std::uint32_t, kHeatMapPaletteSize> w{};
    for (std::size_t i = 0; i < kHeatMapPaletteSize; ++i) std::memcpy(&w[i], kPaletteBytes[i], sizeof(std::uint32_t));
    return w;
  }();
  return words;
}

}  // namespace Obrin
