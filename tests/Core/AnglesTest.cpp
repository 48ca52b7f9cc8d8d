// The fast arc tangent against the library's atan2.
#include "Core/Angles.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(Angles, FastAtan2FollowsAtan2InEveryQuadrant) {
  EXPECT_EQ(Lumetra::fastAtan2(0.0f, 0.0f), 0.0f);
  for (float degrees = -179.0f; degrees <= 180.0f; degrees += 7.0f) {
    const float a = degrees * Lumetra::kPiF / 180.0f;
    EXPECT_NEAR(Lumetra::fastAtan2(3.0f * std::sin(a), 3.0f * std::cos(a)), std::atan2(std::sin(a), std::cos(a)), 2.5e-4f);
  }
}
