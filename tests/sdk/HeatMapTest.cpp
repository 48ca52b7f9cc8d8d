// The heat map: stamp, clipping, colouring and the banded parallel addition, against a plain
// cell-by-cell reference written here.
#include "Core/CpuFeatures.h"
#include "ObjectTracker/Trainer/Image/HeatMap.h"
#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace {

using Obrin::HeatMap;
using Obrin::HeatMapColorScheme;
using Obrin::HeatMapStamp;

struct MapDeleter {
  void operator()(HeatMap* map) const { HeatMap::release(map); }
};
using MapPtr = std::unique_ptr<HeatMap, MapDeleter>;

struct SchemeDeleter {
  void operator()(HeatMapColorScheme* scheme) const { HeatMap::release(scheme); }
};
using SchemePtr = std::unique_ptr<HeatMapColorScheme, SchemeDeleter>;

// The palette as tabled: R, G, B, A per entry.
const std::uint8_t kPalette[17][4] = {
    {0xd7, 0x3c, 0x51, 0xff}, {0xd7, 0x3c, 0x51, 0xff}, {0xf3, 0x6f, 0x44, 0xff}, {0xfd, 0xb0, 0x5e, 0xff},
    {0xfe, 0xe0, 0x90, 0xff}, {0xfa, 0xff, 0xa4, 0xff}, {0xe6, 0xf5, 0x96, 0xff}, {0xaf, 0xdc, 0xa3, 0xff},
    {0x66, 0xc2, 0xa5, 0xff}, {0x35, 0x87, 0xbb, 0xff}, {0x2b, 0x70, 0xc7, 0xff}, {0x21, 0x5c, 0xd1, 0xff},
    {0x17, 0x3e, 0xdb, 0xff}, {0x0d, 0x2a, 0xe5, 0xff}, {0x08, 0x20, 0xef, 0xff}, {0x05, 0x16, 0xf9, 0xff},
    {0x03, 0x0c, 0xff, 0xff},
};

std::uint32_t paletteWord(int index) {
  std::uint32_t word;
  std::memcpy(&word, kPalette[index], 4);
  return word;
}

/// A grid filled one stamp cell at a time, with a bounds test per cell.
struct ReferenceMap {
  std::uint32_t width, height;
  std::vector<float> cells;
  float max = 0.0f;

  ReferenceMap(std::uint32_t w, std::uint32_t h) : width(w), height(h), cells(std::size_t(w) * h, 0.0f) {}

  void add(std::uint32_t x, std::uint32_t y, const float* stamp, std::uint32_t sw, std::uint32_t sh) {
    if (x >= width || y >= height) return;
    for (std::uint32_t r = 0; r < sh; ++r) {
      for (std::uint32_t c = 0; c < sw; ++c) {
        const std::int64_t cx = std::int64_t(x) - std::int64_t(sw / 2) + c;
        const std::int64_t cy = std::int64_t(y) - std::int64_t(sh / 2) + r;
        if (cx < 0 || cy < 0 || cx >= width || cy >= height) continue;
        float& cell = cells[std::size_t(cy) * width + std::size_t(cx)];
        cell += stamp[r * sw + c];
        if (cell > max) max = cell;
      }
    }
  }
};

void expectSameCells(const HeatMap& map, const ReferenceMap& reference, const std::string& what) {
  ASSERT_EQ(map.width, reference.width);
  ASSERT_EQ(map.height, reference.height);
  std::size_t differences = 0;
  for (std::size_t i = 0; i < reference.cells.size(); ++i) {
    std::uint32_t a, b;
    std::memcpy(&a, &map.cells[i], 4);
    std::memcpy(&b, &reference.cells[i], 4);
    if (a != b && differences++ < 5) {
      ADD_FAILURE() << what << ": cell (" << i % map.width << ", " << i / map.width << ") " << map.cells[i]
                    << " != " << reference.cells[i];
    }
  }
  EXPECT_EQ(differences, 0u) << what;
  EXPECT_EQ(map.max, reference.max) << what;
}

