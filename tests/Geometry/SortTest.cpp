#include "Geometry/Sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

float distance3(const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
  const float dx = a.x() - b.x(), dy = a.y() - b.y(), dz = a.z() - b.z();
  return dx * dx + dy * dy + dz * dz;
}
std::int64_t distance2(const Eigen::Vector2i& a, const Eigen::Vector2i& b) {
  const std::int64_t dx = a.x() - b.x(), dy = a.y() - b.y();
  return dx * dx + dy * dy;
}

// The ordering as written: farthest pair, then for every untaken point a rescan of the whole
// taken list, with threshold 0 (never reached).
template <typename Point, typename Distance, typename F>
std::vector<std::int32_t> literalOrder(const std::vector<Point>& p, std::int32_t limit, F distance) {
  const int n = static_cast<int>(p.size());
  if (n == 0) return {};
  if (n == 1) return {0};
  limit = std::min(limit, n);
  std::vector<int> index(n);
  for (int i = 0; i < n; ++i) index[i] = i;
  Distance best = std::numeric_limits<Distance>::lowest();
  int bi = 0, bj = 0;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      if (distance(p[i], p[j]) > best) best = distance(p[i], p[j]), bi = i, bj = j;
  std::vector<std::int32_t> result{bi, bj};
  index[bi] = index[bj] = -1;
  while (static_cast<int>(result.size()) < limit) {
    Distance bestD = std::numeric_limits<Distance>::lowest();
    int candidate = 0;
    for (int k = 0; k < n; ++k) {
      if (index[k] == -1) continue;
      Distance d = distance(p[k], p[result[0]]);
      for (std::int32_t r : result) d = distance(p[k], p[r]) < d ? distance(p[k], p[r]) : d;
      if (d > bestD) bestD = d, candidate = k;
    }
    result.push_back(candidate);
    index[candidate] = -1;
  }
  return result;
}

}  // namespace

TEST(SortByPairDistance, MatchesTheLiteralOrderingWithItsTies) {
  struct Case { int n; std::int32_t limit; int gridSize; };  // gridSize 0: random floats
  const Case cases[] = {{0, 5, 3}, {1, 0, 3}, {2, 0, 3}, {2, 9, 3}, {7, 7, 0}, {60, 25, 0}, {60, 100, 0},
                        {40, 40, 3}, {90, 30, 5}, {200, 190, 12}};
  std::mt19937 random(7);
  for (const Case& c : cases) {
    std::vector<Eigen::Vector2i> grid;  // few distinct values: many ties and duplicates
    std::vector<Eigen::Vector3f> cloud;
    std::uniform_int_distribution<int> cell(0, std::max(c.gridSize - 1, 0));
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    for (int i = 0; i < c.n; ++i) {
      grid.emplace_back(cell(random), cell(random));
      cloud.emplace_back(coordinate(random), coordinate(random), c.gridSize ? float(cell(random)) : coordinate(random));
    }
    const auto expected2 = literalOrder<Eigen::Vector2i, std::int64_t>(grid, c.limit, distance2);
    EXPECT_EQ(Lumetra::sortByPairDistance(grid, 0, c.limit, 1u), expected2) << c.n << " " << c.limit;
    const auto expected3 = literalOrder<Eigen::Vector3f, float>(cloud, c.limit, distance3);
    EXPECT_EQ(Lumetra::sortByPairDistance(cloud, 0.0f, c.limit, 1u), expected3) << c.n << " " << c.limit;
  }
  // Duplicates are taken too, last; no limit orders every point.
  const std::vector<Eigen::Vector2i> twins{{0, 0}, {5, 0}, {0, 0}, {2, 0}};
  EXPECT_EQ(Lumetra::sortByPairDistance(twins, 0), (std::vector<std::int32_t>{0, 1, 3, 2}));
}

TEST(SortByPairDistance, PixelDistancesDoNotOverflow) {
  const std::vector<Eigen::Vector2i> far{{0, 0}, {-2000000000, 0}, {2000000000, 5}, {1000000000, 0}};
  EXPECT_EQ(Lumetra::sortByPairDistance(far, 0), (std::vector<std::int32_t>{1, 2, 0, 3}));
}

TEST(SortByPairDistance, ThresholdFillsUpWithDistinctUntakenPoints) {
  std::vector<Eigen::Vector3f> points;
  for (int i = 0; i < 30; ++i) points.emplace_back(float(i), 0.0f, 0.0f);
  const auto order = Lumetra::sortByPairDistance(points, 1000.0f, 12, 3u);
  ASSERT_EQ(order.size(), 12u);
  EXPECT_EQ(order[0], 0);
  EXPECT_EQ(order[1], 29);
  std::vector<std::int32_t> sorted(order.begin(), order.end());
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
}
