// Grid feature extractor: threshold schedule, quota, mask, borders, warped selection, level
// climbing, descriptor pass and thread independence.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <string>
#include <vector>

#include "Feature/GridFeatureExtractor.h"
#include "FeatureReference.h"
#include "Image/ImageIO.h"
#include "Image/ImageOP.h"

using namespace Lumetra;
namespace ref = FeatureReference;

namespace {

std::string dataPath(const char* name) { return std::string(FORMWRIGHT_OPENCV_DATA) + "/" + name; }

struct Spot {
  int x, y, margin;
};

// Isolated dark pixels on a plateau of 128: a spot of margin m is a corner of score m.
ImageGray spotImage(int w, int h, const std::vector<Spot>& spots) {
  ImageGray image(Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)), Lumetra::Gray8{{128}});
  for (const Spot& s : spots)
    image.at(static_cast<std::uint32_t>(s.x), static_cast<std::uint32_t>(s.y))[0] = static_cast<std::uint8_t>(128 - s.margin);
  return image;
}

ImagePyramid makePyramid(const ImageGray& image, int levels, double ratio) {
  ImagePyramid pyramid(static_cast<std::uint8_t>(levels), ratio);
  double s = 1.0, inv = 1.0;
  for (int l = 0; l < levels; ++l) {
    pyramid.scales.push_back(s);
    pyramid.inverseScales.push_back(inv);
    s *= ratio;
    inv /= ratio;
  }
  EXPECT_TRUE(Lumetra::BuildImagePyramid(image, pyramid.levels, static_cast<std::uint8_t>(levels), ratio));
  return pyramid;
}

GridFeatureExtractor::Parameters gridParameters(int cols, int rows, std::uint64_t numCorners) {
  GridFeatureExtractor::Parameters p;
  p.cols = cols;
  p.rows = rows;
  p.numCorners = numCorners;
  return p;
}

void setUp(GridFeatureExtractor& extractor, const GridFeatureExtractor::Parameters& p, int w, int h, int bx = 0,
           int by = 0) {
  extractor.setParameters(p);
  extractor.configure(w, h, bx, by);
}

bool maskAt(const GridFeatureExtractor& e, int x, int y) {
  return e.mask().at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))[0] == 255;
}

}  // namespace

TEST(GridExtractorCells, ConfigureLaysOutCellsAndBorder) {
  GridFeatureExtractor extractor;
  setUp(extractor, gridParameters(4, 3, 2000), 640, 480, 20, 10);
  EXPECT_TRUE(extractor.cellWidth() == 152 && extractor.cellHeight() == 150);
  ASSERT_EQ(extractor.cells().size(), 12u);
  EXPECT_TRUE(extractor.cells()[5].x == 15 + 152 && extractor.cells()[5].y == 15 + 150 && extractor.cells()[5].index == 5);
  EXPECT_EQ(extractor.borderOrigin(), Eigen::Vector2i(35, 25));
}

TEST(GridExtractorSchedule, ThresholdHalvingCases) {
  // Four spots of each margin; the thresholds of the last run decide which are found.
  const int margins[] = {30, 20, 13, 12, 11, 10, 7, 6, 4, 3, 2};
  std::vector<Spot> spots;
  int i = 0;
  for (int m : margins)
    for (int k = 0; k < 4; ++k, ++i) spots.push_back({24 + (i % 16) * 9, 24 + (i / 16) * 9, m});
  const ImageGray image = spotImage(200, 200, spots);
  auto countAbove = [&](int t) {
    int n = 0;
    for (const Spot& s : spots) n += s.margin > t ? 1 : 0;
    return n;
  };

  struct Case {
    int threshold, minThreshold, maxRounds;
    bool adaptive;
    std::uint64_t numCorners;
    int lastThreshold;
  };
  const Case cases[] = {
      {25, 3, 3, true, 1000, 3},     // 25, 12, 6, 3
      {25, 10, 3, true, 1000, 10},   // 25, 12, 10, then t = 6 < 10 stops
      {25, 3, 1, true, 1000, 12},    // one extra run
      {25, 3, 0, true, 1000, 25},    // no extra run
      {25, 3, 3, false, 1000, 25},   // schedule off
      {25, 3, 3, true, static_cast<std::uint64_t>(countAbove(12) / 2), 12},  // 2q reached at 12
      {25, 3, 3, true, static_cast<std::uint64_t>(countAbove(25) / 2), 25},  // 2q reached at once
  };
  for (const Case& c : cases) {
    GridFeatureExtractor extractor;
    GridFeatureExtractor::Parameters p = gridParameters(1, 1, c.numCorners);
    p.threshold = c.threshold;
    p.minThreshold = c.minThreshold;
    p.maxRounds = c.maxRounds;
    p.adaptiveThreshold = c.adaptive;
    extractor.setParameters(p);
    GridFeatureExtractor::Cell cell;
    cell.view = image;
    const std::vector<Corner> corners = extractor.detectInCell(cell);
    EXPECT_EQ(static_cast<int>(corners.size()), countAbove(c.lastThreshold)) << c.threshold << "/" << c.minThreshold
                                                                               << "/" << c.maxRounds;
    for (std::size_t k = 0; k < corners.size(); ++k)
      EXPECT_TRUE(corners[k].score > c.lastThreshold && (k == 0 || corners[k - 1].score >= corners[k].score));
  }
}