std::vector<Eigen::Vector2i> normalOffsets(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> dx(0.0, 10.0), dy(0.0, 10.0);
  std::vector<Eigen::Vector2i> offsets;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = dx(engine);
    const double y = dy(engine);
    offsets.emplace_back(static_cast<int>(std::trunc(x)), static_cast<int>(std::trunc(y)));
  }
  return offsets;
}

TEST(HeatMap, DefaultStamp) {
  const HeatMapStamp* stamp = HeatMapStamp::defaultStamp();
  ASSERT_EQ(stamp->width, 9u);
  ASSERT_EQ(stamp->height, 9u);
  int zeros = 0;
  for (int r = 0; r < 9; ++r) {
    for (int c = 0; c < 9; ++c) {
      const double d = std::hypot(double(c - 4), double(r - 4));
      const float expected = static_cast<float>(std::max(0.0, 1.0 - d / 5.0));
      EXPECT_FLOAT_EQ(stamp->buf[r * 9 + c], expected) << r << ", " << c;
      zeros += stamp->buf[r * 9 + c] == 0.0f;
    }
  }
  EXPECT_EQ(stamp->buf[4 * 9 + 4], 1.0f);
  EXPECT_EQ(stamp->buf[4 * 9 + 5], 0.8f);
  EXPECT_FLOAT_EQ(stamp->buf[0 * 9 + 4], 0.2f);
  EXPECT_EQ(zeros, 12);  // three in each corner
}

TEST(HeatMap, CreateLoadAndRelease) {
  MapPtr map(HeatMap::create(7, 5));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->width, 7u);
  EXPECT_EQ(map->height, 5u);
  EXPECT_EQ(map->max, 0.0f);
  for (int i = 0; i < 35; ++i) EXPECT_EQ(map->cells[i], 0.0f);
  EXPECT_EQ(HeatMap::create(0, 5), nullptr);
  HeatMap::release(static_cast<HeatMap*>(nullptr));
  HeatMap::release(static_cast<HeatMapColorScheme*>(nullptr));

  std::vector<std::uint32_t> colors = {1u, 2u, 3u};
  SchemePtr scheme(HeatMapColorScheme::load(colors.data(), colors.size()));
  ASSERT_NE(scheme, nullptr);
  colors[1] = 99u;  // the scheme holds its own copy
  EXPECT_EQ(scheme->count, 3u);
  EXPECT_EQ(scheme->colors[1], 2u);
  EXPECT_EQ(HeatMapColorScheme::load(colors.data(), 0), nullptr);
  EXPECT_EQ(HeatMapColorScheme::load(nullptr, 3), nullptr);
}

TEST(HeatMap, PointAtTheOriginAddsTheLowerRightQuarter) {
  MapPtr map(HeatMap::create(20, 15));
  HeatMap::addPoint(map.get(), 0, 0);
  const float* stamp = HeatMapStamp::defaultStamp()->buf;
  for (std::uint32_t y = 0; y < 15; ++y) {
    for (std::uint32_t x = 0; x < 20; ++x) {
      const float expected = (x <= 4 && y <= 4) ? stamp[(y + 4) * 9 + (x + 4)] : 0.0f;
      EXPECT_EQ(map->cells[y * 20 + x], expected) << x << ", " << y;
    }
  }
  EXPECT_EQ(map->max, 1.0f);
}

TEST(HeatMap, PointsOutsideTheGridAreDropped) {
  MapPtr map(HeatMap::create(20, 15));
  HeatMap::addPoint(map.get(), 20, 3);
  HeatMap::addPoint(map.get(), 3, 15);
  HeatMap::addPoint(map.get(), std::numeric_limits<std::uint32_t>::max(), 0);
  // A negative sum of point and offset reads as a large unsigned value.
  const Eigen::Vector2i point(2, 2), offset(-5, 0);
  HeatMap::addPointClouds(map.get(), &point, 1, &offset, 1, HeatMapStamp::defaultStamp());
  for (int i = 0; i < 20 * 15; ++i) EXPECT_EQ(map->cells[i], 0.0f);
  EXPECT_EQ(map->max, 0.0f);
}

