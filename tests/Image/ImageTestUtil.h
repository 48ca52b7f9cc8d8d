#pragma once
// Helpers shared by the image tests: conversions to the reference raster, pictures laid into a
// wider storage (views whose stride exceeds their width), random colour pictures, and the SIMD
// levels to run.
#include "SimdLevels.h"
#include "Core/CpuFeatures.h"
#include "Image/Image.h"
#include "ImageReference.h"

#include <algorithm>
#include <vector>

namespace ImageTest {

inline ImageReference::Gray toReference(const Lumetra::ImageGray& img) {
  ImageReference::Gray g(static_cast<int>(img.width), static_cast<int>(img.height));
  for (std::uint32_t y = 0; y < img.height; ++y)
    for (std::uint32_t x = 0; x < img.width; ++x) g.at(static_cast<int>(x), static_cast<int>(y)) = img.at(x, y)[0];
  return g;
}

/// A picture holding `g`; with `margin` > 0 it is a view inside a larger storage whose stride
/// exceeds its width (the margins hold 0xAB).
inline Lumetra::ImageGray fromReference(const ImageReference::Gray& g, std::uint32_t margin = 0) {
  using namespace Lumetra;
  ImageGray whole(Vec2u(g.width + 2 * margin, g.height + 2 * margin), Gray8{{0xAB}});
  ImageGray img = margin == 0 ? whole : whole.region(Vec2i(margin, margin), Vec2u(g.width, g.height));
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x) img.at(x, y)[0] = g.at(x, y);
  return img;
}

/// A deterministic pseudo-random colour picture.
inline Lumetra::ImageRGB randomRGB(int w, int h, std::uint32_t seed) {
  const auto raw = ImageReference::randomGray(3 * w, h, seed);
  Lumetra::ImageRGB img;
  img.create(Lumetra::Vec2u(w, h));
  std::copy(raw.px.begin(), raw.px.end(), img.values());
  return img;
}

/// A destination of the size, as a whole image or as a view with margins.
inline Lumetra::ImageGray destination(int w, int h, std::uint32_t margin, std::uint8_t value = 0) {
  return fromReference(ImageReference::Gray(w, h, value), margin);
}

using TestSupport::availableLevels;
using TestSupport::levelName;

/// Sizes that exercise every tail of the SIMD steps (8, 16, 20, 30, 32 pixels).
inline std::vector<int> testWidths() {
  return {1, 2, 3, 4, 5, 7, 8, 9, 13, 15, 16, 17, 20, 21, 29, 30, 31, 32, 33, 40, 45, 47, 63, 64, 65, 97, 130, 257};
}

}  // namespace ImageTest
