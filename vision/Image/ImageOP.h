#pragma once
// Operations on images: resizing (with exact fast paths for 1/2, 2/3 and 3/4 of the source
// size), multi-scale pyramids and blending. Every result is defined to the last bit: pyramid
// levels feed the corner detector, so the SIMD paths give exactly the scalar formulas' values.
#include "Image/GaussianBlur.h"
#include "Image/Image.h"

#include <cstdint>
#include <vector>

namespace Lumetra {

/// A multi-scale pyramid of 8-bit gray levels, level 0 first.
struct ImagePyramid {
  ImagePyramid() = default;
  ImagePyramid(std::uint8_t levelCount, double levelRatio) : numLevels(levelCount), ratio(levelRatio) {}

  std::uint8_t numLevels = 0;
  double ratio = 0.0;                 ///< size ratio from one level to the next
  std::vector<ImageGray> levels;      ///< level 0 shares the storage of the (blurred) source
  std::vector<double> scales;         ///< ratio^L: level-0 coordinates into level L
  std::vector<double> inverseScales;  ///< (1/ratio)^L: level-L coordinates into level 0
  FilterWorkspace workspace;          ///< blur intermediates kept between fills

  /// Refills the record from the image: the scale lists, then the levels from the image itself
  /// or, with `blur`, from a copy smoothed by gaussianBlur (kernel size, sigma, fixed point) with
  /// this record's workspace. Returns the result of BuildImagePyramid.
  bool build(const ImageGray& image, bool blur, std::int32_t kernelSize, double sigma, std::uint8_t useFixedPoint);
};

/// Resizes `src` into `dst`, which already has the wanted size (nothing is allocated). The size
/// relation picks the operation: dst = src * 50 / 100 in both directions takes downsampleHalf,
/// else * 66 / 100 downsampleTwoThirds, else * 75 / 100 downsampleThreeQuarters, otherwise
/// resizeBilinear. False when either image is empty or the operation fails.
bool resizeImage(const ImageGray& src, ImageGray& dst);

/// Bilinear interpolation at source positions that advance by src/dst size per destination
/// pixel (running sums from 0), truncated; neighbours past the last column or row repeat it.
bool resizeBilinear(const ImageGray& src, ImageGray& dst);
bool resizeBilinear(const ImageRGB& src, ImageRGB& dst);

/// Truncated mean of each 2 x 2 block. False when the destination is empty or larger than half
/// of the source in either direction.
bool downsampleHalf(const ImageGray& src, ImageGray& dst);

/// Reduction to about 2/3: destination index i reads source indices c(i) = (3i + 1) / 2 and
/// c(i + 1) (limited to the last one) with weights 1, 2, 2, 4 and divides by 9 in 16-bit fixed
/// point. False when the source has fewer than 3 rows or the destination needs source pixels
/// the source does not have.
bool downsampleTwoThirds(const ImageGray& src, ImageGray& dst);

/// The 3/4 reduction: resizeBilinear after the emptiness checks.
bool downsampleThreeQuarters(const ImageGray& src, ImageGray& dst);

/// Appends `numLevels` levels to `levels`: `src` itself (sharing its storage), then each level
/// trunc(previous size * ratio) made with resizeImage. False on an empty source, on a level
/// narrower or lower than 5 pixels, or when a reduction fails; the levels made so far stay.
bool BuildImagePyramid(const ImageGray& src, std::vector<ImageGray>& levels, std::uint8_t numLevels, double ratio);

/// b * (1 - t) + a * t per channel, saturated at 255 and truncated, as a new image of a's size.
/// Gives a zero image of a's size when a or b is empty, their sizes differ or t > 1.
ImageRGB blendImages(const ImageRGB& a, const ImageRGB& b, double t);

}  // namespace Lumetra