TEST(HeatMap, PaletteAsTabled) {
  const auto& palette = Obrin::heatMapPalette();
  ASSERT_EQ(palette.size(), 17u);
  for (int i = 0; i < 17; ++i) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &palette[i], 4);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(bytes[k], kPalette[i][k]) << "entry " << i << " byte " << k;
  }
}

TEST(HeatMap, RenderThroughThePalette) {
  const auto& palette = Obrin::heatMapPalette();
  SchemePtr scheme(HeatMapColorScheme::load(palette.data(), palette.size()));
  MapPtr map(HeatMap::create(4, 2));

  // An empty map: s = 1, every v = 0, entry 0.
  std::vector<std::uint32_t> out(8, 0xdeadbeefu);
  EXPECT_EQ(HeatMap::render(map.get(), scheme.get(), out.data()), out.data());
  for (std::uint32_t word : out) EXPECT_EQ(word, paletteWord(0));

  // v * 16 + 0.5 truncated: max -> 16, half -> 8 (8.5), a sixteenth -> 1 (1.5), 0.03 -> 0 (0.74).
  const float cells[8] = {2.0f, 1.0f, 0.125f, 0.03f, 0.0f, 1.96875f, 1.90625f, 0.0625f};
  std::memcpy(map->cells, cells, sizeof(cells));
  map->max = 2.0f;
  const int expected[8] = {16, 8, 1, 0, 0, 16, 15, 1};
  std::uint32_t* allocated = HeatMap::render(map.get(), scheme.get(), nullptr);
  ASSERT_NE(allocated, nullptr);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(allocated[i], paletteWord(expected[i])) << "cell " << i;
  std::free(allocated);

  EXPECT_EQ(HeatMap::render(nullptr, scheme.get(), out.data()), nullptr);
  EXPECT_EQ(HeatMap::render(map.get(), nullptr, out.data()), nullptr);
}

TEST(HeatMap, BandedAdditionEqualsThePlainOrder) {
  struct Case {
    std::uint32_t width, height;
    std::size_t points;
    std::size_t offsets;
  };
  const float* stamp = HeatMapStamp::defaultStamp()->buf;
  unsigned seed = 7;
  for (const Case& c : {Case{640, 480, 400, 300}, Case{37, 5, 50, 40}, Case{3, 100, 30, 60}, Case{1, 1, 5, 10},
                        Case{129, 65, 200, 300}}) {
    std::mt19937 engine(seed++);
    std::uniform_int_distribution<int> px(-20, static_cast<int>(c.width) + 20);
    std::uniform_int_distribution<int> py(-20, static_cast<int>(c.height) + 20);
    std::vector<Eigen::Vector2i> points;
    for (std::size_t i = 0; i < c.points; ++i) points.emplace_back(px(engine), py(engine));
    // Clusters (many stamps on the same cells) and extreme values.
    for (int i = 0; i < 10; ++i) points.emplace_back(static_cast<int>(c.width / 2), static_cast<int>(c.height / 3));
    points.emplace_back(std::numeric_limits<int>::max(), 0);
    points.emplace_back(0, std::numeric_limits<int>::min());
    points.emplace_back(std::numeric_limits<int>::max(), std::numeric_limits<int>::max());
    const std::vector<Eigen::Vector2i> offsets = normalOffsets(c.offsets, seed++);

    MapPtr map(HeatMap::create(c.width, c.height));
    HeatMap::addPointClouds(map.get(), points.data(), points.size(), offsets.data(), offsets.size(),
                            HeatMapStamp::defaultStamp());
    ReferenceMap reference(c.width, c.height);
    for (const Eigen::Vector2i& p : points) {
      for (const Eigen::Vector2i& o : offsets) {
        reference.add(std::uint32_t(p.x()) + std::uint32_t(o.x()), std::uint32_t(p.y()) + std::uint32_t(o.y()), stamp,
                      9, 9);
      }
    }
    expectSameCells(*map, reference, std::to_string(c.width) + "x" + std::to_string(c.height));
  }
}

