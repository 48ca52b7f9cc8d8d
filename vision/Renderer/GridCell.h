#pragma once
// A cell of a uniform 3-D grid, as a hash-map key: the integer cell coordinates per axis.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Lumetra {

struct GridCell {
  std::int64_t x, y, z;
  bool operator==(const GridCell& o) const { return x == o.x && y == o.y && z == o.z; }
};

struct GridCellHash {
  std::size_t operator()(const GridCell& c) const {
    std::uint64_t h = static_cast<std::uint64_t>(c.x) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint64_t>(c.y) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
    h ^= static_cast<std::uint64_t>(c.z) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<std::size_t>(h);
  }
};

/// floor(value) as a cell coordinate. Values beyond +-4e18 are clamped: their cells merge, which
/// only ever puts more points together, never splits a cell.
inline std::int64_t gridCoordinate(double value) {
  const double f = std::floor(value);
  return static_cast<std::int64_t>(std::max(-4.0e18, std::min(4.0e18, f)));
}

/// A set of cells numbered in order of insertion, looked up by open addressing.
class GridCellTable {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  /// The cell's number; a new cell gets the next number.
  std::uint32_t insert(const GridCell& cell) {
    if (2 * (cells_.size() + 1) > slots_.size()) grow();
    std::size_t slot = GridCellHash()(cell) & mask_;
    for (; slots_[slot] != kNone; slot = (slot + 1) & mask_)
      if (cells_[slots_[slot]] == cell) return slots_[slot];
    slots_[slot] = static_cast<std::uint32_t>(cells_.size());
    cells_.push_back(cell);
    return slots_[slot];
  }

  /// The cell's number, or kNone.
  std::uint32_t find(const GridCell& cell) const {
    if (slots_.empty()) return kNone;
    for (std::size_t slot = GridCellHash()(cell) & mask_;; slot = (slot + 1) & mask_) {
      const std::uint32_t i = slots_[slot];
      if (i == kNone || cells_[i] == cell) return i;
    }
  }

  const GridCell& cell(std::uint32_t number) const { return cells_[number]; }
  std::size_t size() const { return cells_.size(); }

 private:
  void grow() {
    const std::size_t size = slots_.empty() ? 1024 : 2 * slots_.size();
    slots_.assign(size, kNone);
    mask_ = size - 1;
    for (std::uint32_t i = 0; i < cells_.size(); ++i) {
      std::size_t slot = GridCellHash()(cells_[i]) & mask_;
      while (slots_[slot] != kNone) slot = (slot + 1) & mask_;
      slots_[slot] = i;
    }
  }

  std::vector<GridCell> cells_;
  std::vector<std::uint32_t> slots_;
  std::size_t mask_ = 0;
};

}  // namespace Lumetra
