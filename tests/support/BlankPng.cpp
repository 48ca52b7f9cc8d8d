#include "BlankPng.h"

#include <vector>

namespace TestSupport {

namespace {

std::uint32_t crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char byte : bytes) {
    crc ^= static_cast<std::uint8_t>(byte);
    for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

std::string bigEndian(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string chunk(const std::string& type, const std::string& data) {
  return bigEndian(static_cast<std::uint32_t>(data.size())) + type + data + bigEndian(crc32(type + data));
}

/// Deflate bits, least significant first; Huffman codes go in most significant bit first.
struct Bits {
  std::string bytes;
  int used = 8;
  void put(std::uint32_t code, int length) {
    for (int k = length - 1; k >= 0; --k) {
      if (used == 8) bytes += '\0', used = 0;
      bytes.back() = static_cast<char>(bytes.back() | ((code >> k & 1) << used++));
    }
  }
};

}  // namespace

std::string blankPng(std::uint32_t width, std::uint32_t height) {
  // Every byte of the filtered rows (the filter byte of each row too) is zero: a literal zero,
  // then copies of 258 bytes from one byte back (fixed Huffman codes), then zeros one by one.
  const std::uint64_t total = static_cast<std::uint64_t>(height) * (width + 1);
  Bits bits;
  bits.put(0b110, 3);  // the final block, fixed codes (its two type bits sent low bit first)
  bits.put(0b00110000, 8);
  std::uint64_t left = total - 1;
  for (; left >= 258; left -= 258) bits.put(0b11000101, 8), bits.put(0, 5);  // length 258, distance 1
  for (; left > 0; --left) bits.put(0b00110000, 8);
  bits.put(0, 7);  // end of block
  const std::uint32_t adler = static_cast<std::uint32_t>(total % 65521) << 16 | 1;
  const std::string header = bigEndian(width) + bigEndian(height) + std::string("\x08\x00\x00\x00\x00", 5);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
         chunk("IDAT", "\x78\x01" + bits.bytes + bigEndian(adler)) + chunk("IEND", "");
}

}  // namespace TestSupport
