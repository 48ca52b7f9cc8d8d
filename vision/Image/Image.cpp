#include "Image/Image.h"

namespace Lumetra {

ImageRGB convertGrayToRGB(const ImageGray& gray) {
  ImageRGB rgb;
  rgb.create(Vec2u(gray.width, gray.height));
  const std::int32_t count = static_cast<std::int32_t>(gray.width * gray.height);
  if (count < 1 || gray.data == nullptr) return rgb;
  const uchar* src = gray.values();
  RGB8* dst = rgb.data;
  for (std::int32_t i = 0; i < count; ++i) {
    dst[i] = RGB8{{src[i], src[i], src[i]}};
  }
  return rgb;
}

}  // namespace Lumetra
