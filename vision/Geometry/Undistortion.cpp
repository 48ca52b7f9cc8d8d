#include "Geometry/Undistortion.h"

#include <cmath>

namespace Lumetra {

namespace {

struct DistortionTerms {
  double r2;
  double radial;            // R = 1 + k1 r2 + k2 r2^2 + k3 r2^3
  double radialDerivative;  // R' = 2 k1 + 4 k2 r2 + 6 k3 r2^2
};

DistortionTerms terms(double x, double y, const DistortionCoefficients& k) {
  const double k1 = k[0];
  const double k2 = k[1];
  const double k3 = k[4];
  DistortionTerms t;
  t.r2 = x * x + y * y;
  const double r4 = t.r2 * t.r2;
  const double r6 = r4 * t.r2;
  t.radial = 1.0 + k1 * t.r2 + k2 * r4 + k3 * r6;
  t.radialDerivative = 2.0 * k1 + 4.0 * k2 * t.r2 + 6.0 * k3 * r4;
  return t;
}

Eigen::Vector2d distortWith(double x, double y, const DistortionTerms& t, const DistortionCoefficients& k) {
  const double p1 = k[2];
  const double p2 = k[3];
  return Eigen::Vector2d(x * t.radial + p1 * x * y + p2 * (t.r2 + 2.0 * x * x),
                         y * t.radial + p1 * (t.r2 + 2.0 * y * y) + p2 * x * y);
}

}  // namespace

Eigen::Vector2d distortPoint(const Eigen::Vector2d& point, const DistortionCoefficients& coefficients) {
  const double x = point.x();
  const double y = point.y();
  return distortWith(x, y, terms(x, y, coefficients), coefficients);
}

Eigen::Vector2d& undistortPoint(Eigen::Vector2d& out, const Eigen::Vector2d& distorted,
                                const DistortionCoefficients& coefficients,
                                const std::optional<Eigen::Vector2d>& initialGuess, std::uint8_t maxSteps, double eps) {
  const double p1 = coefficients[2];
  const double p2 = coefficients[3];
  Eigen::Vector2d p = initialGuess ? *initialGuess : distorted;
  const double eps2 = eps * eps;

  for (unsigned step = 0; step < maxSteps; ++step) {
    const double x = p.x();
    const double y = p.y();
    const DistortionTerms t = terms(x, y, coefficients);
    const Eigen::Vector2d d = distortWith(x, y, t, coefficients);
    const double ex = distorted.x() - d.x();
    const double ey = distorted.y() - d.y();
    if (ex * ex + ey * ey < eps2) break;

    const double a = t.radial + t.radialDerivative * x * x + p1 * y + 6.0 * p2 * x;
    const double b = t.radialDerivative * x * y + p1 * x + 2.0 * p2 * y;
    const double c = t.radialDerivative * x * y + 2.0 * p1 * x + p2 * y;
    const double dd = t.radial + t.radialDerivative * y * y + 6.0 * p1 * y + p2 * x;
    const double det = a * dd - b * c;
    // A singular Jacobian has no Newton step; keep the estimate reached so far.
    if (det == 0.0 || !std::isfinite(det)) break;
    const Eigen::Vector2d next(x + (dd * ex - b * ey) / det, y + (a * ey - c * ex) / det);
    if (!std::isfinite(next.x()) || !std::isfinite(next.y())) break;
    p = next;
  }
  out = p;
  return out;
}

}  // namespace Lumetra
