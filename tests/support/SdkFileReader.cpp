#include "SdkFileReader.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/wait.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace testsupport {

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint64_t LittleEndianReader::unsignedValue(std::size_t byteCount) {
  if (remaining() < byteCount) {
    offset_ = bytes_.size();
    return 0;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < byteCount; ++i) value |= std::uint64_t(bytes_[offset_ + i]) << (8 * i);
  offset_ += byteCount;
  return value;
}

std::uint8_t LittleEndianReader::u8() { return static_cast<std::uint8_t>(unsignedValue(1)); }
std::uint32_t LittleEndianReader::u32() { return static_cast<std::uint32_t>(unsignedValue(4)); }
std::uint64_t LittleEndianReader::u64() { return unsignedValue(8); }
template <class To, class From>
static To sameBits(From bits) {
  To value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}
std::int32_t LittleEndianReader::i32() { return sameBits<std::int32_t>(u32()); }
float LittleEndianReader::f32() { return sameBits<float>(u32()); }
double LittleEndianReader::f64() { return sameBits<double>(u64()); }
std::vector<std::uint8_t> LittleEndianReader::bytes(std::size_t n) {
  if (remaining() < n) {
    offset_ = bytes_.size();
    return std::vector<std::uint8_t>(n, 0);
  }
  std::vector<std::uint8_t> out(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_),
                                bytes_.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
  offset_ += n;
  return out;
}

bool decodePng(const std::filesystem::path& path, DecodedPicture& picture) {
  const std::vector<std::uint8_t> file = readFileBytes(path);
  if (file.size() < 8) return false;
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width, &height, &channels, 1);
  if (pixels == nullptr) return false;
  picture.width = width;
  picture.height = height;
  picture.gray.assign(pixels, pixels + static_cast<std::size_t>(width) * height);
  stbi_image_free(pixels);
  return true;
}

std::string decodeWithZbar(const std::vector<std::uint8_t>& gray, int side, int pixelsPerModule,
                           const std::filesystem::path& scratch) {
  const int margin = 4 * pixelsPerModule;
  const int padded = side + 2 * margin;
  std::vector<std::uint8_t> canvas(static_cast<std::size_t>(padded) * padded, 255);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) canvas[(y + margin) * padded + (x + margin)] = gray[y * side + x];
  }
  const std::filesystem::path pgm = scratch / "decode.pgm";
  std::ofstream(pgm, std::ios::binary) << "P5\n" << padded << " " << padded << "\n255\n"
                                       << std::string(canvas.begin(), canvas.end());
  std::string text;
  FILE* pipe = ::popen(("zbarimg --raw -q '" + pgm.string() + "' 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return "";
  std::array<char, 256> buffer{};
  for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) text.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace testsupport
