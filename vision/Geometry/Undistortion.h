#pragma once
// Lens distortion of normalised camera coordinates and its inversion.
//
// The lens model maps an undistorted normalised point (x, y), with r2 = x^2 + y^2 and
// R = 1 + k1 r2 + k2 r2^2 + k3 r2^3, to
//   x_d = x R + p1 x y + p2 (r2 + 2 x^2)
//   y_d = y R + p1 (r2 + 2 y^2) + p2 x y
// The tangential cross terms carry p1 x y and p2 x y without a factor 2; the multiple view
// generator distorts with the same model, so the two stay consistent.
#include <Eigen/Core>

#include <cstdint>
#include <optional>

namespace Lumetra {

/// Distortion coefficients in the order k1, k2, p1, p2, k3.
using DistortionCoefficients = Eigen::Matrix<double, 5, 1>;

/// The distorted position of the undistorted normalised point.
Eigen::Vector2d distortPoint(const Eigen::Vector2d& point, const DistortionCoefficients& coefficients);

/// Finds the undistorted normalised point whose distortion is `distorted`, by Newton's method
/// with a closed-form 2 x 2 inverse of the Jacobian.
///
/// The iteration starts from `initialGuess` when given, else from `distorted` itself. Before each
/// of at most `maxSteps` steps the residual e = distorted - distortion(p) is tested, and the
/// iteration stops when e.x^2 + e.y^2 < eps^2; with 0 steps the start point is returned. When
/// the Jacobian becomes singular (or a step would leave the finite numbers) the iteration stops
/// at the last finite estimate instead of producing infinities.
///
/// The result is written to `out` and returned by reference. Stateless and thread-safe.
Eigen::Vector2d& undistortPoint(Eigen::Vector2d& out, const Eigen::Vector2d& distorted,
                                const DistortionCoefficients& coefficients,
                                const std::optional<Eigen::Vector2d>& initialGuess, std::uint8_t maxSteps, double eps);

}  // namespace Lumetra
