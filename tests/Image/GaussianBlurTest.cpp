// Gaussian blur: weights, both paths against the reference formulas on every SIMD level, the
// border bands, and the workspace.
#include "Image/GaussianBlur.h"
#include "ImageTestUtil.h"

#include <gtest/gtest.h>

namespace {

using namespace Lumetra;
using namespace ImageTest;

// The reference blur of `src` into `dst` (which keeps what the blur does not write).
void referenceBlur(const ImageReference::Gray& src, ImageReference::Gray& dst, int taps, double sigma, int fixed) {
  if (fixed) {
    ImageReference::blurFixed(src, dst, taps, sigma);
  } else {
    ImageReference::blurFloat(src, dst, taps, sigma);
  }
}

struct BlurCase {
  int w, h, taps;
  double sigma;
};

std::vector<BlurCase> blurCases() {
  std::vector<BlurCase> cases;
  for (int taps : {3, 5, 7}) {
    for (int w : ImageTest::testWidths()) cases.push_back({w, taps + 4, taps, 1.0});
    cases.push_back({64, 3, taps, 1.3});
    cases.push_back({130, 70, taps, 0.7});
    cases.push_back({41, 41, taps, 2.5});
  }
  cases.push_back({640, 48, 5, 1.0});
  cases.push_back({45, 30, 3, 0.4});  // centre weight above one half
  return cases;
}

TEST(GaussianBlur, BothPathsMatchReferenceOnEveryLevelAndSize) {
  std::uint32_t seed = 11;
  for (const BlurCase& c : blurCases()) {
    for (std::uint32_t margin : {0u, 4u}) {
      const auto src = ImageReference::randomGray(c.w, c.h, seed++);
      for (int fixed : {0, 1}) {
        // The destination starts at 77 so that unwritten border pixels are visible.
        ImageReference::Gray expected(c.w, c.h, 77);
        referenceBlur(src, expected, c.taps, c.sigma, fixed);
        for (auto level : availableLevels()) {
          Cpu::ScopedSimdCeiling ceiling(level);
          ImageGray dst = destination(c.w, c.h, margin, 77);
          gaussianBlur(fromReference(src, margin), dst, c.taps, c.sigma, static_cast<std::uint8_t>(fixed));
          ASSERT_EQ(dst.width, static_cast<std::uint32_t>(c.w));
          EXPECT_EQ(toReference(dst).px, expected.px) << levelName(level) << (fixed ? " fixed " : " float ") << c.w
                                                      << "x" << c.h << " taps " << c.taps << " margin " << margin;
        }
      }
    }
  }
}

// Wide pictures keep only a window of intermediate rows (row y in window row y mod its height),
// as few as one more than the taps; the heights cover one output row, a wrap of the window, and
// many wraps.
// Sigma 0.4 gives a centre weight above one half (the 16-bit kernels split it), sigma 0.2 a
// centre weight too large for them (the 32-bit kernels take over). Each level's workspace is
// reused over every size, growing and shrinking.
TEST(GaussianBlur, PicturesTallerThanTheRowWindowMatchReference) {
  std::uint32_t seed = 900;
  const auto levels = availableLevels();
  std::vector<FilterWorkspace> workspaces(levels.size());
  for (int taps : {3, 5, 7}) {
    for (int w : {1100, 2100}) {
      for (int h : {taps, taps + 1, 2 * taps + 3, 41}) {
        for (double sigma : {1.0, 0.4, 0.2}) {
          const auto src = ImageReference::randomGray(w, h, seed++);
          for (int fixed : {0, 1}) {
            ImageReference::Gray expected(w, h, 77);
            referenceBlur(src, expected, taps, sigma, fixed);
            ImageReference::Gray expectedInPlace = src;
            referenceBlur(src, expectedInPlace, taps, sigma, fixed);
            for (std::size_t l = 0; l < levels.size(); ++l) {
              const auto level = levels[l];
              Cpu::ScopedSimdCeiling ceiling(level);
              FilterWorkspace& workspace = workspaces[l];
              for (std::uint32_t margin : {0u, 3u}) {
                ImageGray dst = destination(w, h, margin, 77);
                gaussianBlur(fromReference(src, margin), dst, taps, sigma, static_cast<std::uint8_t>(fixed),
                             {&workspace, 1});
                EXPECT_EQ(toReference(dst).px, expected.px) << levelName(level) << (fixed ? " fixed " : " float ")
                                                            << w << "x" << h << " taps " << taps << " sigma "
                                                            << sigma << " margin " << margin;
              }
              // The tallest pictures really were filtered through a window that wrapped around.
              const std::uint32_t windowRows =
                  fixed ? workspace.intIntermediate.height : workspace.doubleIntermediate.height;
              if (h == 41) {
                EXPECT_LT(windowRows, 41u);
              }
              EXPECT_GE(windowRows, static_cast<std::uint32_t>(std::min(h, taps)));
              ImageGray img = fromReference(src);
              gaussianBlur(img, img, taps, sigma, static_cast<std::uint8_t>(fixed), {&workspace, 1});
              EXPECT_EQ(toReference(img).px, expectedInPlace.px)
                  << "in place " << levelName(level) << (fixed ? " fixed " : " float ") << w << "x" << h << " taps "
                  << taps << " sigma " << sigma;
            }
          }
        }
      }
    }
  }
}

TEST(GaussianBlur, UnsupportedSizeAndEmptySourceLeaveTheDestination) {
  const ImageGray src(Vec2u(10, 10), Gray8{{9}});
  ImageGray empty;
  gaussianBlur(src, empty, 4, 1.0, 0);
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_FALSE(empty.storage);

  ImageGray dst(Vec2u(3, 3), Gray8{{5}});
  gaussianBlur(ImageGray(), dst, 5, 1.0, 1);
  EXPECT_EQ(dst.width, 3u);
  EXPECT_EQ(toReference(dst).px, std::vector<uchar>(9, 5));
}

TEST(GaussianBlur, SmallerThanTheKernel) {
  const auto src = ImageReference::randomGray(5, 5, 3);
  for (int fixed : {0, 1}) {
    ImageGray dst(Vec2u(5, 5), Gray8{{42}});
    gaussianBlur(fromReference(src), dst, 7, 1.0, static_cast<std::uint8_t>(fixed));
    EXPECT_EQ(toReference(dst).px, std::vector<uchar>(25, 42)) << fixed;
  }
  // Narrower than the kernel but tall enough: the fixed path writes 0 into the inner rows.
  ImageGray dst(Vec2u(4, 9), Gray8{{42}});
  FilterWorkspace workspace;
  workspace.intIntermediate = ImageInt(Vec2u(4, 9), Int32Pixel{{1 << 20}});  // stale content
  gaussianBlur(fromReference(ImageReference::randomGray(4, 9, 4)), dst, 5, 1.0, 1, {&workspace, 1});
  for (std::uint32_t y = 0; y < 9; ++y)
    for (std::uint32_t x = 0; x < 4; ++x) EXPECT_EQ(dst.at(x, y)[0], (y < 2 || y >= 7) ? 42 : 0);
}

TEST(GaussianBlur, ResizesAnotherSizedDestination) {
  const auto src = ImageReference::randomGray(20, 15, 8);
  ImageGray wrongSize(Vec2u(7, 3), Gray8{{1}});
  gaussianBlur(fromReference(src), wrongSize, 3, 1.0, 0);
  EXPECT_EQ(wrongSize.width, 20u);
  EXPECT_EQ(wrongSize.height, 15u);
}

TEST(GaussianBlur, DegenerateSigmaGivesTheIdentityKernel) {
  const auto src = ImageReference::randomGray(12, 12, 77);
  for (double sigma : {0.0, 1e-200}) {
    ImageGray dst(Vec2u(12, 12), Gray8{{0}});
    gaussianBlur(fromReference(src), dst, 3, sigma, 0);
    for (std::uint32_t y = 1; y < 11; ++y)
      for (std::uint32_t x = 1; x < 11; ++x) EXPECT_EQ(dst.at(x, y)[0], src.at(x, y));
  }
}

}  // namespace
