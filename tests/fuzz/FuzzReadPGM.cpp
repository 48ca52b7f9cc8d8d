// A fuzzed file read by the PGM reader. A picture it returns has a positive size that the file
// can hold, and every one of its pixels can be read.
#include "FuzzSupport.h"

#include "Image/ImageIO.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  const std::string path = folder.write("input.pgm", data, size);
  const Lumetra::ImageGray image = Lumetra::readPGM(path);
  if (image.isEmpty()) return 0;
  FUZZ_CHECK(image.width > 0 && image.height > 0);
  FUZZ_CHECK(static_cast<std::uint64_t>(image.width) * image.height <= size);
  unsigned sum = 0;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint8_t*>(image.row(y));
    for (std::uint32_t x = 0; x < image.width; ++x) sum += row[x];
  }
  volatile unsigned sink = sum;
  (void)sink;
  return 0;
}