TEST(GridExtractorSelection, QuotaThenFillUpInCellOrder) {
  // Two cells side by side on a 200 x 100 image: cell 0 covers x in [18, 103), cell 1 from 103.
  GridFeatureExtractor extractor;
  GridFeatureExtractor::Parameters p = gridParameters(2, 1, 4);  // quota 2
  setUp(extractor, p, 200, 100);
  ASSERT_EQ(extractor.cellWidth(), 85);
  const ImageGray image = spotImage(200, 100, {{30, 30, 50}, {50, 30, 40}, {70, 30, 30}, {90, 30, 20},
                                               {30, 60, 10}, {130, 50, 60}});
  p.computeDescriptors = false;
  extractor.setParameters(p);
  extractor.detect(makePyramid(image, 1, 0.5));
  const auto& kps = extractor.keyPoints();
  ASSERT_EQ(kps.size(), 4u);
  // Cell 0's best two, cell 1's only one, then the best leftover of cell 0.
  const int expected[4][3] = {{30, 30, 50}, {50, 30, 40}, {130, 50, 60}, {70, 30, 30}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(kps[k].x == expected[k][0] && kps[k].y == expected[k][1] && kps[k].score == expected[k][2]) << k;
    EXPECT_TRUE(kps[k].x0 == kps[k].x && kps[k].y0 == kps[k].y && kps[k].level == 0 && kps[k].descriptors.empty());
  }
  // The first run at 25 finds three corners in cell 0, the run at 12 four (2q): the spot of
  // margin 10 is never found, and cell 0 leaves two corners over.
  EXPECT_EQ(extractor.leftovers().size(), 2u);

  // More keypoints than wanted from the quota phase alone: cut in cell order.
  GridFeatureExtractor many;
  GridFeatureExtractor::Parameters q = gridParameters(2, 1, 1);  // quota 1 per cell, 1 wanted
  q.computeDescriptors = false;
  setUp(many, q, 200, 100);
  many.detect(makePyramid(image, 1, 0.5));
  ASSERT_EQ(many.numKeyPoints(), 1u);
  EXPECT_EQ(many.keyPoints()[0].x, 30);
}

