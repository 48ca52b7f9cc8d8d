// Oriented binary descriptors against a computation written from the formulas: the vector and
// scalar kernels at every position and SIMD level, on random pictures and on views right up to
// the edges where the vector kernels must not read.
#include <gtest/gtest.h>

#include <string>

#include "Feature/BinaryDescriptor.h"
#include "Core/CpuFeatures.h"
#include "Feature/SamplingPattern.h"
#include "FeatureReference.h"
#include "SimdLevels.h"

using namespace Lumetra;
using namespace Lumetra::Cpu;
namespace ref = FeatureReference;

namespace {

// The published pattern, read from its file, so that a wrong value in the code's table shows in
// the descriptors.
std::vector<std::array<int, 4>> pattern() {
  auto pairs = ref::readPatternFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/data/orb-pattern.txt");
  if (pairs.size() != 256) ADD_FAILURE() << "tests/data/orb-pattern.txt does not hold 256 pairs";
  return pairs;
}

const std::vector<SimdLevel> kLevels = TestSupport::availableLevels();

// Every position whose disc fits (margin 15) and every describable one (margin 18), at every
// SIMD level, against the formulas.
void checkAllPositions(const ImageGray& image, const RotatedPatternTable& table, const RotatedPatternTable& discOnly,
                       const std::string& what) {
  const ref::GrayView view = ref::viewOf(image);
  const auto pairs = pattern();
  if (pairs.size() != 256) return;
  const int W = static_cast<int>(image.width);
  const int H = static_cast<int>(image.height);
  for (int y = 15; y < H - 15; ++y) {
    for (int x = 15; x < W - 15; ++x) {
      const float expectedAngle = ref::orientation(view, x, y);
      const bool describable = x >= 18 && x < W - 18 && y >= 18 && y < H - 18;
      BinaryDescriptor expectedTable{}, expectedExact{};
      if (describable) {
        expectedTable = ref::descriptor(view, x, y, pairs, true);
        expectedExact = ref::descriptor(view, x, y, pairs, false);
      }
      for (SimdLevel level : kLevels) {
        ScopedSimdCeiling ceiling(level);
        ASSERT_EQ(Lumetra::patchOrientation(table, image, Vec2i(x, y)), expectedAngle)
            << what << " at " << x << "," << y << " level " << static_cast<int>(level);
        BinaryDescriptor d{};
        ASSERT_EQ(Lumetra::computeRotatedBinaryDescriptor(table, image, Vec2i(x, y), d), describable);
        if (describable) {
          ASSERT_EQ(d, expectedTable) << what << " at " << x << "," << y;
        }
        ASSERT_EQ(Lumetra::computeBinaryDescriptorExact(discOnly, image, Vec2i(x, y), d), describable);
        if (describable) {
          ASSERT_EQ(d, expectedExact) << what << " at " << x << "," << y;
        }
      }
    }
  }
}

}  // namespace

TEST(RotatedPatterns, WholeDegreeRule) {
  // The wrap-arounds just below zero; the ordinary angles show in the descriptors below.
  EXPECT_EQ(Lumetra::wholeDegree(-0.0001f), 359);
  EXPECT_EQ(Lumetra::wholeDegree(-1e-8f), 0);  // 2 pi - 1e-8 rounds to 360 degrees
}

TEST(BinaryDescriptors, TheTablePathNeedsItsPatterns) {
  const ImageGray flat(Vec2u(60, 50), Lumetra::Gray8{{90}});
  BinaryDescriptor d;
  EXPECT_FALSE(Lumetra::computeRotatedBinaryDescriptor(*Lumetra::sharedRotatedPatterns(false), flat, Vec2i(30, 25), d));
}

TEST(DescriptorKernels, RandomPicturesAtEveryPositionAndLevel) {
  const auto table = Lumetra::sharedRotatedPatterns(true);
  const auto discOnly = Lumetra::sharedRotatedPatterns(false);
  const int sizes[][2] = {{31, 31}, {36, 36}, {37, 37}, {38, 40}, {53, 47}, {70, 41}};
  unsigned seed = 7;
  for (const auto& size : sizes) {
    for (int kind = 0; kind < 3; ++kind) {
      const ImageGray image = ref::randomPicture(size[0], size[1], seed++, kind == 0 ? 0 : kind + 3);
      checkAllPositions(image, *table, *discOnly,
                        std::to_string(size[0]) + "x" + std::to_string(size[1]) + " kind " + std::to_string(kind));
    }
  }
}

TEST(DescriptorKernels, ViewsAtTheCornersOfTheirPicture) {
  // Views whose last row is the picture's last row and whose right edge is the picture's right
  // edge (nothing may be read past the storage), and views with rows wider than themselves.
  const auto table = Lumetra::sharedRotatedPatterns(true);
  const auto discOnly = Lumetra::sharedRotatedPatterns(false);
  const ImageGray picture = ref::randomPicture(90, 80, 99, 0);
  const struct {
    int x, y, w, h;
  } views[] = {{0, 0, 45, 40}, {45, 40, 45, 40}, {50, 0, 40, 80}, {3, 37, 41, 43}};
  for (const auto& v : views) {
    const ImageGray view = picture.region(Vec2i(v.x, v.y), Vec2u(static_cast<std::uint32_t>(v.w), static_cast<std::uint32_t>(v.h)));
    ASSERT_EQ(view.width, static_cast<std::uint32_t>(v.w));
    checkAllPositions(view, *table, *discOnly, "view " + std::to_string(v.x) + "," + std::to_string(v.y));
  }
}

