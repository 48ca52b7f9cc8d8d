#pragma once
// pi and the fast single-precision arc tangent that the descriptor orientation and the template
// features share.
#include <cmath>

namespace Lumetra {

/// pi in double precision, rounded once to single precision (3.1415927f), and half of that.
inline constexpr double kPi = 3.14159265358979323846;
inline constexpr float kPiF = static_cast<float>(kPi);
inline constexpr float kHalfPiF = kPiF / 2.0f;
static_assert(kPiF == 3.1415927f && kHalfPiF == 1.5707964f, "single-precision pi");

/// The angle of (x, y) in radians, in [-pi, pi], by a polynomial in the ratio of the smaller to
/// the larger absolute coordinate (error below 1e-4); 0 for the origin.
inline float fastAtan2(float y, float x) {
  if (x == 0.0f && y == 0.0f) return 0.0f;
  const float ax = std::abs(x);
  const float ay = std::abs(y);
  const float a = ay > ax ? ax / ay : ay / ax;
  const float a2 = a * a;
  float r = ((0.15931422f - 0.046496473f * a2) * a2 - 0.32762277f) * a2 * a + a;
  if (ay > ax) r = kHalfPiF - r;
  if (x < 0.0f) r = kPiF - r;
  if (y < 0.0f) r = -r;
  return r;
}

}  // namespace Lumetra
