#include "ObjectTracker/Trainer/Image/HeatMap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace Obrin {

namespace {

constexpr std::uint32_t kDefaultStampSide = 9;
constexpr std::uint64_t kMaxColors = std::uint64_t(1) << 24;

// Bytes R, G, B, A of the palette, lowest density first. The first two entries are the same.
constexpr std::uint8_t kPaletteBytes[kHeatMapPaletteSize][4] = {
    {0xd7, 0x3c, 0x51, 0xff}, {0xd7, 0x3c, 0x51, 0xff}, {0xf3, 0x6f, 0x44, 0xff}, {0xfd, 0xb0, 0x5e, 0xff},
    {0xfe, 0xe0, 0x90, 0xff}, {0xfa, 0xff, 0xa4, 0xff}, {0xe6, 0xf5, 0x96, 0xff}, {0xaf, 0xdc, 0xa3, 0xff},
    {0x66, 0xc2, 0xa5, 0xff}, {0x35, 0x87, 0xbb, 0xff}, {0x2b, 0x70, 0xc7, 0xff}, {0x21, 0x5c, 0xd1, 0xff},
    {0x17, 0x3e, 0xdb, 0xff}, {0x0d, 0x2a, 0xe5, 0xff}, {0x08, 0x20, 0xef, 0xff}, {0x05, 0x16, 0xf9, 0xff},
    {0x03, 0x0c, 0xff, 0xff},
};

// The count grid has a margin of kPad zero cells on every side, so that the convolution with the
// default stamp (radius kPad) needs no clipping.
constexpr std::int64_t kPad = kDefaultStampSide / 2;
// A cell's count times the 81 stamp cells must stay within a 32-bit signed sum.
constexpr std::int64_t kMaxCountPerCell = std::numeric_limits<std::int32_t>::max() / 81;

/// Adds to the padded count grid the stamp centres of points [0, count) and every offset; a run
/// of equal points is counted once, with its length.
void countCentres(std::int32_t* grid, std::int64_t width, std::int64_t height, const Eigen::Vector2i* points,
                  std::size_t count, const Eigen::Vector2i* offsets, std::size_t offsetCount) {
  const std::int64_t stride = width + 2 * kPad;
  std::int64_t minX = 0, maxX = 0, minY = 0, maxY = 0;
  std::vector<std::int64_t> shift(offsetCount);
  for (std::size_t o = 0; o < offsetCount; ++o) {
    minX = std::min<std::int64_t>(minX, offsets[o].x()), maxX = std::max<std::int64_t>(maxX, offsets[o].x());
    minY = std::min<std::int64_t>(minY, offsets[o].y()), maxY = std::max<std::int64_t>(maxY, offsets[o].y());
    shift[o] = std::int64_t(offsets[o].y()) * stride + offsets[o].x();
  }
  for (std::size_t p = 0; p < count;) {
    std::size_t next = p + 1;
    while (next < count && points[next] == points[p]) ++next;
    const auto run = static_cast<std::int32_t>(next - p);
    const std::int64_t px = points[p].x(), py = points[p].y();
    if (px + minX >= 0 && px + maxX < width && py + minY >= 0 && py + maxY < height) {
      // Every centre of this point lies inside the grid.
      std::int32_t* base = grid + (py + kPad) * stride + px + kPad;
      for (std::size_t o = 0; o < offsetCount; ++o) base[shift[o]] += run;
    } else {
      for (std::size_t o = 0; o < offsetCount; ++o) {
        const std::uint32_t x = static_cast<std::uint32_t>(px) + static_cast<std::uint32_t>(offsets[o].x());
        const std::uint32_t y = static_cast<std::uint32_t>(py) + static_cast<std::uint32_t>(offsets[o].y());
        if (x < width && y < height) grid[(y + kPad) * stride + x + kPad] += run;
      }
    }
    p = next;
  }
}

/// The counts at the (up to eight) positions (+-a, +-b) and (+-b, +-a) around column x, all of
/// one stamp value; v[b] holds the counts of rows y - b and y + b summed.
template <std::int64_t A, std::int64_t B>
inline std::int32_t ring(const std::int32_t* const* v, std::int64_t x) {
  std::int32_t n = A == 0 ? v[B][x] : v[B][x - A] + v[B][x + A];
  if (A != B) n += v[A][x - B] + v[A][x + B];
  return n;
}

/// Adds the count grid convolved with the default stamp to the map's cells and returns the
/// largest cell. The stamp's value depends only on the distance from its centre, so the counts
/// of one value are summed as integers first and weighted once.
__attribute__((target_clones("avx2", "default"))) float addConvolvedCounts(HeatMap& map, const std::int32_t* grid) {
  const std::int64_t width = map.width, height = map.height, stride = width + 2 * kPad;
  // w[a][b]: the stamp at (+-a, +-b) from its centre.
  const float* stamp = HeatMapStamp::defaultStamp()->buf;
  float w[kPad + 1][kPad + 1];
  for (std::int64_t a = 0; a <= kPad; ++a) {
    for (std::int64_t b = 0; b <= kPad; ++b) w[a][b] = stamp[(kPad + b) * kDefaultStampSide + kPad + a];
  }
  std::vector<std::int32_t> vertical(static_cast<std::size_t>((kPad + 1) * stride));
  const std::int32_t* v[kPad + 1];
  for (std::int64_t b = 0; b <= kPad; ++b) v[b] = vertical.data() + b * stride + kPad;
  std::int32_t largestBits;
  std::memcpy(&largestBits, &map.max, sizeof largestBits);
  for (std::int64_t y = 0; y < height; ++y) {
    const std::int32_t* centre = grid + (y + kPad) * stride;
    std::copy(centre, centre + stride, vertical.begin());
    for (std::int64_t b = 1; b <= kPad; ++b) {
      std::int32_t* sums = vertical.data() + b * stride;
      for (std::int64_t x = 0; x < stride; ++x) sums[x] = centre[x - b * stride] + centre[x + b * stride];
    }
    float* row = map.cells + y * width;
    for (std::int64_t x = 0; x < width; ++x) {
      const float sum =
          w[0][0] * static_cast<float>(ring<0, 0>(v, x)) + w[0][1] * static_cast<float>(ring<0, 1>(v, x)) +
          w[0][2] * static_cast<float>(ring<0, 2>(v, x)) + w[0][3] * static_cast<float>(ring<0, 3>(v, x)) +
          w[0][4] * static_cast<float>(ring<0, 4>(v, x)) + w[1][1] * static_cast<float>(ring<1, 1>(v, x)) +
          w[1][2] * static_cast<float>(ring<1, 2>(v, x)) + w[1][3] * static_cast<float>(ring<1, 3>(v, x)) +
          w[1][4] * static_cast<float>(ring<1, 4>(v, x)) + w[2][2] * static_cast<float>(ring<2, 2>(v, x)) +
          w[2][3] * static_cast<float>(ring<2, 3>(v, x)) + w[2][4] * static_cast<float>(ring<2, 4>(v, x)) +
          w[3][3] * static_cast<float>(ring<3, 3>(v, x));  // (3, 4) and (4, 4) lie outside the radius
      row[x] += sum;
    }
    // Cells are never negative, so their bit patterns order like the values.
    for (std::int64_t x = 0; x < width; ++x) {
      std::int32_t bits;
      std::memcpy(&bits, &row[x], sizeof bits);
      largestBits = std::max(largestBits, bits);
    }
  }
  float largest;
  std::memcpy(&largest, &largestBits, sizeof largest);
  return largest;
}

}  // namespace