TEST(HeatMap, OtherStampsInTheBandedAddition) {
  // An even-sided stamp, and one with negative values (whose running maximum is not the final one).
  std::vector<float> even(6 * 4);
  for (std::size_t i = 0; i < even.size(); ++i) even[i] = 0.1f * float(i + 1);
  std::vector<float> mixed = {0.5f, -0.75f, 0.25f, 1.5f, -2.0f, 0.125f, 0.0f, 0.3f, -0.1f};
  struct StampCase {
    std::vector<float>* values;
    std::uint32_t width, height;
  };
  for (const StampCase& s : {StampCase{&even, 6, 4}, StampCase{&mixed, 3, 3}}) {
    const HeatMapStamp stamp{s.values->data(), s.width, s.height};
    std::mt19937 engine(11);
    std::uniform_int_distribution<int> coordinate(-3, 40);
    std::vector<Eigen::Vector2i> points;
    for (int i = 0; i < 60; ++i) points.emplace_back(coordinate(engine), coordinate(engine));
    const std::vector<Eigen::Vector2i> offsets = normalOffsets(25, 5);

    MapPtr map(HeatMap::create(37, 29));
    HeatMap::addPointClouds(map.get(), points.data(), points.size(), offsets.data(), offsets.size(), &stamp);
    ReferenceMap reference(37, 29);
    for (const Eigen::Vector2i& p : points) {
      for (const Eigen::Vector2i& o : offsets) {
        reference.add(std::uint32_t(p.x()) + std::uint32_t(o.x()), std::uint32_t(p.y()) + std::uint32_t(o.y()),
                      s.values->data(), s.width, s.height);
      }
    }
    expectSameCells(*map, reference, "stamp " + std::to_string(s.width) + "x" + std::to_string(s.height));
  }
}

/// Runs the clouds on a fresh map (or on `start`, whose cells and max it copies) with every SIMD
/// level the machine has and several thread counts, and compares each result with the plain
/// point-by-point reference.
void expectCloudsLikeThePlainOrder(std::uint32_t width, std::uint32_t height, const std::vector<Eigen::Vector2i>& points,
                                   const std::vector<Eigen::Vector2i>& offsets, const HeatMapStamp& stamp,
                                   const std::string& what, int repeats = 1) {
  ReferenceMap reference(width, height);
  for (int k = 0; k < repeats; ++k) {
    for (const Eigen::Vector2i& p : points) {
      for (const Eigen::Vector2i& o : offsets) {
        reference.add(std::uint32_t(p.x()) + std::uint32_t(o.x()), std::uint32_t(p.y()) + std::uint32_t(o.y()),
                      stamp.buf, stamp.width, stamp.height);
      }
    }
  }
  std::vector<Lumetra::Cpu::SimdLevel> levels = {Lumetra::Cpu::SimdLevel::Scalar};
  if (Lumetra::Cpu::detected() >= Lumetra::Cpu::SimdLevel::AVX2) levels.push_back(Lumetra::Cpu::SimdLevel::AVX2);
#ifdef _OPENMP
  const int previousThreads = omp_get_max_threads();
  const std::vector<int> threadCounts = {1, 2, 3, 8, 13, 64};
#else
  const std::vector<int> threadCounts = {1};
#endif
  for (Lumetra::Cpu::SimdLevel level : levels) {
    Lumetra::Cpu::ScopedSimdCeiling ceiling(level);
    for (int threads : threadCounts) {
#ifdef _OPENMP
      omp_set_num_threads(threads);
#endif
      MapPtr map(HeatMap::create(width, height));
      for (int k = 0; k < repeats; ++k) {
        HeatMap::addPointClouds(map.get(), points.data(), points.size(), offsets.data(), offsets.size(), &stamp);
      }
      expectSameCells(*map, reference,
                      what + " (level " + std::to_string(static_cast<int>(level)) + ", " + std::to_string(threads) +
                          " threads)");
    }
  }
#ifdef _OPENMP
  omp_set_num_threads(previousThreads);
#endif
}

std::vector<Eigen::Vector2i> uniformPoints(std::size_t count, int low, int highX, int highY, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<int> px(low, highX), py(low, highY);
  std::vector<Eigen::Vector2i> points;
  for (std::size_t i = 0; i < count; ++i) {
    const int x = px(engine);
    const int y = py(engine);
    points.emplace_back(x, y);
  }
  return points;
}

