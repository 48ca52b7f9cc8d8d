#pragma once
// The eye positions from which the multiple view generator photographs the picture.
#include <cstddef>
#include <cstdint>

namespace Obrin {

enum class PoseDensity : std::int32_t { Min = 0, Moderate = 1, Max = 2 };

/// Rows of (x, y, z).
struct PoseTable {
  const float (*rows)[3];
  std::size_t size;
};

PoseTable poseTable(PoseDensity density);

}  // namespace Obrin
