#include "Image/CodecGuard.h"

#include <algorithm>
#include <climits>
#include <cstring>

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
  std::vector<Byte> scanned;  // the ids of the components that a scan has named
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
  state.scanned.clear();
  const std::size_t count = body + 5 < segmentEnd ? bytes[body + 5] : 0;
  for (std::size_t c = 0; c < count && body + 6 + 3 * c + 2 < segmentEnd; ++c) {
    state.frame.push_back({bytes[body + 6 + 3 * c], bytes[body + 6 + 3 * c + 2]});
  }
}

// A start-of-scan segment: component count, per component its id and table slots, then the
// spectral range and bits. False when a scanned component needs a table not defined yet. Notes
// the components it names.
bool scanIsSound(const Bytes& bytes, std::size_t body, std::size_t segmentEnd, JpegState& state) {
  const std::size_t count = bytes[body];
  for (std::size_t c = 0; c < count && body + 1 + 2 * c < segmentEnd; ++c) {
    state.scanned.push_back(bytes[body + 1 + 2 * c]);
  }
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
/// - cut off before its end-of-image marker: the codec would decode the blocks it lacks from zero
///   bits and refuse the file only at its end, after making room for the whole picture; asked for
///   the size alone, it would give it;
/// - a Huffman table whose 16 code counts add up to more than 256, or that runs past its segment:
///   the codec's table has room for 256 codes and it checks neither, so it writes past the table
///   over the rest of its decoder state;
/// - a scan that uses a Huffman table, or a frame component whose quantization table, is not
///   defined by then: the codec would decode with tables of zeros that the file never gave. (In a
///   progressive stream the coefficients are scaled after the last scan, so its quantization
///   tables only need to be there by the end.)
/// - a frame component that no scan names: the codec would make up all of its pixels.
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
        if (std::find(state.scanned.begin(), state.scanned.end(), c.id) == state.scanned.end()) return false;
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
///
/// Cut-off chunks: a chunk whose data run past the end of the file is refused, unless it is the
/// end chunk, whose length the codec never reads. The codec fails on such a file anyway, but for a
/// data chunk only after making room for the length it claims, up to 4 GiB, whatever the file's
/// size.
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
    if (length > bytes.size() - at - 8) {  // cut off (see above)
      if (type == 0x49454E44u) break;       // IEND: its length is not read
      return false;
    }
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

std::uint32_t readLittleEndian32(const Bytes& bytes, std::size_t at) {
  return bytes[at] | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 16) | (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

/// Pads the palette of a BMP of 1, 4 or 8 bits a pixel with black entries up to the number of
/// indices its pixels can hold; false for one whose pixel data would begin inside its headers.
///
/// The codec keeps the palette in a table of 256 entries on its stack and sets only as many as the
/// file has room for between its headers and its pixel data (the data offset minus the headers,
/// over the entry size): a pixel whose index lies past them would read whatever the stack held, so
/// the same file would decode to different pixels from run to run. The padding is inserted after
/// the file's palette and the data offset moved on by as much, so the pixels and the entries the
/// file has stay as they were. A data offset inside the headers would leave the whole table unset.
/// The headers are read as the codec reads them.
bool prepareBmp(Bytes& bytes) {
  if (bytes.size() < 30 || bytes[0] != 'B' || bytes[1] != 'M') return true;
  const std::int64_t offset = static_cast<std::int32_t>(readLittleEndian32(bytes, 10));
  const std::uint32_t headerSize = readLittleEndian32(bytes, 14);
  if (headerSize != 12 && headerSize != 40 && headerSize != 56 && headerSize != 108 && headerSize != 124) return true;
  const unsigned bits = headerSize == 12 ? bytes[24] | (bytes[25] << 8) : bytes[28] | (bytes[29] << 8);
  if (bits != 1 && bits != 4 && bits != 8) return true;  // no palette, or refused by the codec
  // The codec's own reckoning of the entries: a core header's is 12 bytes short.
  const std::int64_t entrySize = headerSize == 12 ? 3 : 4;
  const std::int64_t room = offset - 14 - (headerSize == 12 ? 24 : headerSize);
  if (room < 0) return false;
  const std::int64_t entries = room / entrySize;
  const std::int64_t paletteEnd = 14 + headerSize + entries * entrySize;
  const std::int64_t wanted = std::int64_t{1} << bits;
  if (entries == 0 || entries >= wanted || paletteEnd > static_cast<std::int64_t>(bytes.size())) return true;
  const std::int64_t added = (wanted - entries) * entrySize;
  bytes.insert(bytes.begin() + paletteEnd, static_cast<std::size_t>(added), 0);
  const std::uint32_t moved = static_cast<std::uint32_t>(offset + added);
  for (int k = 0; k < 4; ++k) bytes[10 + k] = static_cast<Byte>(moved >> (8 * k));
  return true;
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

}  // namespace

bool prepareForCodec(Bytes& bytes) {
  // An empty file is no picture; refusing it also keeps the codec from being handed the null
  // buffer of an empty vector, which its pointer arithmetic does not allow.
  if (bytes.empty()) return false;
  return jpegIsSound(bytes) && pnmIsSound(bytes) && prepareBmp(bytes) && preparePng(bytes) &&
         bytes.size() <= static_cast<std::size_t>(INT_MAX);
}

}  // namespace Lumetra
