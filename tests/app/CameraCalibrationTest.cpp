// The calibration hands its intrinsics and its coefficients, in their order k1, k2, p1, p2, k3, to
// the point undistortion.
#include "CameraCalibration.h"

#include <gtest/gtest.h>

namespace {

// Pixels put where the lens model (k1, p1 and p2 only) sends two normalised points are
// undistorted back to those points.
TEST(CameraCalibration, UndistortPixelUsesTheIntrinsicsAndTheCoefficientsInTheirOrder) {
  CameraCalibration camera = CameraCalibration::builtIn();
  const double fx = 321.21015433728, fy = 320.029337062024, k1 = 0.1, p1 = 0.002, p2 = -0.001;
  camera.setDistortion(k1, 0.0, p1, p2, 0.0);
  for (const Eigen::Vector2d& undistorted : {Eigen::Vector2d(-0.8, -0.6), Eigen::Vector2d(0.3, 0.25)}) {
    const double x = undistorted.x(), y = undistorted.y(), r2 = x * x + y * y;
    const double xd = x * (1.0 + k1 * r2) + p1 * x * y + p2 * (r2 + 2.0 * x * x);
    const double yd = y * (1.0 + k1 * r2) + p2 * x * y + p1 * (r2 + 2.0 * y * y);
    const Eigen::Vector2d back = camera.undistortPixel(Eigen::Vector2d(xd * fx + 320.0, yd * fy + 240.0));
    EXPECT_NEAR(back.x(), x, 1e-8);
    EXPECT_NEAR(back.y(), y, 1e-8);
  }
}

}  // namespace
