#pragma once
// A cell of a uniform 3-D grid, as a hash-map key: the integer cell coordinates per axis.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace Lumetra {

struct GridCell {
  std::int64_t x, y, z;
  bool operator==(const GridCell& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator<(const GridCell& o) const { return x != o.x ? x < o.x : (y != o.y ? y < o.y : z < o.z); }
};

struct GridCellHash {
  std::size_t operator()(const GridCell& c) const {
    std::uint64_t h = static_cast<std::uint64_t>(c.x) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint64_t>(c.y) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
    h ^= static_cast<std::uint64_t>(c.z) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
  }
};

/// floor(value) as a cell coordinate. Values beyond +-4e18 are clamped: their cells merge, which
/// only ever puts more points together, never splits a cell.
inline std::int64_t gridCoordinate(double value) {
  const double f = std::floor(value);
  return static_cast<std::int64_t>(std::max(-4.0e18, std::min(4.0e18, f)));
}

}  // namespace Lumetra
