#pragma once
// Straightforward references for the image operations, transcribed from their formulas and
// written without the code under test: plain loops over a packed gray raster.
#include <cstdint>
#include <vector>

namespace ImageReference {

struct Gray {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> px;  // packed rows

  Gray(int w, int h, std::uint8_t value = 0) : width(w), height(h), px(static_cast<std::size_t>(w) * h, value) {}
  std::uint8_t at(int x, int y) const { return px[static_cast<std::size_t>(y) * width + x]; }
  std::uint8_t& at(int x, int y) { return px[static_cast<std::size_t>(y) * width + x]; }
};

/// Deterministic pseudo-random picture.
Gray randomGray(int width, int height, std::uint32_t seed);

Gray downsampleHalf(const Gray& s, int dw, int dh);
Gray downsampleTwoThirds(const Gray& s, int dw, int dh);
/// Per-pixel bilinear formula with running-sum positions; `channels` interleaved values per pixel.
std::vector<std::uint8_t> resizeBilinear(const std::vector<std::uint8_t>& src, int sw, int sh, int channels, int dw,
                                         int dh);

/// The floating-point blur into `dst` (which keeps its pixels outside the filtered area).
void blurFloat(const Gray& s, Gray& dst, int taps, double sigma);
/// The 16.16 fixed-point blur into `dst` (which keeps its outer rows).
void blurFixed(const Gray& s, Gray& dst, int taps, double sigma);

}  // namespace ImageReference
