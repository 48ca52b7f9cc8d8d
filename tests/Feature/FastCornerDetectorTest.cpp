// FAST-9 kernels against the brute-force segment test of the test support library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Core/CpuFeatures.h"
#include "Feature/FastCornerDetector.h"
#include "Image/ImageIO.h"
#include "FeatureReference.h"
#include "SimdLevels.h"

using namespace Lumetra;
using namespace Lumetra::Cpu;
namespace ref = FeatureReference;
using TestSupport::levelName;

namespace {

const std::vector<SimdLevel> kLevels = TestSupport::availableLevels();

std::vector<ref::RefCorner> toRef(const std::vector<Corner>& corners) {
  std::vector<ref::RefCorner> out;
  for (const Corner& c : corners) out.push_back({c.x, c.y, c.score});
  return out;
}

std::vector<ref::RefCorner> runKernel(const ImageGray& image, int t, bool suppress) {
  Lumetra::FastCornerDetector detector;
  detector.runAVX2(image, static_cast<std::uint8_t>(t), suppress);
  return toRef(suppress ? detector.cornersSuppressed : detector.cornersRaw);
}

std::string dataPath(const char* name) { return std::string(FORMWRIGHT_OPENCV_DATA) + "/" + name; }

}  // namespace

TEST(FastKernels, RandomPicturesMatchBruteForceAtEveryThreshold) {
  // Widths around the vector widths, so that the full blocks, the overlapping last block and
  // the scalar tail all run.
  const int sizes[][2] = {{6, 40}, {40, 6}, {7, 7}, {8, 9}, {21, 12}, {22, 10}, {37, 11}, {38, 9}, {39, 14}, {40, 8},
                          {70, 13}, {71, 16}, {100, 40}, {131, 23}};
  const int thresholds[] = {0, 1, 20, 254, 255};
  unsigned seed = 1;
  for (const auto& size : sizes) {
    for (int kind = 0; kind < 3; ++kind) {
      const ImageGray image = ref::randomPicture(size[0], size[1], seed++, kind);
      for (int t : thresholds) {
        for (bool suppress : {true, false}) {
          const auto expected = ref::detect(ref::viewOf(image), t, suppress);
          for (SimdLevel level : kLevels) {
            ScopedSimdCeiling ceiling(level);
            EXPECT_EQ(runKernel(image, t, suppress), expected)
                << size[0] << "x" << size[1] << " kind " << kind << " t " << t << " suppress " << suppress << " "
                << levelName(level);
          }
        }
      }
    }
  }
}

TEST(FastKernels, RealPicturesMatchBruteForceForWholeImagesAndViews) {
  for (const char* name : {"box.png", "messi5.jpg", "graf1.png"}) {
    const ImageGray image = Lumetra::loadImageWithCodec(dataPath(name));
    ASSERT_FALSE(image.isEmpty()) << name;
    // A view away from the edges, of odd size, and the whole picture.
    const ImageGray view = image.region(Vec2i(13, 21), Vec2u(image.width - 40, image.height - 45));
    ASSERT_FALSE(view.isEmpty());
    for (int t : {20, 7, 60}) {
      for (bool suppress : {true, false}) {
        const auto expectedWhole = ref::detect(ref::viewOf(image), t, suppress);
        const auto expectedView = ref::detect(ref::viewOf(view), t, suppress);
        EXPECT_GT(expectedWhole.size(), 20u) << name;
        for (SimdLevel level : kLevels) {
          ScopedSimdCeiling ceiling(level);
          EXPECT_EQ(runKernel(image, t, suppress), expectedWhole)
              << name << " t " << t << " " << levelName(level);
          EXPECT_EQ(runKernel(view, t, suppress), expectedView)
              << name << " view t " << t << " " << levelName(level);
        }
      }
    }
  }
}

// The score of single pixels (the pyramid-level test of the grid extractor) at every SIMD level,
// inside, at the edge and outside the picture.
TEST(FastScoreKernels, EveryPixelAtEveryLevelAndThreshold) {
  for (int kind = 0; kind < 4; ++kind) {
    const ImageGray image = ref::randomPicture(45, 38, 3 + static_cast<unsigned>(kind), kind);
    const ref::GrayView view = ref::viewOf(image);
    const auto offsets = Lumetra::makeCircleOffsets(view.rowBytes);
    std::vector<Corner> positions = {{-4, 99, -1}, {view.width, 0, -1}};
    for (int y = 0; y < view.height; ++y)
      for (int x = 0; x < view.width; ++x) positions.push_back(Corner{x, y, -1});
    for (int t : {0, 1, 3, 4, 20, 254, 255}) {
      for (SimdLevel level : kLevels) {
        ScopedSimdCeiling ceiling(level);
        std::vector<Corner> scored = positions;
        Lumetra::scoreCorners(image, scored, t);
        for (std::size_t i = 0; i < scored.size(); ++i) {
          const Corner& c = positions[i];
          const bool inside = c.x >= 3 && c.y >= 3 && c.x < view.width - 3 && c.y < view.height - 3;
          const int expected = inside ? std::max(t, ref::cornerScore(view, c.x, c.y) - 1) : t;
          ASSERT_TRUE(scored[i].x == c.x && scored[i].y == c.y);
          ASSERT_EQ(scored[i].score, expected) << "kind " << kind << " t " << t << " at " << c.x << "," << c.y
                                               << " " << levelName(level);
          if (inside) {
            const auto* centre = view.data + static_cast<std::ptrdiff_t>(c.y) * view.rowBytes + c.x;
            ASSERT_EQ(Lumetra::fast9CornerScore(centre, offsets.data(), t), expected);
          }
        }
      }
    }
  }
}
