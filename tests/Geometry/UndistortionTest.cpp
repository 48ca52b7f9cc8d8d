// Point undistortion: the lens model is transcribed here on its own and the Newton inversion is
// checked against it.
#include "Geometry/Undistortion.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using Lens = Lumetra::DistortionCoefficients;  // k1, k2, p1, p2, k3

// x_d = x R + p1 x y + p2 (r2 + 2 x^2), y_d = y R + p1 (r2 + 2 y^2) + p2 x y.
Eigen::Vector2d distortReference(double x, double y, const Lens& c) {
  const double k1 = c[0], k2 = c[1], p1 = c[2], p2 = c[3], k3 = c[4];
  const double r2 = x * x + y * y;
  const double radial = 1.0 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
  return {x * radial + p1 * x * y + p2 * (r2 + 2.0 * x * x),
          y * radial + p1 * (r2 + 2.0 * y * y) + p2 * x * y};
}

// One Newton step from p towards the distorted point, with the closed-form Jacobian.
Eigen::Vector2d newtonStepReference(const Eigen::Vector2d& p, const Eigen::Vector2d& target,
                                    const Lens& c) {
  const double k1 = c[0], k2 = c[1], p1 = c[2], p2 = c[3], k3 = c[4];
  const double x = p.x(), y = p.y();
  const double r2 = x * x + y * y;
  const double R = 1.0 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
  const double dR = 2.0 * k1 + 4.0 * k2 * r2 + 6.0 * k3 * r2 * r2;
  const double a = R + dR * x * x + p1 * y + 6.0 * p2 * x;
  const double b = dR * x * y + p1 * x + 2.0 * p2 * y;
  const double cc = dR * x * y + 2.0 * p1 * x + p2 * y;
  const double d = R + dR * y * y + 6.0 * p1 * y + p2 * x;
  const Eigen::Vector2d e = target - distortReference(x, y, c);
  const double det = a * d - b * cc;
  return {x + (d * e.x() - b * e.y()) / det, y + (a * e.y() - cc * e.x()) / det};
}

TEST(Undistortion, StepLimits) {
  const Lens lens(-0.28, 0.07, 0.001, -0.0015, 0.004);
  const Eigen::Vector2d distorted(0.4, -0.3);
  const Eigen::Vector2d guess(0.45, -0.33);
  // The library's forward model agrees with the transcription.
  const Eigen::Vector2d forward = Lumetra::distortPoint(guess, lens);
  EXPECT_NEAR(forward.x(), distortReference(guess.x(), guess.y(), lens).x(), 1e-15);
  EXPECT_NEAR(forward.y(), distortReference(guess.x(), guess.y(), lens).y(), 1e-15);

  // No step allowed: the start point, with and without a guess.
  Eigen::Vector2d out;
  Lumetra::undistortPoint(out, distorted, lens, std::nullopt, 0, 1e-8);
  EXPECT_EQ(out, distorted);
  Lumetra::undistortPoint(out, distorted, lens, guess, 0, 1e-8);
  EXPECT_EQ(out, guess);

  // One and two steps from the guess: exactly that many Newton steps.
  Eigen::Vector2d expected = guess;
  for (int steps = 1; steps <= 2; ++steps) {
    expected = newtonStepReference(expected, distorted, lens);
    Lumetra::undistortPoint(out, distorted, lens, guess, steps, 1e-8);
    EXPECT_LT((out - expected).cwiseAbs().maxCoeff(), 1e-14) << steps;
  }
}

TEST(Undistortion, ToleranceComparesTheSquaredResidual) {
  // With k1 only and the point on the x axis, the residual at the start is -k1 x^3.
  struct Case {
    double k1;
    bool moves;
  };
  for (const Case& c : {Case{0.9e-5, false}, Case{1.1e-5, true}}) {
    const Eigen::Vector2d distorted(0.1, 0.0);  // squared residual 0.81e-16 or 1.21e-16
    Eigen::Vector2d out;
    Lumetra::undistortPoint(out, distorted, Lens(c.k1, 0.0, 0.0, 0.0, 0.0), std::nullopt, 8, 1e-8);
    EXPECT_EQ(out != distorted, c.moves) << "k1 " << c.k1;
  }
}

TEST(Undistortion, SingularJacobianKeepsTheEstimate) {
  // y = 0, p2 = -0.5, x = 2: the Jacobian's d = 1 + p2 x is 0, so its determinant is 0.
  const Eigen::Vector2d guess(2.0, 0.0);
  Eigen::Vector2d out;
  Lumetra::undistortPoint(out, Eigen::Vector2d(0.3, 0.1), Lens(0.0, 0.0, 0.0, -0.5, 0.0), guess, 8,
                          1e-8);
  EXPECT_EQ(out, guess);
}

}  // namespace
