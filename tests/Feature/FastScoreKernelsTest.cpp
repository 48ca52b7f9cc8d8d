// The vector score of single pixels (the pyramid-level test of the grid extractor) against its
// scalar twin and the brute-force score, at every SIMD level.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "Core/CpuFeatures.h"
#include "Feature/FastCornerDetector.h"
#include "FeatureReference.h"
#include "SimdLevels.h"

using Lumetra::Corner;
using Lumetra::ImageGray;
using Lumetra::Vec2u;
using Lumetra::Cpu::ScopedSimdCeiling;
using Lumetra::Cpu::SimdLevel;
namespace ref = FeatureReference;

namespace {

const std::vector<SimdLevel> kLevels = TestSupport::availableLevels();

// kind 0: uniform noise; 1: four levels (equal values, extremes 0 and 255); 2: a bright or dark
// centre on a flat ground (clear corners of every score).
ImageGray scoreImage(int w, int h, unsigned seed, int kind) {
  ImageGray image(Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)), Lumetra::Gray8{{0}});
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<int> level(0, 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int v = any(rng);
      if (kind == 1) v = level(rng) * 85;
      if (kind == 2) v = (x % 7 == 3 && y % 7 == 3) ? v : 128 + (v % 9) - 4;
      image.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))[0] = static_cast<std::uint8_t>(v);
    }
  }
  return image;
}

}  // namespace

TEST(FastScoreKernels, EveryPixelAtEveryLevelAndThreshold) {
  unsigned seed = 3;
  for (int kind = 0; kind < 3; ++kind) {
    const ImageGray image = scoreImage(45, 38, seed++, kind);
    const ref::GrayView view = ref::viewOf(image);
    const auto offsets = Lumetra::makeCircleOffsets(view.rowBytes);
    std::vector<Corner> positions;
    for (int y = 0; y < view.height; ++y)
      for (int x = 0; x < view.width; ++x) positions.push_back(Corner{x, y, -1});
    positions.push_back(Corner{-4, 99, -1});  // outside the picture: the threshold, nothing read
    positions.push_back(Corner{view.width, 0, -1});
    for (int t : {0, 1, 3, 4, 20, 254, 255}) {
      std::vector<int> expected;
      for (const Corner& c : positions) {
        const bool inside = c.x >= 3 && c.y >= 3 && c.x < view.width - 3 && c.y < view.height - 3;
        expected.push_back(inside ? std::max(t, ref::cornerScore(view, c.x, c.y) - 1) : t);
      }
      for (SimdLevel level : kLevels) {
        ScopedSimdCeiling ceiling(level);
        std::vector<Corner> scored = positions;
        Lumetra::scoreCorners(image, scored, t);
        for (std::size_t i = 0; i < scored.size(); ++i) {
          ASSERT_EQ(scored[i].score, expected[i]) << "kind " << kind << " t " << t << " at " << scored[i].x << ","
                                                  << scored[i].y << " level " << static_cast<int>(level);
          const Corner& c = positions[i];
          ASSERT_TRUE(scored[i].x == c.x && scored[i].y == c.y);
          if (c.x >= 3 && c.y >= 3 && c.x < view.width - 3 && c.y < view.height - 3) {
            const auto* centre = view.data + static_cast<std::ptrdiff_t>(c.y) * view.rowBytes + c.x;
            ASSERT_EQ(Lumetra::fast9CornerScore(centre, offsets.data(), t), expected[i]);
          }
        }
      }
    }
  }
}
