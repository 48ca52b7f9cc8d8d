// Drawing: brushes, clipping, lines, circles and polygons on small canvases.
#include "Image/Drawing.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace {

using namespace Lumetra;

const RGB8 kInk{{10, 20, 30}};
using PixelSet = std::set<std::pair<int, int>>;

PixelSet inked(const ImageRGB& img) {
  PixelSet set;
  for (std::uint32_t y = 0; y < img.height; ++y)
    for (std::uint32_t x = 0; x < img.width; ++x)
      if (img.at(x, y) == kInk) set.insert({static_cast<int>(x), static_cast<int>(y)});
  return set;
}

PixelSet square(int x0, int y0, int x1, int y1) {
  PixelSet set;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) set.insert({x, y});
  return set;
}

ImageRGB canvas(unsigned w = 10, unsigned h = 8) { return ImageRGB(Vec2u(w, h), RGB8{{0, 0, 0}}); }

TEST(DrawPoint, Brushes) {
  struct Case {
    int x, y, thickness;
    PixelSet expected;
  };
  const std::vector<Case> cases = {
      {9, 7, 1, {{9, 7}}},
      {10, 7, 1, {}},
      {0, 3, 2, {}},  // border pixel: brush 2 and 3 are skipped
      {4, 3, 2, square(4, 3, 5, 4)},
      {4, 3, 3, square(3, 2, 5, 4)},
      {4, 3, 0, {{4, 3}}},
      {4, 3, 4, square(2, 1, 6, 5)},
      {4, 3, 5, square(2, 1, 6, 5)},
      {1, 3, 4, {}},  // does not fit with margin 2: skipped whole
      {4, 3, -1, {}},
  };
  for (const Case& c : cases) {
    ImageRGB img = canvas();
    drawPoint(img, Vec2i(c.x, c.y), kInk, static_cast<std::int8_t>(c.thickness));
    EXPECT_EQ(inked(img), c.expected) << c.x << "," << c.y << " brush " << c.thickness;
  }
}

TEST(ClipLine, Cases) {
  const ImageRGB img = canvas();
  struct Case {
    Vec2i p1, p2;
    bool accepted;
    Vec2i q1, q2;
  };
  const Case cases[] = {
      {Vec2i(-5, 1), Vec2i(-1, 6), false, Vec2i(0, 0), Vec2i(0, 0)},      // both left
      {Vec2i(-5, 3), Vec2i(15, 3), true, Vec2i(0, 3), Vec2i(9, 3)},       // across
      {Vec2i(4, -10), Vec2i(4, 20), true, Vec2i(4, 0), Vec2i(4, 7)},      // down through
      {Vec2i(2, 2), Vec2i(5, 5), true, Vec2i(2, 2), Vec2i(5, 5)},         // inside
      {Vec2i(-2, -2), Vec2i(12, 12), true, Vec2i(0, 0), Vec2i(7, 7)},     // the diagonal
      {Vec2i(std::numeric_limits<int>::min(), 3), Vec2i(std::numeric_limits<int>::max(), 3), true, Vec2i(0, 3),
       Vec2i(9, 3)},
  };
  for (const Case& c : cases) {
    Vec2i q1(-99, -99), q2(-99, -99);
    ASSERT_EQ(clipLine(img, c.p1, c.p2, q1, q2), c.accepted) << c.p1.transpose() << " " << c.p2.transpose();
    if (c.accepted) {
      EXPECT_EQ(q1, c.q1) << c.p1.transpose();
      EXPECT_EQ(q2, c.q2) << c.p2.transpose();
    }
  }
}

TEST(DrawLine, PlainClippedAndRejected) {
  ImageRGB img = canvas();
  EXPECT_TRUE(drawLine(img, Vec2i(1, 1), Vec2i(5, 3), kInk, 1));
  EXPECT_EQ(inked(img), (PixelSet{{1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}}));

  ImageRGB steep = canvas();
  EXPECT_TRUE(drawLine(steep, Vec2i(2, 6), Vec2i(2, 2), kInk, 1));
  EXPECT_EQ(inked(steep), square(2, 2, 2, 6));

  ImageRGB outside = canvas();
  EXPECT_FALSE(drawLine(outside, Vec2i(-3, -1), Vec2i(-1, 7), kInk, 1));
  EXPECT_TRUE(inked(outside).empty());

  ImageRGB empty;
  EXPECT_FALSE(drawLine(empty, Vec2i(0, 0), Vec2i(1, 1), kInk, 1));
}

TEST(DrawCircle, Radii) {
  // Radius 1 sets the eight neighbours, radius 0 the centre, a negative radius four points.
  PixelSet neighbours = square(3, 3, 5, 5);
  neighbours.erase({4, 4});
  const std::pair<int, PixelSet> cases[] = {
      {1, neighbours}, {0, {{4, 4}}}, {-3, {{1, 4}, {7, 4}, {4, 1}, {4, 7}}}};
  for (const auto& [radius, expected] : cases) {
    ImageRGB img = canvas();
    EXPECT_TRUE(drawCircle(img, Vec2i(4, 4), kInk, radius, 1));
    EXPECT_EQ(inked(img), expected) << radius;
  }

  ImageRGB ring = canvas(40, 40);
  EXPECT_TRUE(drawCircle(ring, Vec2i(20, 20), kInk, 10, 1));
  for (const auto& p : inked(ring)) {
    const double d = std::hypot(p.first - 20, p.second - 20);
    EXPECT_NEAR(d, 10.0, 0.75) << p.first << "," << p.second;
  }
  // Partly outside: the outside points are skipped.
  ImageRGB corner = canvas();
  EXPECT_TRUE(drawCircle(corner, Vec2i(0, 0), kInk, 3, 1));
  EXPECT_TRUE(inked(corner).count({3, 0}));

  ImageRGB empty;
  EXPECT_FALSE(drawCircle(empty, Vec2i(0, 0), kInk, 3, 1));
}

TEST(DrawPolygon, TriangleAndTooFewPoints) {
  ImageRGB img = canvas();
  EXPECT_FALSE(drawPolygon(img, {Vec2i(1, 1), Vec2i(5, 5)}, kInk, 1));
  EXPECT_TRUE(inked(img).empty());

  EXPECT_TRUE(drawPolygon(img, {Vec2i(1, 1), Vec2i(7, 1), Vec2i(1, 6)}, kInk, 1));
  ImageRGB lines = canvas();
  drawLine(lines, Vec2i(1, 1), Vec2i(7, 1), kInk, 1);
  drawLine(lines, Vec2i(7, 1), Vec2i(1, 6), kInk, 1);
  drawLine(lines, Vec2i(1, 1), Vec2i(1, 6), kInk, 1);
  EXPECT_EQ(inked(img), inked(lines));
  EXPECT_TRUE(inked(img).count({1, 4}));  // the closing line runs from the first point to the last

  ImageRGB empty;
  EXPECT_FALSE(drawPolygon(empty, {Vec2i(1, 1), Vec2i(7, 1), Vec2i(1, 6)}, kInk, 1));
}

}  // namespace
