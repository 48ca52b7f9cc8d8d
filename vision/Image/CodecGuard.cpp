#include "Image/CodecGuard.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Lumetra {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Byte = std::uint8_t;

// The tables and frame a JPEG walk has met so far.
struct JpegState {
  struct Component {
    Byte id;
    Byte table;
  };
  bool quantization[4] = {false, false, false, false};
  bool huffman[2][4] = {{false, false, false, false}, {false, false, false, false}};  // DC, AC
  std::vector<Component> frame;
  bool progressive = false;
};

// A Huffman segment: one or more tables, each its class and slot, 16 code counts, then as many
// symbol values. False for more than 256 codes or a table that runs past the segment.
bool readHuffmanTables(const Bytes& bytes, std::size_t body, std::size_t segmentEnd, JpegState& state) {
  std::size_t p = body;
  while (p < segmentEnd) {
    if (p + 17 > segmentEnd) return false;
    std::size_t codes = 0;
    for (std::size_t k = 1; k <= 16; ++k) codes += bytes[p + k];
    if (codes > 256) return false;
    if ((bytes[p] >> 4) < 2 && (bytes[p] & 15) < 4) state.huffman[bytes[p] >> 4][bytes[p] & 15] = true;
    p += 17 + codes;
    if (p > segmentEnd) return false;
  }
  return true;
}

// A quantization segment: one or more tables, each its precision and slot, then 64 values of 8 or
// 16 bits. A table cut short ends the segment (the codec refuses it).
void readQuantizationTables(const Bytes& bytes, std::size_t body, std::size_t segmentEnd, JpegState& state) {
  for (std::size_t p = body; p < segmentEnd;) {
    const std::size_t size = 1 + ((bytes[p] >> 4) != 0 ? 128 : 64);
    if (p + size > segmentEnd) break;
    if ((bytes[p] & 15) < 4) state.quantization[bytes[p] & 15] = true;
    p += size;
  }
}

// A start-of-frame segment: precision, height, width, component count, then per component its id,
// sampling and quantization slot.
void readFrame(const Bytes& bytes, std::size_t body, std::size_t segmentEnd, Byte marker, JpegState& state) {
  state.progressive = marker == 0xC2;
  state.frame.clear();
  const std::size_t count = body + 5 < segmentEnd ? bytes[body + 5] : 0;
  for (std::size_t c = 0; c < count && body + 6 + 3 * c + 2 < segmentEnd; ++c) {
    state.frame.push_back({bytes[body + 6 + 3 * c], bytes[body + 6 + 3 * c + 2]});
  }
}

// A start-of-scan segment: component count, per component its id and table slots, then the
// spectral range and bits. False when a scanned component needs a table not defined yet.
bool scanIsSound(const Bytes& bytes, std::size_t body, std::size_t segmentEnd, const JpegState& state) {
  const std::size_t count = bytes[body];
  const std::size_t tail = body + 1 + 2 * count;
  if (tail + 2 >= segmentEnd) return true;
  const bool dcScan = bytes[tail] == 0;
  const bool dcRefinement = dcScan && (bytes[tail + 2] >> 4) != 0;
  for (std::size_t c = 0; c < count; ++c) {
    const Byte id = bytes[body + 1 + 2 * c];
    const Byte dc = bytes[body + 2 + 2 * c] >> 4;
    const Byte ac = bytes[body + 2 + 2 * c] & 15;
    const auto it = std::find_if(state.frame.begin(), state.frame.end(),
                                 [id](const JpegState::Component& k) { return k.id == id; });
    if (it == state.frame.end() || dc > 3 || ac > 3) continue;  // the codec refuses the scan
    if (!state.progressive) {
      if (!state.huffman[0][dc] || !state.huffman[1][ac] || it->table > 3 || !state.quantization[it->table]) {
        return false;
      }
    } else if (dcScan ? (!dcRefinement && !state.huffman[0][dc]) : !state.huffman[1][ac]) {
      return false;
    }
  }
  return true;
}