TEST(HeatMap, CloudsAtTheBordersOnEveryPath) {
  const HeatMapStamp& stamp = *HeatMapStamp::defaultStamp();
  // Sizes around multiples of the vector width and of the band heights, so that rows, columns
  // and the last band are cut in every way.
  for (const auto& size : {std::pair<std::uint32_t, std::uint32_t>{640, 480}, {9, 9}, {8, 17}, {17, 8}, {33, 129},
                           {130, 47}, {1, 300}}) {
    const int w = static_cast<int>(size.first), h = static_cast<int>(size.second);
    std::vector<Eigen::Vector2i> points = uniformPoints(150, -12, w + 12, h + 12, size.first * 7 + size.second);
    // Every corner and the middle of every edge, just inside and just outside.
    for (int dx : {-5, -4, -1, 0, 1, 3, 4, 5}) {
      for (int dy : {-5, -4, 0, 4, 5}) {
        points.emplace_back(dx, dy);
        points.emplace_back(w - 1 - dx, dy);
        points.emplace_back(dx, h - 1 - dy);
        points.emplace_back(w - 1 - dx, h - 1 - dy);
        points.emplace_back(w / 2 + dx, dy);
        points.emplace_back(dx, h / 2 + dy);
      }
    }
    const std::vector<Eigen::Vector2i> offsets = normalOffsets(60, size.first + size.second);
    expectCloudsLikeThePlainOrder(size.first, size.second, points, offsets, stamp,
                                  "borders " + std::to_string(w) + "x" + std::to_string(h));
  }
}

TEST(HeatMap, NegativeAndOneSidedOffsets) {
  const HeatMapStamp& stamp = *HeatMapStamp::defaultStamp();
  const std::vector<Eigen::Vector2i> points = uniformPoints(200, -40, 200, 150, 3);
  std::vector<Eigen::Vector2i> below = normalOffsets(80, 4), right = normalOffsets(80, 5), single = {{-3, -7}};
  for (Eigen::Vector2i& o : below) o -= Eigen::Vector2i(0, 35);  // all rows above the point
  for (Eigen::Vector2i& o : right) o = Eigen::Vector2i(std::abs(o.x()) + 20, -std::abs(o.y()));
  expectCloudsLikeThePlainOrder(170, 120, points, below, stamp, "offsets above");
  expectCloudsLikeThePlainOrder(170, 120, points, right, stamp, "offsets right and up");
  expectCloudsLikeThePlainOrder(170, 120, points, single, stamp, "one offset");
  // Offsets of the same row in a row, and offsets repeated, which stack stamps on the same cells.
  std::vector<Eigen::Vector2i> repeated;
  for (int i = 0; i < 40; ++i) repeated.emplace_back(i % 5 - 2, (i / 10) * 3 - 4);
  expectCloudsLikeThePlainOrder(170, 120, points, repeated, stamp, "repeated offsets");
}

TEST(HeatMap, DuplicateConsecutivePoints) {
  const HeatMapStamp& stamp = *HeatMapStamp::defaultStamp();
  std::vector<Eigen::Vector2i> points;
  // Several records per keypoint, as the pyramid levels give them, and long runs of one point.
  for (const Eigen::Vector2i& p : uniformPoints(60, 0, 95, 71, 9)) {
    for (int k = 0; k < 1 + (p.x() % 4); ++k) points.push_back(p);
  }
  for (int k = 0; k < 50; ++k) points.emplace_back(48, 36);
  for (int k = 0; k < 20; ++k) points.emplace_back(0, 71);
  expectCloudsLikeThePlainOrder(96, 72, points, normalOffsets(300, 10), stamp, "duplicates");
}

TEST(HeatMap, RepeatedCallsKeepAddingInOrder) {
  const std::vector<Eigen::Vector2i> points = uniformPoints(80, -5, 70, 50, 12);
  expectCloudsLikeThePlainOrder(64, 48, points, normalOffsets(50, 13), *HeatMapStamp::defaultStamp(), "three calls",
                                3);
}

