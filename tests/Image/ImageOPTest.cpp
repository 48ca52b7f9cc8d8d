// Resizing, pyramids and blending: SIMD paths against the scalar path and both against the
// reference formulas, the dispatch, and the small worked cases.
#include "Image/ImageOP.h"
#include "ImageTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace Lumetra;
using namespace ImageTest;

// ---- Every path against the reference, on many sizes, whole images and views.

struct SizeCase {
  int sw, sh, dw, dh;
};

// Each reduction on every SIMD path, whole images and views, against its reference formula, on
// widths that reach every tail of the vector steps.
TEST(Reductions, MatchTheReferenceOnEveryPathAndSize) {
  enum Operation { Half, TwoThirds, Bilinear };
  std::vector<std::pair<Operation, SizeCase>> cases = {
      {Half, {129, 67, 64, 33}},       {Half, {640, 480, 320, 240}},     {TwoThirds, {50, 50, 33, 33}},
      {TwoThirds, {640, 480, 422, 316}}, {TwoThirds, {1000, 20, 660, 13}}};
  for (const SizeCase& c : std::vector<SizeCase>{{1, 1, 1, 1},   {1, 1, 5, 3},     {2, 2, 4, 4},     {3, 2, 1, 1},
                                                 {7, 5, 3, 2},   {20, 20, 17, 13}, {30, 9, 29, 8},   {32, 32, 31, 31},
                                                 {33, 17, 8, 4}, {64, 48, 53, 40}, {640, 480, 533, 399},
                                                 {100, 80, 237, 191}, {45, 45, 45, 45}, {5, 400, 4, 333}, {400, 3, 333, 2}})
    cases.push_back({Bilinear, c});
  for (int w : ImageTest::testWidths()) {
    for (int h : {2, 3, 5, 8})
      if (w / 2 >= 1) cases.push_back({Half, {w, h, w / 2, h / 2}});
    if (w * 66 / 100 >= 1) cases.push_back({TwoThirds, {w, 3, w * 66 / 100, 1}});
    if (w * 66 / 100 >= 1) cases.push_back({TwoThirds, {w, 11, w * 66 / 100, 7}});
    cases.push_back({Bilinear, {w, 6, std::max(1, w * 5 / 6), 5}});
  }
  std::uint32_t seed = 1;
  for (const auto& [operation, c] : cases) {
    for (std::uint32_t margin : {0u, 3u}) {
      const auto src = ImageReference::randomGray(c.sw, c.sh, seed++);
      std::vector<uchar> expected;
      if (operation == Half) expected = ImageReference::downsampleHalf(src, c.dw, c.dh).px;
      if (operation == TwoThirds) expected = ImageReference::downsampleTwoThirds(src, c.dw, c.dh).px;
      if (operation == Bilinear) expected = ImageReference::resizeBilinear(src.px, c.sw, c.sh, 1, c.dw, c.dh);
      for (auto level : availableLevels()) {
        Cpu::ScopedSimdCeiling ceiling(level);
        ImageGray dst = destination(c.dw, c.dh, margin);
        const ImageGray view = fromReference(src, margin);
        ASSERT_TRUE(operation == Half        ? downsampleHalf(view, dst)
                    : operation == TwoThirds ? downsampleTwoThirds(view, dst)
                                             : resizeBilinear(view, dst));
        EXPECT_EQ(toReference(dst).px, expected) << "operation " << operation << " " << levelName(level) << " "
                                                 << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh
                                                 << " margin " << margin;
      }
    }
  }
}

TEST(ResizeBilinear, ColourMatchesReference) {
  const SizeCase cases[] = {{1, 1, 3, 3}, {9, 7, 5, 4}, {16, 16, 21, 21}, {31, 20, 25, 16}};
  std::uint32_t seed = 300;
  for (const SizeCase& c : cases) {
    const ImageRGB src = randomRGB(c.sw, c.sh, seed++);
    const std::vector<uchar> raw(src.values(), src.values() + 3 * c.sw * c.sh);
    ImageRGB dst;
    dst.create(Vec2u(c.dw, c.dh));
    ASSERT_TRUE(resizeBilinear(src, dst));
    const auto expected = ImageReference::resizeBilinear(raw, c.sw, c.sh, 3, c.dw, c.dh);
    EXPECT_EQ(std::vector<uchar>(dst.values(), dst.values() + expected.size()), expected);
  }
}

