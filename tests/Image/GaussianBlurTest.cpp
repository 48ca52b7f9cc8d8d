// Gaussian blur: weights, both paths against the reference formulas on every SIMD level, the
// border bands, and the workspace.
#include "Image/GaussianBlur.h"
#include "ImageTestUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Lumetra;
using namespace ImageTest;

struct BlurCase {
  int w, h, taps;
  double sigma;
};

// Both paths on every SIMD level against the reference formulas, whole images and views, with the
// filter's own intermediates and with a workspace of each level reused over every size (growing
// and shrinking), and in place. The widths reach every tail of the vector steps. Wide pictures
// keep only a window of intermediate rows (row y in window row y mod its height), as few as one
// more than the taps; their heights cover one output row, a wrap of the window, and many wraps.
// Pictures narrower or lower than the kernel keep what the blur does not write. Sigma 0.4 gives a
// centre weight above one half (the 16-bit kernels split it), sigma 0.2 a centre weight too large
// for them (the 32-bit kernels take over).
TEST(GaussianBlur, BothPathsMatchReferenceOnEveryLevelAndSize) {
  std::vector<BlurCase> cases = {{640, 48, 5, 1.0}, {45, 30, 3, 0.4}, {5, 5, 7, 1.0}};
  for (int taps : {3, 5, 7}) {
    for (int w : ImageTest::testWidths()) cases.push_back({w, taps + 4, taps, 1.0});
    cases.push_back({64, 3, taps, 1.3});
    cases.push_back({130, 70, taps, 0.7});
    cases.push_back({41, 41, taps, 2.5});
    for (int w : {1100, 2100})
      for (int h : {taps, taps + 1, 2 * taps + 3, 41})
        for (double sigma : {1.0, 0.4, 0.2}) cases.push_back({w, h, taps, sigma});
  }
  const auto levels = availableLevels();
  std::vector<FilterWorkspace> workspaces(levels.size());
  std::uint32_t seed = 11;
  for (const BlurCase& c : cases) {
    const auto src = ImageReference::randomGray(c.w, c.h, seed++);
    for (std::uint8_t fixed : {0, 1}) {
      const auto reference = fixed ? ImageReference::blurFixed : ImageReference::blurFloat;
      // The destination starts at 77 so that unwritten border pixels are visible.
      ImageReference::Gray expected(c.w, c.h, 77);
      reference(src, expected, c.taps, c.sigma);
      ImageReference::Gray expectedInPlace = src;
      reference(src, expectedInPlace, c.taps, c.sigma);
      for (std::size_t l = 0; l < levels.size(); ++l) {
        Cpu::ScopedSimdCeiling ceiling(levels[l]);
        FilterWorkspace& workspace = workspaces[l];
        SCOPED_TRACE(std::string(levelName(levels[l])) + (fixed ? " fixed " : " float ") +
                     std::to_string(c.w) + "x" + std::to_string(c.h) + " taps " +
                     std::to_string(c.taps) + " sigma " + std::to_string(c.sigma));
        for (std::uint8_t useWorkspace : {0, 1}) {
          for (std::uint32_t margin : {0u, 3u}) {
            ImageGray dst = destination(c.w, c.h, margin, 77);
            gaussianBlur(fromReference(src, margin), dst, c.taps, c.sigma, fixed,
                         {&workspace, useWorkspace});
            ASSERT_EQ(dst.width, static_cast<std::uint32_t>(c.w));
            EXPECT_EQ(toReference(dst).px, expected.px)
                << "margin " << margin << " workspace " << int(useWorkspace);
          }
        }
        // The tallest wide pictures really were filtered through a window that wrapped around.
        const std::uint32_t windowRows =
            fixed ? workspace.intIntermediate.height : workspace.doubleIntermediate.height;
        if (c.w > 1000 && c.h == 41) {
          EXPECT_LT(windowRows, 41u);
        }
        EXPECT_GE(windowRows, static_cast<std::uint32_t>(std::min(c.h, c.taps)));
        ImageGray img = fromReference(src);
        gaussianBlur(img, img, c.taps, c.sigma, fixed, {&workspace, 1});
        EXPECT_EQ(toReference(img).px, expectedInPlace.px) << "in place";
      }
    }
  }
}

TEST(GaussianBlur, RefusalsLeaveTheDestinationOtherSizesAreResized) {
  const ImageGray src(Vec2u(10, 10), Gray8{{9}});
  ImageGray empty;
  gaussianBlur(src, empty, 4, 1.0, 0);
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_FALSE(empty.storage);

  ImageGray dst(Vec2u(3, 3), Gray8{{5}});
  gaussianBlur(ImageGray(), dst, 5, 1.0, 1);
  EXPECT_EQ(dst.width, 3u);
  EXPECT_EQ(toReference(dst).px, std::vector<uchar>(9, 5));

  // A destination of another size is given the source's.
  gaussianBlur(src, dst, 3, 1.0, 0);
  EXPECT_EQ(dst.size(), src.size());
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