TEST(GridExtractorSelection, MaskSpacingAndStamping) {
  struct Case {
    int minDistance;
    int dx, dy;  // offset of the second, weaker corner
    bool secondKept;
  };
  const Case cases[] = {{4, 4, 4, false}, {4, 5, 0, true},  {4, 0, 5, true},  {4, -4, 3, false},
                        {0, 0, 0, false}, {0, 1, 0, true},  {-1, 0, 0, true}, {2, 3, 3, true}};
  for (const Case& c : cases) {
    GridFeatureExtractor extractor;
    GridFeatureExtractor::Parameters p = gridParameters(1, 1, 10);
    p.minDistance = static_cast<std::int8_t>(c.minDistance);
    setUp(extractor, p, 100, 100);
    // Corners relative to the cell origin (15, 15), best first.
    extractor.cellCorners()[0] = {{35, 35, 90}, {35 + c.dx, 35 + c.dy, 80}};
    extractor.selectKeyPoints();
    EXPECT_EQ(extractor.numKeyPoints(), c.secondKept ? 2u : 1u) << c.minDistance << " " << c.dx << "," << c.dy;
    EXPECT_EQ(extractor.keyPoints()[0].x, 50);
  }

  // The stamped square, clipped at the image's edge.
  GridFeatureExtractor extractor;
  GridFeatureExtractor::Parameters p = gridParameters(1, 1, 10);
  p.minDistance = 4;
  setUp(extractor, p, 100, 100, -15, -15);  // border 0, so corners at the edge are accepted
  extractor.cellCorners()[0] = {{35, 35, 90}, {-14, -13, 50}};
  extractor.selectKeyPoints();
  ASSERT_EQ(extractor.numKeyPoints(), 2u);
  int stamped = 0;
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 100; ++x) {
      const bool inFirst = std::abs(x - 50) <= 4 && std::abs(y - 50) <= 4;
      const bool inSecond = x <= 5 && y <= 6;
      EXPECT_EQ(maskAt(extractor, x, y), inFirst || inSecond) << x << "," << y;
      stamped += maskAt(extractor, x, y) ? 1 : 0;
    }
  }
  EXPECT_EQ(stamped, 81 + 6 * 7);

  // The fill-up skips the leftovers whose place a keypoint already holds.
  GridFeatureExtractor fill;
  GridFeatureExtractor::Parameters f = gridParameters(2, 1, 4);  // quota 2 per cell
  f.minDistance = 4;
  setUp(fill, f, 200, 100);
  fill.cellCorners()[0] = {{35, 35, 90}, {60, 35, 85}, {37, 36, 80}, {80, 35, 70}};
  fill.selectKeyPoints();
  ASSERT_EQ(fill.leftovers().size(), 2u);
  ASSERT_EQ(fill.numKeyPoints(), 3u);
  EXPECT_EQ(fill.keyPoints()[2].x, 95);
}

TEST(GridExtractorSelection, BorderOffsetAppliesToQuotaPhaseOnly) {
  GridFeatureExtractor extractor;
  GridFeatureExtractor::Parameters p = gridParameters(1, 1, 10);  // quota 10
  setUp(extractor, p, 200, 100, 20, 10);  // border 35, 25
  // x = 30 is left of the border: dropped while the quota is open.
  extractor.cellCorners()[0] = {{15, 40, 90}, {60, 40, 80}};
  extractor.selectKeyPoints();
  ASSERT_EQ(extractor.numKeyPoints(), 1u);
  EXPECT_EQ(extractor.keyPoints()[0].x, 75);

  // Quota 1: the corner at x = 30 comes after the quota is full and enters through the fill-up.
  GridFeatureExtractor two;
  GridFeatureExtractor::Parameters q = gridParameters(3, 1, 3);  // quota 1 per cell
  setUp(two, q, 200, 100, 20, 10);
  two.cellCorners()[0] = {{45, 40, 90}, {15, 40, 80}, {15, 5, 70}};
  two.selectKeyPoints();
  ASSERT_EQ(two.numKeyPoints(), 3u);
  // The last one is above the border too: no border test in the fill-up.
  EXPECT_TRUE(two.keyPoints()[0].x == 60 && two.keyPoints()[1].x == 30 && two.keyPoints()[2].y == 20);
}

