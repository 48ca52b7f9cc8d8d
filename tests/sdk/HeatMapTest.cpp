// The heat map against its definition written out here: stamps added one cell at a time, in
// order, then coloured through the palette and blended over the picture.
#include "ObjectTracker/Trainer/Image/HeatMap.h"
#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Obrin::HeatMap;

float stampValue(int r, int c) {
  const double d = std::sqrt(static_cast<double>((r - 4) * (r - 4) + (c - 4) * (c - 4)));
  return static_cast<float>(std::max(0.0, 1.0 - d / 5.0));
}

TEST(HeatMap, DefaultStampIsTheConeRoundedOnce) {
  const Obrin::HeatMapStamp* stamp = Obrin::HeatMapStamp::defaultStamp();
  ASSERT_EQ(stamp->width, 9u);
  ASSERT_EQ(stamp->height, 9u);
  for (int r = 0; r < 9; ++r) {
    for (int c = 0; c < 9; ++c) EXPECT_EQ(stamp->buf[r * 9 + c], stampValue(r, c)) << r << ", " << c;
  }
}

// The palette bytes R, G, B of entries 0 to 16.
const std::uint8_t kPalette[17][3] = {
    {0xd7, 0x3c, 0x51}, {0xd7, 0x3c, 0x51}, {0xf3, 0x6f, 0x44}, {0xfd, 0xb0, 0x5e}, {0xfe, 0xe0, 0x90},
    {0xfa, 0xff, 0xa4}, {0xe6, 0xf5, 0x96}, {0xaf, 0xdc, 0xa3}, {0x66, 0xc2, 0xa5}, {0x35, 0x87, 0xbb},
    {0x2b, 0x70, 0xc7}, {0x21, 0x5c, 0xd1}, {0x17, 0x3e, 0xdb}, {0x0d, 0x2a, 0xe5}, {0x08, 0x20, 0xef},
    {0x05, 0x16, 0xf9}, {0x03, 0x0c, 0xff},
};

TEST(HeatMap, EqualsTheSequentialSumAndItsRendering) {
  const int width = 64, height = 48;
  std::mt19937 engine(5);
  std::normal_distribution<double> normal(0.0, 10.0);
  std::vector<Eigen::Vector2d> offsets;
  for (int i = 0; i < 300; ++i) {
    const double x = normal(engine);
    offsets.emplace_back(x, normal(engine));
  }
  offsets.emplace_back(-70.9, 0.5);  // moves points from outside the grid in, and out of it
  offsets.emplace_back(0.0, 2.0e9);
  std::uniform_int_distribution<int> px(-5, width + 5), py(-5, height + 5);
  std::vector<Eigen::Vector2i> points = {{0, 0}, {width - 1, height - 1}, {width, 0}, {90, 10}, {-2147483647, 7}};
  for (int i = 0; i < 60; ++i) {
    const Eigen::Vector2i p(px(engine), py(engine));
    for (int repeat = i % 3; repeat >= 0; --repeat) points.push_back(p);  // records of one keypoint
  }

  // The definition: for each point and offset in order, the stamp at trunc(offset) + point,
  // summed as 32-bit integers read as unsigned, clipped to the grid, one cell at a time.
  std::vector<float> cells(width * height, 0.0f);
  float max = 0.0f;
  for (const Eigen::Vector2i& p : points) {
    for (const Eigen::Vector2d& o : offsets) {
      const std::uint32_t x = static_cast<std::uint32_t>(p.x()) + static_cast<std::uint32_t>(static_cast<int>(o.x()));
      const std::uint32_t y = static_cast<std::uint32_t>(p.y()) + static_cast<std::uint32_t>(static_cast<int>(o.y()));
      if (x >= std::uint32_t(width) || y >= std::uint32_t(height)) continue;
      for (int r = 0; r < 9; ++r) {
        for (int c = 0; c < 9; ++c) {
          const std::int64_t cx = std::int64_t(x) + c - 4, cy = std::int64_t(y) + r - 4;
          if (cx < 0 || cy < 0 || cx >= width || cy >= height) continue;
          float& cell = cells[cy * width + cx];
          cell += stampValue(r, c);
          max = std::max(max, cell);
        }
      }
    }
  }

  Obrin::HeatmapGenerator generator(width, height, 0.0, 10.0, 1);
  generator.setOffsets(offsets);
  generator.addPoints(points);
  const HeatMap& map = *generator.heatMap();
  EXPECT_NEAR(map.max, max, 1e-5 * max);
  for (int i = 0; i < width * height; ++i) ASSERT_NEAR(map.cells[i], cells[i], 1e-5 * cells[i]) << i;

  // Rendered: v = min(max, cell) / max, entry trunc(16 v + 0.5); blended: picture 0.7, map 0.3.
  Lumetra::ImageGray picture(Lumetra::Vec2u(width, height), Lumetra::Gray8{{0}});
  for (int i = 0; i < width * height; ++i) picture.data[i][0] = static_cast<std::uint8_t>(i * 37);
  Lumetra::ImageRGB heat, overlay;
  ASSERT_TRUE(Obrin::generateHeatmap(picture, points, offsets, heat, overlay));
  int differing = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto entry = static_cast<int>(std::min(max, cells[y * width + x]) / max * 16.0f + 0.5f);
      const std::uint8_t* rgb = kPalette[entry];
      differing += std::memcmp(heat.at(x, y).c, rgb, 3) != 0;
      for (int c = 0; c < 3; ++c) {
        const double v = heat.at(x, y)[c] * (1.0 - 0.7) + picture.at(x, y)[0] * 0.7;
        EXPECT_EQ(overlay.at(x, y)[c], static_cast<int>(v));
      }
    }
  }
  EXPECT_LE(differing, width * height / 1000);
}

}  // namespace
