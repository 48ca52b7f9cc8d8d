// Point undistortion: the lens model is transcribed here on its own and the Newton inversion is
// checked against it.
#include "CameraCalibration.h"
#include "Geometry/Undistortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

namespace {

struct Coefficients {
  double k1, k2, p1, p2, k3;
};

Lumetra::DistortionCoefficients toVector(const Coefficients& c) {
  Lumetra::DistortionCoefficients v;
  v << c.k1, c.k2, c.p1, c.p2, c.k3;
  return v;
}

// x_d = x R + p1 x y + p2 (r2 + 2 x^2), y_d = y R + p1 (r2 + 2 y^2) + p2 x y.
Eigen::Vector2d distortReference(double x, double y, const Coefficients& c) {
  const double r2 = x * x + y * y;
  const double radial = 1.0 + c.k1 * r2 + c.k2 * r2 * r2 + c.k3 * r2 * r2 * r2;
  return {x * radial + c.p1 * x * y + c.p2 * (r2 + 2.0 * x * x),
          y * radial + c.p1 * (r2 + 2.0 * y * y) + c.p2 * x * y};
}

// One Newton step from p towards the distorted point, with the closed-form Jacobian.
Eigen::Vector2d newtonStepReference(const Eigen::Vector2d& p, const Eigen::Vector2d& target, const Coefficients& c) {
  const double x = p.x(), y = p.y();
  const double r2 = x * x + y * y;
  const double R = 1.0 + c.k1 * r2 + c.k2 * r2 * r2 + c.k3 * r2 * r2 * r2;
  const double dR = 2.0 * c.k1 + 4.0 * c.k2 * r2 + 6.0 * c.k3 * r2 * r2;
  const double a = R + dR * x * x + c.p1 * y + 6.0 * c.p2 * x;
  const double b = dR * x * y + c.p1 * x + 2.0 * c.p2 * y;
  const double cc = dR * x * y + 2.0 * c.p1 * x + c.p2 * y;
  const double d = R + dR * y * y + 6.0 * c.p1 * y + c.p2 * x;
  const Eigen::Vector2d e = target - distortReference(x, y, c);
  const double det = a * d - b * cc;
  return {x + (d * e.x() - b * e.y()) / det, y + (a * e.y() - cc * e.x()) / det};
}

TEST(Undistortion, RoundTripThroughTheLensModel) {
  const std::vector<Coefficients> lenses = {
      {0.1, 0.01, 0.0, 0.0, 0.0},
      {-0.28, 0.07, 0.001, -0.0015, 0.0},
      {0.05, -0.02, 0.002, 0.003, 0.004},
      {0.0, 0.0, 0.01, -0.01, 0.0},
  };
  const std::vector<Eigen::Vector2d> points = {{0.0, 0.0},   {0.1, 0.05},   {-0.3, 0.2},
                                               {0.45, -0.35}, {-0.5, -0.4}, {0.02, 0.6}};
  for (const Coefficients& lens : lenses) {
    for (const Eigen::Vector2d& undistorted : points) {
      const Eigen::Vector2d distorted = distortReference(undistorted.x(), undistorted.y(), lens);
      Eigen::Vector2d out;
      Lumetra::undistortPoint(out, distorted, toVector(lens), std::nullopt, 8, 1e-8);
      const Eigen::Vector2d again = distortReference(out.x(), out.y(), lens);
      EXPECT_LT((again - distorted).squaredNorm(), 1e-16) << "k1 " << lens.k1 << " point " << undistorted.transpose();
      EXPECT_NEAR(out.x(), undistorted.x(), 1e-8);
      EXPECT_NEAR(out.y(), undistorted.y(), 1e-8);
      // The forward model of the library agrees with the transcription.
      const Eigen::Vector2d forward = Lumetra::distortPoint(undistorted, toVector(lens));
      EXPECT_NEAR(forward.x(), distorted.x(), 1e-15);
      EXPECT_NEAR(forward.y(), distorted.y(), 1e-15);
    }
  }
}

TEST(Undistortion, StepLimits) {
  const Coefficients lens{-0.28, 0.07, 0.001, -0.0015, 0.0};
  const Eigen::Vector2d distorted(0.4, -0.3);
  const Eigen::Vector2d guess(0.45, -0.33);

  // No step allowed: the start point, with and without a guess.
  Eigen::Vector2d out;
  Lumetra::undistortPoint(out, distorted, toVector(lens), std::nullopt, 0, 1e-8);
  EXPECT_EQ(out, distorted);
  Lumetra::undistortPoint(out, distorted, toVector(lens), guess, 0, 1e-8);
  EXPECT_EQ(out, guess);

  // One and two steps from the guess: exactly that many Newton steps.
  Eigen::Vector2d expected = guess;
  for (int steps = 1; steps <= 2; ++steps) {
    expected = newtonStepReference(expected, distorted, lens);
    Lumetra::undistortPoint(out, distorted, toVector(lens), guess, steps, 1e-8);
    EXPECT_LT((out - expected).cwiseAbs().maxCoeff(), 1e-14) << steps;
  }
}

TEST(Undistortion, StopTestComesBeforeEachStep) {
  // A guess that is the exact solution is returned untouched, whatever the step count.
  const Coefficients lens{0.0, 0.0, 0.0, 0.5, 0.0};  // p2 only: x_d = x + p2 (r2 + 2 x^2)
  const Eigen::Vector2d solution(0.5, 0.0);          // x_d = 0.5 + 0.5 * 0.75 = 0.875 exactly
  const Eigen::Vector2d distorted(0.875, 0.0);
  Eigen::Vector2d out;
  Lumetra::undistortPoint(out, distorted, toVector(lens), solution, 8, 1e-8);
  EXPECT_EQ(out, solution);
}

TEST(Undistortion, ToleranceComparesTheSquaredResidual) {
  // With k1 only and the point on the x axis, the residual at the start is -k1 x^3.
  struct Case {
    double k1;
    bool moves;
  };
  for (const Case& c : {Case{0.9e-5, false}, Case{1.1e-5, true}}) {
    const Coefficients lens{c.k1, 0.0, 0.0, 0.0, 0.0};
    const Eigen::Vector2d distorted(0.1, 0.0);  // squared residual 0.81e-16 or 1.21e-16
    Eigen::Vector2d out;
    Lumetra::undistortPoint(out, distorted, toVector(lens), std::nullopt, 8, 1e-8);
    EXPECT_EQ(out != distorted, c.moves) << "k1 " << c.k1;
  }
}

TEST(Undistortion, SingularJacobianKeepsTheEstimate) {
  // y = 0, p2 = -0.5, x = 2: the Jacobian's d = 1 + p2 x is 0, so its determinant is 0.
  const Coefficients lens{0.0, 0.0, 0.0, -0.5, 0.0};
  const Eigen::Vector2d guess(2.0, 0.0);
  Eigen::Vector2d out;
  Lumetra::undistortPoint(out, Eigen::Vector2d(0.3, 0.1), toVector(lens), guess, 8, 1e-8);
  EXPECT_TRUE(std::isfinite(out.x()) && std::isfinite(out.y()));
  EXPECT_EQ(out, guess);
}

TEST(Undistortion, UndistortPixelOfCameraCalibration) {
  CameraCalibration camera = CameraCalibration::builtIn();
  const double fx = 321.21015433728, fy = 320.029337062024;
  Eigen::Vector2d n = camera.undistortPixel(Eigen::Vector2d(320.0, 240.0));
  EXPECT_EQ(n, Eigen::Vector2d(0.0, 0.0));
  n = camera.undistortPixel(Eigen::Vector2d(0.0, 0.0));
  EXPECT_NEAR(n.x(), -320.0 / fx, 1e-15);
  EXPECT_NEAR(n.y(), -240.0 / fy, 1e-15);

  const Coefficients lens{0.1, 0.01, 0.002, -0.001, 0.0};
  camera.setDistortion(lens.k1, lens.k2, lens.p1, lens.p2, lens.k3);
  for (const Eigen::Vector2d& undistorted : {Eigen::Vector2d(-0.8, -0.6), Eigen::Vector2d(0.3, 0.25)}) {
    const Eigen::Vector2d d = distortReference(undistorted.x(), undistorted.y(), lens);
    const Eigen::Vector2d pixel(d.x() * fx + 320.0, d.y() * fy + 240.0);
    const Eigen::Vector2d back = camera.undistortPixel(pixel);
    EXPECT_NEAR(back.x(), undistorted.x(), 1e-8);
    EXPECT_NEAR(back.y(), undistorted.y(), 1e-8);
  }
}

}  // namespace