// Where the entropy-coded data that start at `i` end: at the next 0xFF followed neither by 0x00 (a
// stuffed byte) nor by a restart marker.
std::size_t entropyCodedEnd(const Bytes& bytes, std::size_t i) {
  const std::size_t n = bytes.size();
  while (i + 1 < n && !(bytes[i] == 0xFF && bytes[i + 1] != 0x00 && !(bytes[i + 1] >= 0xD0 && bytes[i + 1] <= 0xD7))) {
    ++i;
  }
  return i;
}

/// False for a JPEG stream that the codec must not decode:
///
/// - cut off before its end-of-image marker: the codec would make up the missing part;
/// - a Huffman table whose 16 code counts add up to more than 256, or that runs past its segment:
///   the codec's table has room for 256 codes and it checks neither, so it writes past the table
///   over the rest of its decoder state;
/// - a scan that uses a Huffman table, or a frame component whose quantization table, is not
///   defined by then: the codec's tables start out as unset memory, so the pixels would come from
///   whatever the heap held. (In a progressive stream the coefficients are scaled after the last
///   scan, so its quantization tables only need to be there by the end.)
///
/// None of these is valid JPEG. The segments are walked the way the codec reads them: bytes before
/// a marker are skipped, fill bytes (0xFF) before a marker code are skipped, and after a
/// start-of-scan segment the entropy-coded data run up to the next 0xFF that is followed neither by
/// 0x00 (a stuffed byte) nor by a restart marker. Anything that does not begin with 0xFF... 0xD8 is
/// not a JPEG for the codec and is left to it; segments the codec refuses for other reasons are
/// left to it too.
bool jpegIsSound(const Bytes& bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  if (n == 0 || bytes[0] != 0xFF) return true;
  while (i < n && bytes[i] == 0xFF) ++i;
  if (i >= n || bytes[i] != 0xD8) return true;  // not a JPEG
  ++i;
  JpegState state;
  for (;;) {
    while (i < n && bytes[i] != 0xFF) ++i;
    while (i < n && bytes[i] == 0xFF) ++i;
    if (i >= n) return false;  // no end-of-image marker
    const Byte marker = bytes[i++];
    if (marker == 0xD9) {
      for (const JpegState::Component& c : state.frame) {
        if (c.table > 3 || !state.quantization[c.table]) return false;
      }
      return true;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x00) continue;
    if (i + 2 > n) return false;
    const std::size_t length = (static_cast<std::size_t>(bytes[i]) << 8) | bytes[i + 1];
    if (length < 2 || i + length > n) return false;
    const std::size_t segmentEnd = i + length;
    const std::size_t body = i + 2;
    if (marker == 0xC4) {
      if (!readHuffmanTables(bytes, body, segmentEnd, state)) return false;
    } else if (marker == 0xDB) {
      readQuantizationTables(bytes, body, segmentEnd, state);
    } else if (marker >= 0xC0 && marker <= 0xC2) {
      readFrame(bytes, body, segmentEnd, marker, state);
    } else if (marker == 0xDA && body < segmentEnd && !scanIsSound(bytes, body, segmentEnd, state)) {
      return false;
    }
    i = marker == 0xDA ? entropyCodedEnd(bytes, segmentEnd) : segmentEnd;
  }
}

std::uint32_t readBigEndian32(const Bytes& bytes, std::size_t at) {
  return (static_cast<std::uint32_t>(bytes[at]) << 24) | (static_cast<std::uint32_t>(bytes[at + 1]) << 16) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 8) | bytes[at + 3];
}

void appendBigEndian32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<Byte>(value >> shift));
}

