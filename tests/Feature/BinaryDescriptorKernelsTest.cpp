// The vector and scalar descriptor kernels against each other and against the formulas, on
// random pictures, on views inside a larger picture and right up to the edges where the vector
// kernels must not read; and the process-wide pattern tables.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Core/CpuFeatures.h"
#include "Feature/BinaryDescriptor.h"
#include "Feature/GridFeatureExtractor.h"
#include "Feature/SamplingPattern.h"
#include "FeatureReference.h"
#include "SimdLevels.h"

using Lumetra::BinaryDescriptor;
using Lumetra::ImageGray;
using Lumetra::RotatedPatternTable;
using Lumetra::Vec2i;
using Lumetra::Vec2u;
using Lumetra::Cpu::ScopedSimdCeiling;
using Lumetra::Cpu::SimdLevel;
namespace ref = FeatureReference;

namespace {

const std::vector<SimdLevel> kLevels = TestSupport::availableLevels();

std::vector<std::array<int, 4>> codePattern() {
  std::vector<std::array<int, 4>> pairs(256);
  for (int k = 0; k < 256; ++k)
    for (int i = 0; i < 4; ++i) pairs[k][i] = Lumetra::kSamplingPattern[4 * k + i];
  return pairs;
}

// kind 0: uniform noise; 1: only 0 and 255 (largest moments); 2: smooth ramps with noise.
ImageGray randomImage(int w, int h, unsigned seed, int kind) {
  ImageGray image(Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)), Lumetra::Gray8{{0}});
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int v = byte(rng);
      if (kind == 1) v = v < 128 ? 0 : 255;
      if (kind == 2) v = std::min(255, (3 * x + 2 * y) % 200 + v / 8);
      image.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))[0] = static_cast<std::uint8_t>(v);
    }
  }
  return image;
}

// Every position whose disc fits (margin 15) and every describable one (margin 18), at every
// SIMD level, against the formulas.
void checkAllPositions(const ImageGray& image, const RotatedPatternTable& table, const RotatedPatternTable& discOnly,
                       const std::string& what) {
  const ref::GrayView view = ref::viewOf(image);
  const auto pairs = codePattern();
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

TEST(DescriptorKernels, RandomPicturesAtEveryPositionAndLevel) {
  const auto table = Lumetra::sharedRotatedPatterns(true);
  const auto discOnly = Lumetra::sharedRotatedPatterns(false);
  const int sizes[][2] = {{31, 31}, {36, 36}, {37, 37}, {38, 40}, {53, 47}, {70, 41}};
  unsigned seed = 7;
  for (const auto& size : sizes) {
    for (int kind = 0; kind < 3; ++kind) {
      const ImageGray image = randomImage(size[0], size[1], seed++, kind);
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
  const ImageGray picture = randomImage(90, 80, 99, 0);
  const struct {
    int x, y, w, h;
  } views[] = {{0, 0, 45, 40}, {45, 40, 45, 40}, {50, 0, 40, 80}, {3, 37, 41, 43}};
  for (const auto& v : views) {
    const ImageGray view = picture.region(Vec2i(v.x, v.y), Vec2u(static_cast<std::uint32_t>(v.w), static_cast<std::uint32_t>(v.h)));
    ASSERT_EQ(view.width, static_cast<std::uint32_t>(v.w));
    checkAllPositions(view, *table, *discOnly, "view " + std::to_string(v.x) + "," + std::to_string(v.y));
  }
}

