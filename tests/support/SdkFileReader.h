#pragma once
// Independent readers for the files that the SDK writes: a little-endian byte reader for the
// binary target files, a PNG decoder and a binary PGM writer for handing pictures to other tools.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

/// The whole file as bytes (empty when it cannot be read).
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);

/// Reads little-endian values one after another from a byte buffer; past the end it yields zeros.
class LittleEndianReader {
 public:
  explicit LittleEndianReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::uint8_t u8();
  std::int32_t i32();
  std::uint32_t u32();
  std::uint64_t u64();
  float f32();
  double f64();
  std::vector<std::uint8_t> bytes(std::size_t n);

  std::size_t offset() const { return offset_; }
  std::size_t size() const { return bytes_.size(); }
  std::size_t remaining() const { return offset_ <= bytes_.size() ? bytes_.size() - offset_ : 0; }

 private:
  std::uint64_t unsignedValue(std::size_t byteCount);

  std::vector<std::uint8_t> bytes_;
  std::size_t offset_ = 0;
};

struct DecodedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> gray;  ///< one byte per pixel (the file's gray or its first channel)
};

/// Decodes a PNG file; false when it cannot.
bool decodePng(const std::filesystem::path& path, DecodedPicture& picture);

/// Decodes a square gray picture of a QR code with zbarimg (through a PGM file) after giving it a white quiet zone of
/// four modules; returns the decoded text without its line break (empty when nothing decodes).
std::string decodeWithZbar(const std::vector<std::uint8_t>& gray, int side, int pixelsPerModule,
                           const std::filesystem::path& scratch);

}  // namespace testsupport