std::uint32_t pngChunkCrc(const Byte* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

/// Rewrites the chunks of a PNG that the codec would read into undefined results; false for a file
/// to refuse. Other files are left as they are.
///
/// Palettes:
/// The codec looks each pixel's index up in a table of 256 entries of which only those that the
/// file's palette defines are set: an index past the palette reads whatever the stack held, so the
/// same file would decode to different pixels from run to run. Such indices are not valid PNG, but
/// the codec does not refuse them. Each palette chunk of a palette picture is therefore padded
/// here to 256 entries (black) before the codec reads the file. A transparency chunk with more
/// entries than the palette as written, which the codec refuses, is refused here, since the padded
/// palette would no longer show it.
///
/// Empty data chunks: the codec does pointer arithmetic on its still missing data buffer for an
/// IDAT chunk of length 0 that comes first (undefined behaviour). Such a chunk holds nothing, so
/// every empty IDAT chunk is dropped.
bool preparePng(Bytes& bytes) {
  static const Byte kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return true;
  Bytes out(bytes.begin(), bytes.begin() + 8);
  bool palettePicture = false;
  bool changed = false;
  bool padded = false;
  std::uint32_t paletteEntries = 0;
  std::size_t at = 8;
  while (at + 8 <= bytes.size()) {
    const std::uint32_t length = readBigEndian32(bytes, at);
    const std::uint32_t type = readBigEndian32(bytes, at + 4);
    if (length > bytes.size() - at - 8) break;  // cut off: the rest is copied as it is
    const Byte* data = bytes.data() + at + 8;
    const std::size_t chunkEnd = std::min(bytes.size(), at + 12 + static_cast<std::size_t>(length));
    if (type == 0x49484452u && length >= 10) palettePicture = data[9] == 3;  // IHDR, colour type 3
    if (type == 0x504C5445u && palettePicture && length > 0 && length < 768 && length % 3 == 0) {  // PLTE
      paletteEntries = length / 3;
      Bytes chunk = {'P', 'L', 'T', 'E'};
      chunk.insert(chunk.end(), data, data + length);
      chunk.resize(4 + 768, 0);
      appendBigEndian32(out, 768);
      out.insert(out.end(), chunk.begin(), chunk.end());
      appendBigEndian32(out, pngChunkCrc(chunk.data(), chunk.size()));
      changed = true;
      padded = true;
      at = chunkEnd;
      continue;
    }
    if (type == 0x74524E53u && padded && length > paletteEntries) return false;  // tRNS
    if (type == 0x49444154u && length == 0) {  // IDAT
      changed = true;
      at = chunkEnd;
      continue;
    }
    out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(chunkEnd));
    at = chunkEnd;
    if (type == 0x49454E44u) break;  // IEND
  }
  if (!changed) return true;
  out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at, bytes.size())), bytes.end());
  bytes.swap(out);
  return true;
}

/// False for an uncompressed TGA whose pixel data end before width x height pixels.
///
/// The codec reads the rows of an uncompressed, unmapped TGA one at a time and ignores a row it
/// cannot read in full: that row and every later one keep whatever the heap held, so the picture
/// would differ from run to run. Every other format the codec reads begins with a signature whose
/// second byte is neither 0 nor 1, while a TGA's second byte is its colour-map type (0 or 1), so
/// that byte tells which files the codec reads as TGA. Run-length, colour-mapped and 15- or 16-bit
/// colour TGAs are read pixel by pixel, and missing bytes read as zeros; those are left alone.
bool tgaIsComplete(const Bytes& bytes) {
  if (bytes.size() < 18 || bytes[1] != 0) return true;
  const unsigned type = bytes[2];
  const unsigned bits = bytes[16];
  if (type >= 8) return true;  // run-length encoded
  unsigned components = 0;
  if (bits == 8) components = 1;
  if (bits == 16 && type == 3) components = 2;
  if (bits == 24 || bits == 32) components = bits / 8;
  if (components == 0) return true;  // read pixel by pixel, or refused by the codec
  const std::uint64_t width = bytes[12] | (static_cast<std::uint32_t>(bytes[13]) << 8);
  const std::uint64_t height = bytes[14] | (static_cast<std::uint32_t>(bytes[15]) << 8);
  return bytes.size() >= 18 + bytes[0] + width * height * components;
}

