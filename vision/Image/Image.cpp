#include "Image/Image.h"

namespace Lumetra {

ImageRGB convertGrayToRGB(const ImageGray& gray) {
  ImageRGB rgb;
  rgb.create(Vec2u(gray.width, gray.height));
  const std::int32_t count = static_cast<std::int32_t>(gray.width * gray.height);
  if (count < 1 || gray.data == nullptr) return rgb;
  // Rows are walked with the source's stride, so a view converts as correctly as a whole image.
  for (std::uint32_t y = 0; y < gray.height; ++y) {
    const Gray8* src = gray.row(y);
    RGB8* dst = rgb.row(y);
    for (std::uint32_t x = 0; x < gray.width; ++x) {
      const uchar v = src[x][0];
      dst[x] = RGB8{{v, v, v}};
    }
  }
  return rgb;
}

}  // namespace Lumetra
