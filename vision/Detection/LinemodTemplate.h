#pragma once
// Quantised-orientation features and the templates made of them, one per pyramid level.
#include <Eigen/Core>
#include <Eigen/Geometry>

#include <cstdint>
#include <vector>

namespace Lumetra::Linemod {

struct Feature {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint8_t label = 0;  ///< quantised orientation, 0 to 7
};

struct Template {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t tlX = 0;
  std::int32_t tlY = 0;
  std::int32_t pyramidLevel = 0;
  Eigen::Quaternionf rotation = Eigen::Quaternionf::Identity();
  Eigen::Vector3f translation = Eigen::Vector3f::Zero();
  std::vector<Feature> features;
};

/// One template per pyramid level, level 0 first.
using TemplatePyramid = std::vector<Template>;

}  // namespace Lumetra::Linemod
