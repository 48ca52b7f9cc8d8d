#include "Geometry/Sort.h"

#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Core/RandomSeed.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <random>

namespace Lumetra {

namespace {

struct PointSpace3 {
  using Point = Eigen::Vector3f;
  using Distance = float;
  static Distance distance(const Point& a, const Point& b) {
    const float dx = a.x() - b.x();
    const float dy = a.y() - b.y();
    const float dz = a.z() - b.z();
    return dx * dx + dy * dy + dz * dz;
  }
};

struct PointSpace2 {
  using Point = Eigen::Vector2i;
  using Distance = std::int64_t;
  static Distance distance(const Point& a, const Point& b) {
    const std::int64_t dx = static_cast<std::int64_t>(a.x()) - b.x();
    const std::int64_t dy = static_cast<std::int64_t>(a.y()) - b.y();
    return dx * dx + dy * dy;
  }
};

/// The calling thread's engine of one point space, made on first use.
template <typename Space>
std::mt19937& pairDistanceEngine(std::optional<std::uint32_t> seed) {
  thread_local std::unique_ptr<std::mt19937> engine;
  if (!engine) {
    std::uint32_t value = 0;
    if (seed) {
      value = *seed;
    } else {
      value = randomDeviceSeed();
      LUMETRA_LOG_INFO("Pair distance seed set to {}.", value);
    }
    engine = std::make_unique<std::mt19937>(value);
  }
  return *engine;
}

template <typename Space, typename Threshold>
std::vector<std::int32_t> farthestPointOrder(const std::vector<typename Space::Point>& points, Threshold threshold,
                                             std::optional<std::int32_t> givenLimit,
                                             std::optional<std::uint32_t> seed) {
  PROFILE_BLOCK("Lumetra::sortByPairDistance");
  using Distance = typename Space::Distance;
  constexpr Distance lowest = std::numeric_limits<Distance>::lowest();

  std::vector<std::int32_t> result;
  const std::int64_t n = static_cast<std::int64_t>(points.size());
  if (n == 0) return result;
  if (n == 1) return {0};
  const std::int64_t limit = givenLimit ? std::min<std::int64_t>(*givenLimit, n) : n;
  std::mt19937& engine = pairDistanceEngine<Space>(seed);

  // The farthest pair; the first pair reaching the maximum stays.
  std::int64_t first = 0;
  std::int64_t second = 1;
  Distance farthest = lowest;
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = i + 1; j < n; ++j) {
      const Distance d = Space::distance(points[i], points[j]);
      if (d > farthest) {
        farthest = d;
        first = i;
        second = j;
      }
    }
  }
  result.reserve(static_cast<std::size_t>(std::max<std::int64_t>(limit, 2)));
  std::vector<char> taken(static_cast<std::size_t>(n), 0);
  taken[first] = taken[second] = 1;
  result.push_back(static_cast<std::int32_t>(first));
  result.push_back(static_cast<std::int32_t>(second));

  // Each untaken point's squared distance to its nearest taken point, brought up to date
  // against every newly taken point only: the minimum is the same whatever the order.
  std::vector<Distance> nearest(static_cast<std::size_t>(n));
  for (std::int64_t k = 0; k < n; ++k) {
    nearest[k] = Space::distance(points[k], points[first]);
    const Distance d = Space::distance(points[k], points[second]);
    if (d < nearest[k]) nearest[k] = d;
  }

  while (static_cast<std::int64_t>(result.size()) < limit) {
    Distance best = lowest;
    std::int64_t candidate = -1;
    for (std::int64_t k = 0; k < n; ++k) {
      if (!taken[k] && nearest[k] > best) {
        best = nearest[k];
        candidate = k;
      }
    }
    if (candidate < 0 || static_cast<Distance>(threshold) > best) break;
    taken[candidate] = 1;
    result.push_back(static_cast<std::int32_t>(candidate));
    const auto& added = points[candidate];
    for (std::int64_t k = 0; k < n; ++k) {
      if (taken[k]) continue;
      const Distance d = Space::distance(points[k], added);
      if (d < nearest[k]) nearest[k] = d;
    }
  }

  if (static_cast<std::int64_t>(result.size()) < limit) {
    std::vector<std::int32_t> untaken;
    for (std::int64_t k = 0; k < n; ++k) {
      if (!taken[k]) untaken.push_back(static_cast<std::int32_t>(k));
    }
    std::shuffle(untaken.begin(), untaken.end(), engine);
    const std::size_t missing = static_cast<std::size_t>(limit) - result.size();
    result.insert(result.end(), untaken.begin(), untaken.begin() + static_cast<std::ptrdiff_t>(missing));
  }
  return result;
}

}  // namespace

std::vector<std::int32_t> sortByPairDistance(const std::vector<Eigen::Vector3f>& points, float threshold,
                                             std::optional<std::int32_t> limit, std::optional<std::uint32_t> seed) {
  return farthestPointOrder<PointSpace3>(points, threshold, limit, seed);
}

std::vector<std::int32_t> sortByPairDistance(const std::vector<Eigen::Vector2i>& points, std::int32_t threshold,
                                             std::optional<std::int32_t> limit, std::optional<std::uint32_t> seed) {
  return farthestPointOrder<PointSpace2>(points, threshold, limit, seed);
}

}  // namespace Lumetra
