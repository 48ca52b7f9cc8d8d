#include "FeatureReference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace FeatureReference {

namespace {
// Circle of radius 3, starting below the centre: (dx, dy), y downwards.
const int kCircle[16][2] = {{0, 3},  {1, 3},   {2, 2},   {3, 1},   {3, 0},   {3, -1}, {2, -2}, {1, -3},
                            {0, -3}, {-1, -3}, {-2, -2}, {-3, -1}, {-3, 0}, {-3, 1}, {-2, 2}, {-1, 3}};

int circleValue(const GrayView& image, int x, int y, int k) {
  return image.at(x + kCircle[k % 16][0], y + kCircle[k % 16][1]);
}
}  // namespace

GrayView viewOf(const Lumetra::ImageGray& image) {
  GrayView v;
  v.data = reinterpret_cast<const std::uint8_t*>(image.data);
  v.width = static_cast<int>(image.width);
  v.height = static_cast<int>(image.height);
  v.rowBytes = static_cast<int>(image.rowBytes);
  return v;
}

bool isCorner(const GrayView& image, int x, int y, int t) {
  const int c = image.at(x, y);
  const int upper = std::min(c + t, 255);
  const int lower = std::max(c - t, 0);
  for (int start = 0; start < 16; ++start) {
    bool allBrighter = true;
    bool allDarker = true;
    for (int k = start; k < start + 9; ++k) {
      const int v = circleValue(image, x, y, k);
      if (!(v > upper)) allBrighter = false;
      if (!(v < lower)) allDarker = false;
    }
    if (allBrighter || allDarker) return true;
  }
  return false;
}

int cornerScore(const GrayView& image, int x, int y) {
  int score = 0;
  while (score < 256 && isCorner(image, x, y, score)) ++score;
  return score;
}

std::vector<RefCorner> detect(const GrayView& image, int t, bool suppress) {
  std::vector<RefCorner> out;
  const int w = image.width;
  const int h = image.height;
  if (w < 7 || h < 7) return out;
  std::vector<int> score(static_cast<std::size_t>(w) * h, 0);
  for (int y = 3; y < h - 3; ++y) {
    for (int x = 3; x < w - 3; ++x) {
      if (isCorner(image, x, y, t)) score[static_cast<std::size_t>(y) * w + x] = cornerScore(image, x, y);
    }
  }
  for (int y = 3; y < h - 3; ++y) {
    for (int x = 3; x < w - 3; ++x) {
      const int s = score[static_cast<std::size_t>(y) * w + x];
      if (s == 0) continue;
      if (!suppress) {
        out.push_back({x, y, 0});
        continue;
      }
      bool isMax = true;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          if (dx == 0 && dy == 0) continue;
          if (score[static_cast<std::size_t>(y + dy) * w + (x + dx)] >= s) isMax = false;
        }
      }
      if (isMax) out.push_back({x, y, s});
    }
  }
  return out;
}

std::vector<std::array<int, 4>> readPatternFile(const std::string& path) {
  std::vector<std::array<int, 4>> pairs;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::array<int, 4> p{};
    if (fields >> p[0] >> p[1] >> p[2] >> p[3]) pairs.push_back(p);
  }
  return pairs;
}

float orientation(const GrayView& image, int px, int py) {
  // Half-widths of the radius-15 disc, row by row (symmetric under swapping axes).
  const int halfWidth[16] = {15, 15, 15, 15, 14, 14, 14, 13, 13, 12, 11, 10, 9, 8, 6, 3};
  long long m10 = 0;
  long long m01 = 0;
  for (int v = -15; v <= 15; ++v) {
    const int reach = halfWidth[std::abs(v)];
    for (int u = -reach; u <= reach; ++u) {
      const int value = image.at(px + u, py + v);
      m10 += static_cast<long long>(u) * value;
      m01 += static_cast<long long>(v) * value;
    }
  }
  if (m10 == 0 && m01 == 0) return 0.0f;
  const float ax = std::fabs(static_cast<float>(m10));
  const float ay = std::fabs(static_cast<float>(m01));
  const float a = std::min(ax, ay) / std::max(ax, ay);
  const float q = a * a;
  float r = ((0.15931422f - 0.046496473f * q) * q - 0.32762277f) * q * a + a;
  if (ay > ax) r = 1.5707964f - r;
  if (m10 < 0) r = 3.1415927f - r;
  if (m01 < 0) r = -r;
  return r;
}

std::array<std::uint8_t, 32> descriptor(const GrayView& image, int px, int py,
                                        const std::vector<std::array<int, 4>>& pattern, bool wholeDegrees) {
  float c = 1.0f;
  float s = 0.0f;
  float r = orientation(image, px, py);
  if (wholeDegrees) {
    if (r < 0.0f) r += 6.2831855f;
    const float degrees = r * 180.0f / 3.1415927f;
    int d = static_cast<int>(degrees);
    if (d >= 360) d = 0;
    const float angle = static_cast<float>(d) * 3.1415927f / 180.0f;
    c = std::cos(angle);
    s = std::sin(angle);
  } else {
    c = std::cos(r);
    s = std::sin(r);
  }
  auto rotate = [&](int x, int y, int& rx, int& ry) {
    const float fx = static_cast<float>(x);
    const float fy = static_cast<float>(y);
    if (wholeDegrees) {
      const float ex = fx * c - fy * s;
      const float ey = fy * c + fx * s;
      rx = static_cast<int>(std::trunc(static_cast<double>(ex) + 0.5));
      ry = static_cast<int>(std::trunc(static_cast<double>(ey) + 0.5));
    } else {
      rx = static_cast<int>(std::trunc(fx * c - fy * s + 0.5f));
      ry = static_cast<int>(std::trunc(fy * c + fx * s + 0.5f));
    }
  };
  std::array<std::uint8_t, 32> out{};
  for (int k = 0; k < 256; ++k) {
    int ax, ay, bx, by;
    rotate(pattern[k][0], pattern[k][1], ax, ay);
    rotate(pattern[k][2], pattern[k][3], bx, by);
    if (image.at(px + ax, py + ay) < image.at(px + bx, py + by)) out[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
  }
  return out;
}

Lumetra::ImageGray randomPicture(int w, int h, unsigned seed, int kind) {
  Lumetra::ImageGray image(Lumetra::Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)), Lumetra::Gray8{{0}});
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any(0, 255), level(0, 3), small(-6, 6);
  std::vector<int> blocks(static_cast<std::size_t>((w / 4 + 1) * (h / 4 + 1)));
  for (int& b : blocks) b = any(rng);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int v = 0;
      if (kind == 0) v = any(rng);
      if (kind == 1) v = level(rng) * 85;
      if (kind == 2) v = std::min(255, std::max(0, blocks[static_cast<std::size_t>((y / 4) * (w / 4 + 1) + x / 4)] + small(rng)));
      if (kind == 3) v = (x % 7 == 3 && y % 7 == 3) ? any(rng) : 128 + small(rng) / 2;
      if (kind == 4) v = any(rng) < 128 ? 0 : 255;
      if (kind == 5) v = std::min(255, (3 * x + 2 * y) % 200 + any(rng) / 8);
      image.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))[0] = static_cast<std::uint8_t>(v);
    }
  }
  return image;
}

}  // namespace FeatureReference
