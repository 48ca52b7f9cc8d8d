#pragma once
// A keypoint of the grid feature extractor.
#include <cstdint>
#include <vector>

#include "Feature/BinaryDescriptor.h"

namespace Lumetra {

struct KeyPoint {
  /// Position where the corner was detected, in level-0 pixels.
  double x = 0.0;
  double y = 0.0;
  /// FAST score of the corner at detection.
  std::int32_t score = 0;
  /// Level-0 position from which the position on level l is scaled (-1 when not set).
  double x0 = -1.0;
  double y0 = -1.0;
  /// Highest pyramid level reached (0 when made from a corner).
  std::int8_t level = 0;
  /// One descriptor per level, from level 0 upwards.
  std::vector<BinaryDescriptor> descriptors;
};

}  // namespace Lumetra
