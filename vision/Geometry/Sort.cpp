#include "Geometry/Sort.h"

#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Core/RandomSeed.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <random>

// Clang cannot vectorise the 128-bit distance loops and says so for every simd loop it instantiates
// with them; the loops stay correct in scalar form.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wpass-failed"
#endif

namespace Lumetra {

namespace {

__extension__ typedef __int128 WideDistance;

/// Squared Euclidean distances between the points of one set, by index. The coordinates are
/// kept in columns so that the loops over one point's distances vectorise. Each coordinate
/// difference is squared and the squares are summed from x on, in the distance type.
template <typename Coordinate, typename Distance, int Dimension>
class SquaredDistances {
 public:
  template <typename Point>
  explicit SquaredDistances(const std::vector<Point>& points) {
    for (int c = 0; c < Dimension; ++c) {
      columns_[c].reserve(points.size());
      for (const Point& p : points) columns_[c].push_back(static_cast<Coordinate>(p[c]));
    }
  }
  Distance operator()(std::int64_t i, std::int64_t j) const {
    Distance sum = square(0, i, j);
    sum = sum + square(1, i, j);
    if constexpr (Dimension > 2) sum = sum + square(2, i, j);
    return sum;
  }

 private:
  Distance square(int c, std::int64_t i, std::int64_t j) const {
    const Distance d = static_cast<Distance>(columns_[c][i]) - static_cast<Distance>(columns_[c][j]);
    return d * d;
  }
  std::vector<Coordinate> columns_[Dimension];
};

/// The largest of values[from, to), starting at `lowest`; values that are not greater than the
/// current largest (NaN included) never replace it. `Vector` allows a vector reduction: only
/// for values without NaN, where the order of the comparisons does not matter.
template <bool Vector, typename Distance, typename Value>
Distance largest(std::int64_t from, std::int64_t to, Distance lowest, Value value) {
  Distance best = lowest;
  if constexpr (Vector) {
#pragma omp simd reduction(max : best)
    for (std::int64_t k = from; k < to; ++k) {
      const Distance d = value(k);
      best = d > best ? d : best;
    }
  } else {
    for (std::int64_t k = from; k < to; ++k) {
      const Distance d = value(k);
      best = d > best ? d : best;
    }
  }
  return best;
}

/// The farthest-point order itself. Every untaken point keeps the squared distance to its
/// nearest taken point, brought up to date against each newly taken point only: the minimum
/// is the same whatever order it is taken in, so the result is that of rescanning all taken
/// points. The first point reaching a maximum wins, as in a scan for a strictly larger value.
template <bool Vector, typename Distance, typename Metric>
std::vector<std::int32_t> farthestPointOrder(const Metric& distance, std::int64_t n, std::int64_t limit,
                                             Distance threshold, Distance lowest, std::mt19937& engine) {
  // The farthest pair over i < j, in order of i, then j.
  std::int64_t first = 0;
  std::int64_t second = 1;
  Distance farthest = lowest;
  for (std::int64_t i = 0; i < n; ++i) {
    const Distance rowMax = largest<Vector>(i + 1, n, lowest, [&](std::int64_t j) { return distance(i, j); });
    if (!(rowMax > farthest)) continue;
    second = i + 1;
    while (!(distance(i, second) == rowMax)) ++second;
    first = i;
    farthest = rowMax;
  }

  std::vector<std::int32_t> result{static_cast<std::int32_t>(first), static_cast<std::int32_t>(second)};
  result.reserve(static_cast<std::size_t>(std::max<std::int64_t>(limit, 2)));
  // The nearest distance of a taken point is `lowest`, so that it is never a candidate.
  std::vector<Distance> nearest(static_cast<std::size_t>(n));
  for (std::int64_t k = 0; k < n; ++k) {
    const Distance a = distance(k, first);
    const Distance b = distance(k, second);
    nearest[k] = b < a ? b : a;
  }
  nearest[first] = nearest[second] = lowest;
  Distance* const near = nearest.data();

  while (static_cast<std::int64_t>(result.size()) < limit) {
    const Distance best = largest<Vector>(0, n, lowest, [near](std::int64_t k) { return near[k]; });
    if (!(best > lowest) || threshold > best) break;
    const std::int64_t taken = std::find(nearest.begin(), nearest.end(), best) - nearest.begin();
    result.push_back(static_cast<std::int32_t>(taken));
    nearest[taken] = lowest;
    if constexpr (Vector) {
#pragma omp simd
      for (std::int64_t k = 0; k < n; ++k) {
        const Distance d = distance(k, taken);
        near[k] = d < near[k] ? d : near[k];
      }
    } else {
      for (std::int64_t k = 0; k < n; ++k) {
        const Distance d = distance(k, taken);
        near[k] = d < near[k] ? d : near[k];
      }
    }
  }

  // Stopped at the threshold: the rest of the limit is filled with untaken points at random.
  if (static_cast<std::int64_t>(result.size()) < limit) {
    std::vector<char> isTaken(static_cast<std::size_t>(n), 0);
    for (const std::int32_t index : result) isTaken[index] = 1;
    std::vector<std::int32_t> untaken;
    for (std::int64_t k = 0; k < n; ++k) {
      if (!isTaken[k]) untaken.push_back(static_cast<std::int32_t>(k));
    }
    std::shuffle(untaken.begin(), untaken.end(), engine);
    const std::size_t missing = static_cast<std::size_t>(limit) - result.size();
    result.insert(result.end(), untaken.begin(), untaken.begin() + static_cast<std::ptrdiff_t>(missing));
  }
  return result;
}

/// The calling thread's engine of the points of one dimension, made on first use.
template <int Dimension>
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

std::int64_t effectiveLimit(std::optional<std::int32_t> limit, std::int64_t n) {
  return limit ? std::min<std::int64_t>(*limit, n) : n;
}

}  // namespace

std::vector<std::int32_t> sortByPairDistance(const std::vector<Eigen::Vector3f>& points, float threshold,
                                             std::optional<std::int32_t> limit, std::optional<std::uint32_t> seed) {
  PROFILE_BLOCK("Lumetra::sortByPairDistance");
  const std::int64_t n = static_cast<std::int64_t>(points.size());
  if (n < 2) return std::vector<std::int32_t>(static_cast<std::size_t>(n), 0);
  std::mt19937& engine = pairDistanceEngine<3>(seed);
  const SquaredDistances<float, float, 3> distance(points);
  constexpr float lowest = std::numeric_limits<float>::lowest();
  if (std::all_of(points.begin(), points.end(), [](const Eigen::Vector3f& p) { return p.allFinite(); })) {
    return farthestPointOrder<true>(distance, n, effectiveLimit(limit, n), threshold, lowest, engine);
  }
  return farthestPointOrder<false>(distance, n, effectiveLimit(limit, n), threshold, lowest, engine);
}

std::vector<std::int32_t> sortByPairDistance(const std::vector<Eigen::Vector2i>& points, std::int32_t threshold,
                                             std::optional<std::int32_t> limit, std::optional<std::uint32_t> seed) {
  PROFILE_BLOCK("Lumetra::sortByPairDistance");
  const std::int64_t n = static_cast<std::int64_t>(points.size());
  if (n < 2) return std::vector<std::int32_t>(static_cast<std::size_t>(n), 0);
  std::mt19937& engine = pairDistanceEngine<2>(seed);
  // Squared distances are never negative, so -1 is below all of them. Within +-2^25 they are
  // integers below 2^53 that doubles hold exactly; beyond, two squared 32-bit differences need
  // up to 65 bits.
  constexpr std::int32_t bound = std::int32_t{1} << 25;
  if (std::all_of(points.begin(), points.end(), [](const Eigen::Vector2i& p) {
        return p.x() > -bound && p.x() < bound && p.y() > -bound && p.y() < bound;
      })) {
    const SquaredDistances<double, double, 2> distance(points);
    return farthestPointOrder<true>(distance, n, effectiveLimit(limit, n), double(threshold), -1.0, engine);
  }
  const SquaredDistances<std::int64_t, WideDistance, 2> distance(points);
  return farthestPointOrder<false>(distance, n, effectiveLimit(limit, n), WideDistance(threshold), WideDistance(-1),
                                   engine);
}

}  // namespace Lumetra