TEST(HeatMap, SumsThatWrapAndFarSpreadOffsets) {
  const HeatMapStamp& stamp = *HeatMapStamp::defaultStamp();
  constexpr int kMin = std::numeric_limits<int>::min();
  constexpr int kMax = std::numeric_limits<int>::max();
  // INT_MIN + INT_MIN wraps to 0 as an unsigned sum: those stamps land at the top left.
  std::vector<Eigen::Vector2i> points = uniformPoints(40, 0, 50, 40, 14);
  points.insert(points.begin() + 10, Eigen::Vector2i(kMin, kMin));
  points.insert(points.begin() + 20, Eigen::Vector2i(kMin + 3, kMin + 7));
  points.emplace_back(kMax, kMax);
  points.emplace_back(kMin, 5);
  std::vector<Eigen::Vector2i> offsets = normalOffsets(30, 15);
  offsets.insert(offsets.begin() + 5, Eigen::Vector2i(kMin, kMin));
  offsets.emplace_back(kMin + 2, kMin + 1);
  // Rows far apart: too spread for the per-window lists.
  offsets.emplace_back(3, 100000);
  offsets.emplace_back(-2, -100000);
  expectCloudsLikeThePlainOrder(50, 40, points, offsets, stamp, "wrapping and far offsets");
  // The same wrapping records with offsets close together.
  expectCloudsLikeThePlainOrder(50, 40, points, normalOffsets(30, 16), stamp, "wrapping records");
}

TEST(HeatMap, StampsOfOtherShapesOnEveryPath) {
  std::vector<float> wide(11 * 3), tall(1 * 14), nine(9 * 9), nan(3 * 3, 0.5f);
  for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = 0.03f * float(i + 1);
  for (std::size_t i = 0; i < tall.size(); ++i) tall[i] = 0.7f / float(i + 1);
  for (std::size_t i = 0; i < nine.size(); ++i) nine[i] = 1.0f / float(i + 3);
  nine[40] = -0.0f;
  nan[4] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Eigen::Vector2i> points = uniformPoints(70, -6, 45, 40, 17);
  const std::vector<Eigen::Vector2i> offsets = normalOffsets(40, 18);
  expectCloudsLikeThePlainOrder(41, 35, points, offsets, HeatMapStamp{wide.data(), 11, 3}, "11x3 stamp");
  expectCloudsLikeThePlainOrder(41, 35, points, offsets, HeatMapStamp{tall.data(), 1, 14}, "1x14 stamp");
  expectCloudsLikeThePlainOrder(41, 35, points, offsets, HeatMapStamp{nine.data(), 9, 9}, "9x9 stamp");
  // A NaN stamp value keeps the running maximum apart from the final cells.
  expectCloudsLikeThePlainOrder(41, 35, points, offsets, HeatMapStamp{nan.data(), 3, 3}, "NaN stamp");
}

TEST(HeatmapGenerator, GaussianPoints) {
  const std::vector<Eigen::Vector2d> a = Obrin::generateGaussianPoints(0.0, 10.0, 20000);
  const std::vector<Eigen::Vector2d> b = Obrin::generateGaussianPoints(0.0, 10.0, 20000);
  ASSERT_EQ(a.size(), 20000u);
  EXPECT_NE(a, b);  // seeded from the random device on every call
  Eigen::Vector2d sum = Eigen::Vector2d::Zero(), squares = Eigen::Vector2d::Zero();
  for (const Eigen::Vector2d& p : a) {
    sum += p;
    squares += p.cwiseProduct(p);
  }
  const Eigen::Vector2d mean = sum / 20000.0;
  const Eigen::Vector2d deviation = (squares / 20000.0 - mean.cwiseProduct(mean)).cwiseSqrt();
  // Five standard errors: 10 / sqrt(20000) = 0.07 for the mean, about 0.05 for the deviation.
  EXPECT_NEAR(mean.x(), 0.0, 0.36);
  EXPECT_NEAR(mean.y(), 0.0, 0.36);
  EXPECT_NEAR(deviation.x(), 10.0, 0.25);
  EXPECT_NEAR(deviation.y(), 10.0, 0.25);
  EXPECT_TRUE(Obrin::generateGaussianPoints(3.0, 1.0, 0).empty());

  Obrin::HeatmapGenerator generator(16, 8, 0.0, 10.0, 300);
  EXPECT_EQ(generator.offsets().size(), 300u);
}

