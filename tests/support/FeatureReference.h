#pragma once
// Independent references for the feature module's tests: a brute-force FAST-9 segment test
// and score, brute-force suppression, the oriented binary descriptor computed straight from
// its formulas, and random test pictures.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Image/Image.h"

namespace FeatureReference {

struct RefCorner {
  int x;
  int y;
  int score;
  bool operator==(const RefCorner& o) const { return x == o.x && y == o.y && score == o.score; }
};

/// A plain 8-bit gray picture, rows `rowBytes` apart, width x height pixels visible.
struct GrayView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int rowBytes = 0;
  int at(int x, int y) const { return data[static_cast<std::ptrdiff_t>(y) * rowBytes + x]; }
};

GrayView viewOf(const Lumetra::ImageGray& image);

/// The segment test at threshold t, checking all 16 arcs of 9 with strict comparisons and
/// the 8-bit saturation of c + t and c - t. (x, y) must be at least 3 pixels from the edge.
bool isCorner(const GrayView& image, int x, int y, int t);

/// One more than the highest threshold in [0, 255] at which the pixel is a corner, or 0
/// when it is no corner even at threshold 0.
int cornerScore(const GrayView& image, int x, int y);

/// Every corner at t in the scan area [3, width - 3) x [3, height - 3), in row order; with
/// `suppress` only those whose score beats the scores of all eight neighbours (0 for
/// non-corners), and carrying their scores; without, with score 0.
std::vector<RefCorner> detect(const GrayView& image, int t, bool suppress);

/// The learned 256-pair pattern as read from a text file of "ax ay bx by" lines ('#' starts
/// a comment line). Empty when the file cannot be read.
std::vector<std::array<int, 4>> readPatternFile(const std::string& path);

/// The descriptor of (px, py) from the formulas: intensity-centroid orientation over the
/// radius-15 patch, the single-precision arctangent approximation, then either the
/// whole-degree rotation (`wholeDegrees`, products in single precision, the 0.5 added in
/// double precision) or the exact rotation (all single precision), then the 256 tests.
std::array<std::uint8_t, 32> descriptor(const GrayView& image, int px, int py,
                                        const std::vector<std::array<int, 4>>& pattern, bool wholeDegrees);

/// Orientation of the patch at (px, py) from the formulas, in (-pi, pi].
float orientation(const GrayView& image, int px, int py);

/// A random picture of a kind: 0 uniform noise; 1 the levels 0, 85, 170 and 255 (equal values,
/// saturated extremes); 2 4-pixel blocks with a little noise (plateaus); 3 random centres every 7
/// pixels on a flat ground; 4 only 0 and 255 (largest moments); 5 smooth ramps with noise.
Lumetra::ImageGray randomPicture(int w, int h, unsigned seed, int kind);

}  // namespace FeatureReference