TEST(ResizeImage, DispatchFollowsTheExactSizeRelation) {
  // Sources whose reductions differ between the four operations, checked against each one.
  struct Case {
    int sw, sh, dw, dh;
    enum { Half, TwoThirds, Bilinear } expected;
  };
  const Case cases[] = {
      {640, 480, 320, 240, Case::Half},      {641, 481, 320, 240, Case::Half},
      {640, 480, 422, 316, Case::TwoThirds}, {640, 480, 422, 317, Case::Bilinear},
      {640, 480, 480, 360, Case::Bilinear},  // the 3/4 reduction is bilinear
      {640, 480, 533, 399, Case::Bilinear},  {640, 480, 320, 241, Case::Bilinear},
      {3, 3, 1, 1, Case::Half},  // meets the half relation (3 * 50 / 100 = 1) before the 2/3 one
  };
  for (const Case& c : cases) {
    const auto src = ImageReference::randomGray(c.sw, c.sh, 42);
    ImageGray dst = destination(c.dw, c.dh, 0);
    ASSERT_TRUE(resizeImage(fromReference(src), dst));
    const std::vector<uchar> expected = c.expected == Case::Half ? ImageReference::downsampleHalf(src, c.dw, c.dh).px
                                        : c.expected == Case::TwoThirds
                                            ? ImageReference::downsampleTwoThirds(src, c.dw, c.dh).px
                                            : ImageReference::resizeBilinear(src.px, c.sw, c.sh, 1, c.dw, c.dh);
    EXPECT_EQ(toReference(dst).px, expected) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
}

TEST(ResizeImage, RefusesEmptyImagesAndUnsafeSizes) {
  ImageGray empty;
  ImageGray dst = destination(4, 4, 0, 7);
  EXPECT_FALSE(resizeImage(empty, dst));
  EXPECT_FALSE(resizeImage(destination(8, 8, 0), empty));
  EXPECT_FALSE(resizeBilinear(empty, dst));
  EXPECT_FALSE(downsampleThreeQuarters(empty, dst));
  // Asking the fixed reductions for more than the source holds is refused, not read out of range.
  EXPECT_FALSE(downsampleHalf(destination(7, 7, 0), dst));
  EXPECT_FALSE(downsampleTwoThirds(destination(5, 5, 0), dst));
  EXPECT_FALSE(downsampleTwoThirds(destination(9, 2, 0), dst));  // fewer than 3 rows
  EXPECT_EQ(toReference(dst).px, std::vector<uchar>(16, 7));
}

// ---- Pyramids.

TEST(BuildImagePyramid, LevelSizes) {
  struct Case {
    int levels;
    double ratio;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
  };
  const Case cases[] = {
      {4, 0.5, {{640, 480}, {320, 240}, {160, 120}, {80, 60}}},
      {8, 0.833299994468689,
       {{640, 480}, {533, 399}, {444, 332}, {369, 276}, {307, 229}, {255, 190}, {212, 158}, {176, 131}}},
      {1, 0.5, {{640, 480}}},
  };
  const ImageGray src = fromReference(ImageReference::randomGray(640, 480, 5));
  for (const Case& c : cases) {
    std::vector<ImageGray> levels;
    ASSERT_TRUE(BuildImagePyramid(src, levels, static_cast<std::uint8_t>(c.levels), c.ratio));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    for (const auto& l : levels) sizes.emplace_back(l.width, l.height);
    EXPECT_EQ(sizes, c.sizes) << c.ratio;
    EXPECT_EQ(levels[0].data, src.data);  // level 0 shares the source's storage
  }
}

TEST(BuildImagePyramid, LevelsAreTheReductionsOfTheirPredecessor) {
  const auto src = ImageReference::randomGray(640, 480, 9);
  std::vector<ImageGray> levels;
  ASSERT_TRUE(BuildImagePyramid(fromReference(src), levels, 4, static_cast<double>(0.66f)));
  auto expected = src;
  for (std::size_t i = 1; i < levels.size(); ++i) {
    expected = ImageReference::downsampleTwoThirds(expected, expected.width * 66 / 100, expected.height * 66 / 100);
    EXPECT_EQ(toReference(levels[i]).px, expected.px) << "level " << i;
  }
}

TEST(BuildImagePyramid, StopsAtTooSmallLevelsAndEmptySources) {
  std::vector<ImageGray> levels;
  EXPECT_FALSE(BuildImagePyramid(destination(16, 16, 0), levels, 3, 0.25));
  EXPECT_EQ(levels.size(), 1u);

  levels.clear();
  EXPECT_FALSE(BuildImagePyramid(ImageGray(), levels, 3, 0.5));
  EXPECT_TRUE(levels.empty());

  levels.clear();
  EXPECT_FALSE(BuildImagePyramid(destination(20, 12, 0), levels, 4, 0.5));  // 20x12, 10x6, then 5x3
  EXPECT_EQ(levels.size(), 2u);
}

// ---- Blending.

TEST(BlendImages, WeightsSizesAndSaturation) {
  ImageRGB a(Vec2u(3, 2), RGB8{{100, 100, 100}});
  ImageRGB b(Vec2u(3, 2), RGB8{{200, 200, 200}});
  ImageRGB blended = blendImages(a, b, 0.7);
  ASSERT_EQ(blended.width, 3u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(blended.data[i], (RGB8{{130, 130, 130}}));

  // A weight above 1, and pictures of different sizes: black pictures of the first one's size.
  for (const ImageRGB& other : {ImageRGB(Vec2u(2, 2), RGB8{{1, 2, 3}}), b}) {
    const ImageRGB black = blendImages(a, other, other.width == 3 ? 1.5 : 0.5);
    ASSERT_EQ(black.size(), a.size());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(black.data[i], (RGB8{{0, 0, 0}}));
  }

  ImageRGB bright(Vec2u(1, 1), RGB8{{255, 0, 10}});
  ImageRGB blendedBright = blendImages(bright, bright, 0.5);
  EXPECT_EQ(blendedBright.data[0], (RGB8{{255, 0, 10}}));
  // A negative weight is clamped at 0 instead of wrapping around, and so is a weight that is no
  // number (a row of 12 bytes is long enough for the vector kernel).
  ImageRGB dark(Vec2u(4, 1), RGB8{{200, 0, 0}});
  ImageRGB zero(Vec2u(4, 1), RGB8{{0, 0, 0}});
  for (const double t : {-0.5, std::nan("")}) {
    const ImageRGB clamped = blendImages(dark, zero, t);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(clamped.data[i], (RGB8{{0, 0, 0}})) << t;
  }
}

}  // namespace
