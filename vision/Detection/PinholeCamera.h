#pragma once
// Single-precision pinhole camera without distortion, as the CAD road renders and projects with.
#include <Eigen/Core>

#include <cstdint>

namespace Lumetra {

struct PinholeCamera {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Eigen::Vector2f focalLength = Eigen::Vector2f::Zero();         ///< fx, fy
  Eigen::Vector2f inverseFocalLength = Eigen::Vector2f::Zero();  ///< 1/fx, 1/fy
  Eigen::Vector2f principalPoint = Eigen::Vector2f::Zero();      ///< cx, cy
  Eigen::Matrix3f K = Eigen::Matrix3f::Zero();                   ///< column-major: fx 0 0, 0 fy 0, cx cy 1

  PinholeCamera() = default;
  /// Fills every derived field from the size, focal lengths and principal point.
  PinholeCamera(std::uint32_t w, std::uint32_t h, float fx, float fy, float cx, float cy)
      : width(w), height(h), focalLength(fx, fy), inverseFocalLength(1.0f / fx, 1.0f / fy),
        principalPoint(cx, cy) {
    K << fx, 0.0f, cx, 0.0f, fy, cy, 0.0f, 0.0f, 1.0f;
  }
};

}  // namespace Lumetra