/// False for a binary PNM (P5, P6) that the codec must not read:
///
/// - a width, height or maximum value with more digits than an int holds: the codec adds the
///   digits up in an int without a check (undefined behaviour);
/// - pixel data shorter than width x height samples: the codec ignores the failed read and returns
///   pixels that it never wrote.
///
/// The header is read as the codec reads it: blanks and "#" comments (to the end of the line)
/// before each number, and the one character after the maximum value, whatever it is, ends the
/// header.
bool pnmIsSound(const Bytes& bytes) {
  if (bytes.size() < 2 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6')) return true;
  const auto isBlank = [](std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::size_t i = 2;
  std::uint64_t numbers[3] = {0, 0, 0};
  for (std::uint64_t& value : numbers) {
    for (;;) {
      while (i < bytes.size() && isBlank(bytes[i])) ++i;
      if (i >= bytes.size() || bytes[i] != '#') break;
      while (i < bytes.size() && bytes[i] != '\n' && bytes[i] != '\r') ++i;
    }
    for (; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
      value = value * 10 + (bytes[i] - '0');
      if (value > INT_MAX) return false;
    }
  }
  const std::uint64_t samples = numbers[0] * numbers[1] * (bytes[1] == '6' ? 3 : 1) * (numbers[2] > 255 ? 2 : 1);
  return bytes.size() >= i + 1 + samples;
}

/// False for a Radiance HDR file that the codec would decode into unset pixels or never finish:
///
/// - flat (not run-length) pixel data shorter than width x height pixels: the codec ignores the
///   failed read and keeps whatever the stack held for the missing pixels;
/// - a run-length scanline with a literal count of 0: the codec loops on it for ever.
///
/// The header and the scanlines are read the way the codec reads them (bytes past the end read as
/// 0); files that the codec refuses for other reasons are left to it.
bool hdrIsSound(const Bytes& bytes) {
  const auto startsWith = [&bytes](const char* text) {
    const std::size_t length = std::strlen(text);
    return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
  };
  if (!startsWith("#?RADIANCE\n") && !startsWith("#?RGBE\n")) return true;
  const std::size_t n = bytes.size();
  std::size_t pos = 0;
  const auto get8 = [&]() -> Byte { return pos < n ? bytes[pos++] : 0; };
  // One header line, at most 1023 characters kept.
  const auto token = [&]() {
    std::string text;
    char c = static_cast<char>(get8());
    while (pos < n && c != '\n') {
      text += c;
      if (text.size() == 1023) {
        while (pos < n && get8() != '\n') {
        }
        break;
      }
      c = static_cast<char>(get8());
    }
    return text;
  };
  token();  // the signature
  bool valid = false;
  for (std::string line = token(); !line.empty(); line = token()) valid = valid || line == "FORMAT=32-bit_rle_rgbe";
  if (!valid) return true;
  const std::string size = token();
  if (size.compare(0, 3, "-Y ") != 0) return true;
  char* end = nullptr;
  const long height = std::strtol(size.c_str() + 3, &end, 10);
  while (*end == ' ') ++end;
  if (std::strncmp(end, "+X ", 3) != 0) return true;
  const long width = std::strtol(end + 3, nullptr, 10);
  if (width <= 0 || height <= 0 || width > (1 << 24) || height > (1 << 24)) return true;
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);

  if (width < 8 || width >= 32768) return n - pos >= pixels * 4;
  for (long row = 0; row < height; ++row) {
    const Byte c1 = get8(), c2 = get8(), high = get8();
    if (c1 != 2 || c2 != 2 || (high & 0x80) != 0) {
      // Not run-length after all: this pixel's last byte, then every other pixel flat.
      return pos + 1 + (pixels - 1) * 4 <= n;
    }
    if (((static_cast<long>(high) << 8) | get8()) != width) return true;
    for (int channel = 0; channel < 4; ++channel) {
      for (long i = 0; i < width;) {
        long count = get8();
        if (count > 128) {
          count -= 128;
          get8();
        } else if (count == 0) {
          return false;
        } else {
          pos = std::min(n, pos + static_cast<std::size_t>(count));
        }
        if (count > width - i) return true;
        i += count;
      }
    }
  }
  return true;
}

}  // namespace

bool prepareForCodec(Bytes& bytes) {
  // An empty file is no picture; refusing it also keeps the codec from being handed the null
  // buffer of an empty vector, which its pointer arithmetic does not allow.
  if (bytes.empty()) return false;
  return jpegIsSound(bytes) && tgaIsComplete(bytes) && pnmIsSound(bytes) && hdrIsSound(bytes) && preparePng(bytes) &&
         bytes.size() <= static_cast<std::size_t>(INT_MAX);
}

}  // namespace Lumetra