TEST(GridExtractorSelection, WarpedSelectionUsesTheMappedPositions) {
  // The picture appears shifted by (30, 0) in the image: mapped u = x - 30.
  Eigen::Matrix3d h = Eigen::Matrix3d::Identity();
  h(0, 2) = 30.0;
  GridFeatureExtractor extractor;
  GridFeatureExtractor::Parameters p = gridParameters(2, 1, 4);  // quota 2 per quota cell
  setUp(extractor, p, 200, 100);
  ASSERT_EQ(extractor.cells()[1].x, 15 + 85);
  // Detection cell 0 (origin 15): x = 40 maps to 10 (left of the border 15), x = 60 to 30,
  // x = 64 to 34 (too close to 30), x = 80 to 50.
  extractor.cellCorners()[0] = {{25, 30, 90}, {45, 30, 80}, {49, 32, 75}, {65, 30, 70}};
  // Detection cell 1 (origin 100): x = 150 maps to 120, in quota cell 1 (u - 15 >= 100 / 2 * 1).
  extractor.cellCorners()[1] = {{50, 50, 60}, {80, 50, 50}};
  extractor.selectKeyPointsWarped(h);
  const auto& kps = extractor.keyPoints();
  // Quota cell 0: x = 40 dropped (mapped left of the border), x = 60 taken, x = 64 masked,
  // x = 80 taken (quota cell 0 full). Quota cell 1: x = 150 and x = 180 (u = 150) both taken.
  ASSERT_EQ(kps.size(), 4u);
  const int xs[] = {60, 80, 150, 180};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(kps[k].x, xs[k]) << k;
  EXPECT_TRUE(maskAt(extractor, 30, 45) && maskAt(extractor, 50, 45) && maskAt(extractor, 120, 65));
  EXPECT_FALSE(maskAt(extractor, 60, 45));  // stamped at the mapped, not the detected, position
  EXPECT_TRUE(extractor.leftovers().empty());

  // Quota 1: later corners of a full quota cell are leftovers; the fill-up skips those that map
  // outside the image and takes the others whose mapped position is free.
  GridFeatureExtractor one;
  setUp(one, gridParameters(2, 1, 3), 200, 100);  // quota 1
  one.cellCorners()[0] = {{45, 30, 90}, {5, 30, 80}, {65, 60, 70}};  // x = 20 maps to -10
  one.selectKeyPointsWarped(h);
  ASSERT_EQ(one.leftovers().size(), 2u);
  ASSERT_EQ(one.numKeyPoints(), 2u);
  EXPECT_TRUE(one.keyPoints()[0].x == 60 && one.keyPoints()[1].x == 80 && one.keyPoints()[1].y == 75);

  // A singular homography maps nothing anywhere: no keypoint, no failure.
  GridFeatureExtractor none;
  setUp(none, gridParameters(2, 1, 3), 200, 100);
  none.cellCorners()[0] = {{45, 30, 90}};
  none.selectKeyPointsWarped(Eigen::Matrix3d::Zero());
  EXPECT_EQ(none.numKeyPoints(), 0u);
}

TEST(GridExtractorPyramid, LevelsClimbWhileStillACorner) {
  const ImageGray image = Lumetra::loadImageWithCodec(dataPath("box.png"));
  ASSERT_FALSE(image.isEmpty());
  const ImagePyramid pyramid = makePyramid(image, 5, 0.833299994468689);
  GridFeatureExtractor extractor;
  GridFeatureExtractor::Parameters p = gridParameters(4, 3, 500);
  p.computeDescriptors = false;
  setUp(extractor, p, static_cast<int>(image.width), static_cast<int>(image.height));
  extractor.detect(pyramid);
  ASSERT_GT(extractor.numKeyPoints(), 100u);
  int climbed = 0;
  for (const KeyPoint& kp : extractor.keyPoints()) {
    EXPECT_TRUE(kp.descriptors.empty());
    climbed += kp.level > 0 ? 1 : 0;
    // Still a corner at minThreshold + 1 on every level up to its own, and not on the next.
    for (int l = 1; l <= kp.level + 1 && l < 5; ++l) {
      const ref::GrayView view = ref::viewOf(pyramid.levels[static_cast<std::size_t>(l)]);
      const int x = static_cast<int>(pyramid.scales[static_cast<std::size_t>(l)] * kp.x0);
      const int y = static_cast<int>(pyramid.scales[static_cast<std::size_t>(l)] * kp.y0);
      const bool inside = x >= 3 && y >= 3 && x < view.width - 3 && y < view.height - 3;
      const bool corner = inside && ref::isCorner(view, x, y, p.minThreshold + 1);
      EXPECT_EQ(corner, l <= kp.level) << kp.x0 << "," << kp.y0 << " level " << int(kp.level) << " l " << l;
    }
  }
  EXPECT_GT(climbed, 10);
}

