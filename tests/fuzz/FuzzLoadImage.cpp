// A fuzzed file loaded as a training picture through the codec (the path does not end in ".pgm").
// Beyond the sanitizers' checks: loading the same file twice gives the same picture, so no pixel
// comes from memory that the decoder never wrote.
#include "FuzzSupport.h"

#include "Image/CodecGuard.h"
#include "Image/ImageIO.h"
#include "Image/PictureCodec.h"

#include <vector>

namespace {

// Larger pictures are legal, but decoding hundreds of megapixels per input would only slow the
// search down (and trip the fuzzer's memory limit); the size checks themselves are covered by the
// test suite.
constexpr long long kMaxPixels = 1 << 22;

/// True when the codec would be asked for a picture of more than kMaxPixels. The codec is asked for
/// the size only after the loader's own checks, exactly as the loader asks it.
bool tooLarge(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  if (!Lumetra::prepareForCodec(bytes)) return false;
  int w = 0, h = 0, n = 0;
  return pictureCodecInfo(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n) != 0 &&
         static_cast<long long>(w) * h > kMaxPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  if (size > 0x7fffffff || tooLarge(data, size)) return 0;
  const std::string path = folder.write("input.img", data, size);
  FuzzSupport::scribble(0x11);
  const Lumetra::ImageGray first = Lumetra::loadImage(path, false);
  FuzzSupport::scribble(0xE7);
  const Lumetra::ImageGray second = Lumetra::loadImage(path, false);

  // The same file always gives the same picture.
  FUZZ_CHECK(first.isEmpty() == second.isEmpty());
  if (first.isEmpty()) return 0;
  FUZZ_CHECK(size > 0);
  FUZZ_CHECK(first.width == second.width && first.height == second.height);
  FUZZ_CHECK(static_cast<long long>(first.width) * first.height <= 0x7fffffff);
  for (std::uint32_t y = 0; y < first.height; ++y) {
    FUZZ_CHECK(std::memcmp(first.row(y), second.row(y), first.width) == 0);
  }
  return 0;
}
