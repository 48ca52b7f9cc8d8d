#pragma once
// Farthest-point ordering: an order of a point set in which every prefix is spread out as
// evenly as the greedy choice allows. It starts with the two points farthest apart and then
// repeatedly takes the point whose nearest taken point is farthest away.
#include <Eigen/Core>

#include <cstdint>
#include <optional>
#include <vector>

namespace Lumetra {

/// Orders 3-D points (squared distances in single precision).
///
/// The result holds min(limit, n) point indices (n when no limit is given), except that n >= 2
/// always yields at least the farthest pair and n = 1 yields {0}. Ties: the first pair (i < j,
/// i then j ascending) reaching the largest distance wins; among candidates the smallest index
/// wins. When the largest remaining nearest distance falls strictly below `threshold`, the
/// greedy part stops and the rest of the limit is filled with untaken points in a random
/// order drawn from this thread's engine.
///
/// Each of the two overloads keeps its own per-thread Mersenne twister, created on the first
/// call with n >= 2 in the thread: seeded with `seed` when given, else from the random device.
/// Later calls in the thread continue that engine and ignore their seed.
std::vector<std::int32_t> sortByPairDistance(const std::vector<Eigen::Vector3f>& points, float threshold,
                                             std::optional<std::int32_t> limit = std::nullopt,
                                             std::optional<std::uint32_t> seed = std::nullopt);

/// Orders 2-D integer points; squared distances are exact integers (64 or 128 bits), so no
/// coordinate pair can overflow.
std::vector<std::int32_t> sortByPairDistance(const std::vector<Eigen::Vector2i>& points, std::int32_t threshold,
                                             std::optional<std::int32_t> limit = std::nullopt,
                                             std::optional<std::uint32_t> seed = std::nullopt);

}  // namespace Lumetra