TEST(GridExtractorDescriptors, DescribedOnEveryLevelAndRemovedWithout) {
  const ImageGray image = Lumetra::loadImageWithCodec(dataPath("graf1.png"));
  ASSERT_FALSE(image.isEmpty());
  const ImagePyramid pyramid = makePyramid(image, 4, 0.5);
  GridFeatureExtractor extractor;
  setUp(extractor, gridParameters(4, 3, 300), static_cast<int>(image.width), static_cast<int>(image.height));

  // Hand-made keypoints: level 2 but too close to the edge of level 1 (x0 = 30 -> 15 < 18);
  // one too close on level 0; one fine on all levels.
  auto make = [](double x, double y, int level) {
    KeyPoint kp;
    kp.x = kp.x0 = x;
    kp.y = kp.y0 = y;
    kp.level = static_cast<std::int8_t>(level);
    return kp;
  };
  extractor.keyPoints() = {make(30, 300, 2), make(17, 300, 1), make(400, 300, 3), make(200, 200, 0)};
  extractor.computeDescriptors(pyramid);
  const auto& kps = extractor.keyPoints();
  ASSERT_EQ(kps.size(), 3u);
  const int expected[3][3] = {{30, 1, 1}, {400, 4, 3}, {200, 1, 0}};  // x0, descriptors, level
  for (int k = 0; k < 3; ++k)
    EXPECT_TRUE(kps[k].x0 == expected[k][0] && kps[k].descriptors.size() == std::size_t(expected[k][1]) &&
                kps[k].level == expected[k][2]) << k;
  // Each descriptor is the one of the scaled position on its level.
  for (int l = 0; l <= 3; ++l) {
    Lumetra::BinaryDescriptor d;
    const double s = pyramid.scales[static_cast<std::size_t>(l)];
    ASSERT_TRUE(Lumetra::computeRotatedBinaryDescriptor(extractor.patternTable(), pyramid.levels[static_cast<std::size_t>(l)],
                                                        Vec2i(static_cast<int>(s * 400), static_cast<int>(s * 300)), d));
    EXPECT_EQ(kps[1].descriptors[static_cast<std::size_t>(l)], d);
  }

  // Without the table the exact path describes.
  GridFeatureExtractor exact;
  GridFeatureExtractor::Parameters p = gridParameters(4, 3, 300);
  p.precomputeRotations = false;
  setUp(exact, p, static_cast<int>(image.width), static_cast<int>(image.height));
  exact.keyPoints() = {make(400, 300, 0)};
  exact.computeDescriptors(pyramid);
  ASSERT_EQ(exact.numKeyPoints(), 1u);
  Lumetra::BinaryDescriptor d;
  ASSERT_TRUE(Lumetra::computeBinaryDescriptorExact(exact.patternTable(), image, Vec2i(400, 300), d));
  EXPECT_EQ(exact.keyPoints()[0].descriptors[0], d);
}

TEST(GridExtractorThreads, SameResultForAnyThreadCount) {
  const ImageGray image = Lumetra::loadImageWithCodec(dataPath("graf1.png"));
  ASSERT_FALSE(image.isEmpty());
  const ImagePyramid pyramid = makePyramid(image, 8, 0.833299994468689);
  std::vector<KeyPoint> first;
  for (int threads : {1, 2, 4, 8}) {
    GridFeatureExtractor extractor;
    GridFeatureExtractor::Parameters p = gridParameters(4, 3, 2000);
    p.numThreads = threads;
    setUp(extractor, p, static_cast<int>(image.width), static_cast<int>(image.height));
    extractor.detect(pyramid);
    ASSERT_GT(extractor.numKeyPoints(), 1000u);
    if (first.empty()) {
      first = extractor.keyPoints();
      continue;
    }
    const auto& kps = extractor.keyPoints();
    ASSERT_EQ(kps.size(), first.size()) << threads;
    for (std::size_t i = 0; i < kps.size(); ++i) {
      EXPECT_TRUE(kps[i].x == first[i].x && kps[i].y == first[i].y && kps[i].score == first[i].score &&
                  kps[i].level == first[i].level && kps[i].descriptors == first[i].descriptors) << threads << " " << i;
    }
  }
}