const HeatMapStamp* HeatMapStamp::defaultStamp() {
  static float values[kDefaultStampSide * kDefaultStampSide];
  static const HeatMapStamp stamp = [] {
    const int centre = static_cast<int>(kDefaultStampSide / 2);
    for (int r = 0; r < static_cast<int>(kDefaultStampSide); ++r) {
      for (int c = 0; c < static_cast<int>(kDefaultStampSide); ++c) {
        const double d = std::sqrt(static_cast<double>((c - centre) * (c - centre) + (r - centre) * (r - centre)));
        values[r * kDefaultStampSide + c] = static_cast<float>(std::max(0.0, 1.0 - d / (centre + 1)));
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
  if (colors == nullptr || n == 0 || n > kMaxColors) {
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
  // Zeroed by writing, not by calloc (which the compiler also makes of malloc and memset): fresh
  // calloc pages are the shared zero page until written, and the stamps read each cell before
  // writing it, which faults every page twice, the second time with a TLB flush on every core
  // that runs one of the process's threads.
  auto* cells = new (std::nothrow) float[count]();
  if (map == nullptr || cells == nullptr) {
    std::free(map);
    delete[] cells;
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
  delete[] map->cells;
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
  const std::uint32_t hw = stamp->width / 2;
  const std::uint32_t hh = stamp->height / 2;
  // In 64 bits so that centres near the top of the unsigned range cannot wrap.
  const std::uint64_t x64 = x, y64 = y;
  const std::uint32_t c0 = x < hw ? hw - x : 0;
  const auto c1 = static_cast<std::uint32_t>(x64 + hw < map->width ? stamp->width : hw - x64 + map->width);
  const std::uint32_t r0 = y < hh ? hh - y : 0;
  const auto r1 = static_cast<std::uint32_t>(y64 + hh < map->height ? stamp->height : map->height - y64 + hh);
  for (std::uint32_t r = r0; r < r1; ++r) {
    float* dst = map->cells + (y64 + r - hh) * map->width + (x64 + c0 - hw);
    const float* src = stamp->buf + static_cast<std::size_t>(r) * stamp->width + c0;
    for (std::uint32_t k = 0; k < c1 - c0; ++k) {
      dst[k] += src[k];
      if (dst[k] > map->max) map->max = dst[k];
    }
  }
}

void HeatMap::addPointClouds(HeatMap* map, const Eigen::Vector2i* points, std::size_t pointCount,
                             const Eigen::Vector2i* offsets, std::size_t offsetCount) {
  if (map == nullptr || map->cells == nullptr || points == nullptr || offsets == nullptr || offsetCount == 0) return;
  const std::int64_t width = map->width, height = map->height;
  std::vector<std::int32_t> grid(static_cast<std::size_t>((width + 2 * kPad) * (height + 2 * kPad)));
  // Stamp centres per cell, exact; cells only grow (the stamp is never negative), so the largest
  // value reached is the largest final cell.
  const std::size_t chunk = std::max<std::size_t>(1, kMaxCountPerCell / offsetCount);
  for (std::size_t first = 0; first < pointCount; first += chunk) {
    std::fill(grid.begin(), grid.end(), 0);
    countCentres(grid.data(), width, height, points + first, std::min(chunk, pointCount - first), offsets,
                 offsetCount);
    map->max = addConvolvedCounts(*map, grid.data());
  }
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
  // The palette entries first (a loop of plain arithmetic), then their colours. Only a negative
  // cell (which stamps never make) can put the position below 0.
  for (std::size_t i = 0; i < count; ++i) {
    const float position = std::min(s, map->cells[i]) / s * last + 0.5f;
    out[i] = static_cast<std::uint32_t>(static_cast<std::int32_t>(position > 0.0f ? position : 0.0f));
  }
  const auto lastEntry = static_cast<std::uint32_t>(scheme->count - 1);
  for (std::size_t i = 0; i < count; ++i) out[i] = scheme->colors[std::min(out[i], lastEntry)];
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
