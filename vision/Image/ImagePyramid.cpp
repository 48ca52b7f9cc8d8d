#include "Image/ImageOP.h"

namespace Lumetra {

bool ImagePyramid::build(const ImageGray& image, bool blur, std::int32_t kernelSize, double sigma,
                         std::uint8_t useFixedPoint) {
  levels.clear();
  scales.clear();
  inverseScales.clear();
  double scale = 1.0;
  double inverse = 1.0;
  for (std::uint32_t level = 0; level < numLevels; ++level) {
    if (level > 0) {
      scale = ratio * scale;
      inverse = inverse / ratio;
    }
    scales.push_back(scale);
    inverseScales.push_back(inverse);
  }
  if (!blur) return BuildImagePyramid(image, levels, numLevels, ratio);
  ImageGray blurred;
  gaussianBlur(image, blurred, kernelSize, sigma, useFixedPoint, FilterWorkspaceRef(&workspace, 1));
  return BuildImagePyramid(blurred, levels, numLevels, ratio);
}

}  // namespace Lumetra
