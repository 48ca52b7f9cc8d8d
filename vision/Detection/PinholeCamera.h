#pragma once
// Single-precision pinhole camera without distortion, as the renderers and the CAD road project with.
#include <Eigen/Core>

#include <cstdint>

namespace Lumetra {

/// The camera matrix of the focal lengths and the principal point: rows (fx, 0, cx), (0, fy, cy),
/// (0, 0, 1), stored column by column.
template <typename Scalar>
Eigen::Matrix<Scalar, 3, 3> cameraMatrix(Scalar fx, Scalar fy, Scalar cx, Scalar cy) {
  Eigen::Matrix<Scalar, 3, 3> k;
  k << fx, Scalar(0), cx, Scalar(0), fy, cy, Scalar(0), Scalar(0), Scalar(1);
  return k;
}

struct PinholeCamera {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Eigen::Vector2f focalLength = Eigen::Vector2f::Zero();         ///< fx, fy
  Eigen::Vector2f inverseFocalLength = Eigen::Vector2f::Zero();  ///< 1/fx, 1/fy
  Eigen::Vector2f principalPoint = Eigen::Vector2f::Zero();      ///< cx, cy

  PinholeCamera() = default;
  /// Fills the inverse focal lengths from the focal lengths.
  PinholeCamera(std::uint32_t w, std::uint32_t h, float fx, float fy, float cx, float cy)
      : width(w), height(h), focalLength(fx, fy), inverseFocalLength(1.0f / fx, 1.0f / fy),
        principalPoint(cx, cy) {}

  /// The camera matrix K of the focal lengths and the principal point.
  Eigen::Matrix3f K() const {
    return cameraMatrix(focalLength.x(), focalLength.y(), principalPoint.x(), principalPoint.y());
  }
};

}  // namespace Lumetra