TEST(HeatmapGenerator, RunWithoutMapFails) {
  Obrin::HeatmapGenerator generator(0, 8, 0.0, 10.0, 3);
  EXPECT_EQ(generator.heatMap(), nullptr);
  EXPECT_FALSE(generator.run());
}

TEST(HeatmapGenerator, HeatMapAndOverlay) {
  const std::uint32_t width = 96, height = 64;
  Lumetra::ImageGray picture(Lumetra::Vec2u(width, height), Lumetra::Gray8{{0}});
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) picture.at(x, y)[0] = static_cast<std::uint8_t>((x * 5 + y * 3) & 0xff);
  }
  const std::vector<Eigen::Vector2i> points = {{10, 10}, {50, 30}, {50, 30}, {90, 60}, {-3, 5}, {96, 2}};
  std::vector<Eigen::Vector2d> offsets;
  std::mt19937 engine(3);
  std::normal_distribution<double> normal(0.0, 10.0);
  for (int i = 0; i < 300; ++i) {
    const double x = normal(engine);
    const double y = normal(engine);
    offsets.emplace_back(x, y);
  }

  Lumetra::ImageRGB heat, overlay;
  ASSERT_TRUE(Obrin::generateHeatmap(picture, points, offsets, heat, overlay));
  ASSERT_EQ(heat.width, width);
  ASSERT_EQ(heat.height, height);
  ASSERT_EQ(overlay.width, width);
  ASSERT_EQ(overlay.height, height);

  // Reference: the stamps of every point at every truncated offset, coloured through the palette.
  ReferenceMap reference(width, height);
  for (const Eigen::Vector2i& p : points) {
    for (const Eigen::Vector2d& o : offsets) {
      const auto ox = static_cast<std::int32_t>(std::trunc(o.x()));
      const auto oy = static_cast<std::int32_t>(std::trunc(o.y()));
      reference.add(std::uint32_t(p.x()) + std::uint32_t(ox), std::uint32_t(p.y()) + std::uint32_t(oy),
                    HeatMapStamp::defaultStamp()->buf, 9, 9);
    }
  }
  const float s = reference.max > 0.0f ? reference.max : 1.0f;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const float v = std::min(s, reference.cells[y * width + x]) / s;
      const int index = static_cast<int>(v * 16.0f + 0.5f);
      for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(heat.at(x, y)[k], kPalette[index][k]) << x << ", " << y;
        const double blended = 0.7 * picture.at(x, y)[0] + 0.3 * kPalette[index][k];
        EXPECT_NEAR(overlay.at(x, y)[k], std::min(255.0, std::trunc(blended)), 1.0) << x << ", " << y;
      }
    }
  }
}

TEST(HeatmapGenerator, NothingToDrawLeavesTheOutputs) {
  Lumetra::ImageGray picture(Lumetra::Vec2u(8, 8), Lumetra::Gray8{{9}});
  Lumetra::ImageRGB heat(Lumetra::Vec2u(1, 1), Lumetra::RGB8{{1, 2, 3}});
  Lumetra::ImageRGB overlay(Lumetra::Vec2u(2, 1), Lumetra::RGB8{{4, 5, 6}});
  const auto* heatPixels = heat.data;
  const auto* overlayPixels = overlay.data;
  EXPECT_FALSE(Obrin::generateHeatmap(picture, {}, heat, overlay));
  EXPECT_FALSE(Obrin::generateHeatmap(Lumetra::ImageGray(), {{1, 1}}, heat, overlay));
  EXPECT_EQ(heat.data, heatPixels);
  EXPECT_EQ(overlay.data, overlayPixels);
  EXPECT_EQ(heat.width, 1u);
  EXPECT_EQ(overlay.width, 2u);
  // With random offsets the result has the picture's size.
  EXPECT_TRUE(Obrin::generateHeatmap(picture, {{4, 4}}, heat, overlay));
  EXPECT_EQ(heat.width, 8u);
  EXPECT_EQ(overlay.height, 8u);
}

}  // namespace
