#include "Image/ImageIO.h"

#include "Core/Log.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace Lumetra {

namespace {

// Longest header line of a PGM file, without its line feed.
constexpr std::size_t kMaxHeaderLine = 254;

/// Closes the file on every path.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
};

enum class LineStatus { Ok, TooLong };

/// Reads one line (up to a line feed or the end of the file) without the line feed.
LineStatus readLine(std::FILE* file, std::string& line) {
  line.clear();
  for (;;) {
    const int c = std::fgetc(file);
    if (c == EOF || c == '\n') return LineStatus::Ok;
    if (line.size() == kMaxHeaderLine) return LineStatus::TooLong;
    line.push_back(static_cast<char>(c));
  }
}

bool endsWith(const std::string& path, const char* ending) {
  const std::size_t n = std::strlen(ending);
  return path.size() >= n && path.compare(path.size() - n, n, ending) == 0;
}

/// A file being written under a temporary name in the target's folder; `commit` moves it into
/// place, otherwise the destructor removes it, so a failed write leaves no partial file.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) : target_(target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      std::string name = target + ".part" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
      // Created exclusively, with the permissions the process's mask allows any new file.
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        path_ = std::move(name);
      } else if (errno != EEXIST) {
        break;
      }
    }
  }
  ~TemporaryFile() {
    if (!path_.empty() && !committed_) std::remove(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool valid() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  bool commit() {
    if (std::rename(path_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string target_;
  std::string path_;
  bool committed_ = false;
};

bool writePGMFile(const ImageGray& image, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fprintf(file, "P5\n") >= 0 && std::fflush(file) == 0;
  ok = ok && std::fprintf(file, "%u %u\n", image.width, image.height) >= 0 && std::fflush(file) == 0;
  ok = ok && std::fprintf(file, "255\n") >= 0 && std::fflush(file) == 0;
  // Rows are taken with the image's stride, so a view is written as its own pixels.
  for (std::uint32_t y = 0; ok && y < image.height; ++y) {
    ok = std::fwrite(image.row(y), 1, image.width, file) == image.width;
  }
  return (std::fclose(file) == 0) && ok;
}

/// The pixels as packed rows: the image's own storage when its rows are contiguous, otherwise a
/// packed copy in `packed`.
template <typename PixelT>
const void* packedPixels(const Image<PixelT>& image, std::vector<PixelT>& packed) {
  if (static_cast<std::uint32_t>(image.stride) == image.width) return image.data;
  packed.resize(static_cast<std::size_t>(image.width) * image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    std::copy(image.row(y), image.row(y) + image.width, packed.begin() + static_cast<std::ptrdiff_t>(y) * image.width);
  }
  return packed.data();
}

template <typename PixelT>
bool saveWithCodec(const Image<PixelT>& image, const std::string& path, std::uint8_t flipOnWrite,
                   std::uint32_t quality) {
  constexpr int components = PixelT::kChannels;
  if (image.isEmpty()) return false;
  stbi_flip_vertically_on_write(flipOnWrite);

  enum class Format { Png, Bmp, Jpg, Pgm, None } format = Format::None;
  if (endsWith(path, ".png") || endsWith(path, ".PNG")) {
    format = Format::Png;
  } else if (endsWith(path, ".bmp") || endsWith(path, ".BMP")) {
    format = Format::Bmp;
  } else if (endsWith(path, ".jpg") || endsWith(path, ".JPG")) {
    format = Format::Jpg;
  } else if (components == 1 && (endsWith(path, ".pgm") || endsWith(path, ".PGM"))) {
    format = Format::Pgm;
  }
  if (format == Format::None) {
    LUMETRA_LOG_ERROR("It is not supported image type. {}", path);
    return false;
  }
  if (format == Format::Pgm) {
    if constexpr (components == 1) return savePGM(image, path);
    return false;
  }
  if (image.width > static_cast<std::uint32_t>(INT_MAX) || image.height > static_cast<std::uint32_t>(INT_MAX)) {
    return false;
  }
  const int w = static_cast<int>(image.width);
  const int h = static_cast<int>(image.height);
  TemporaryFile temporary(path);
  if (!temporary.valid()) return false;
  int written = 0;
  try {
    std::vector<PixelT> packed;
    switch (format) {
      case Format::Png:
        // The row stride in bytes lets the codec write a view as it stands.
        written = stbi_write_png(temporary.path().c_str(), w, h, components, image.data,
                                 image.stride * static_cast<int>(sizeof(PixelT)));
        break;
      case Format::Bmp:
        written = stbi_write_bmp(temporary.path().c_str(), w, h, components, packedPixels(image, packed));
        break;
      case Format::Jpg:
        written = stbi_write_jpg(temporary.path().c_str(), w, h, components, packedPixels(image, packed),
                                 static_cast<int>(quality > 100 ? 100 : quality));
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return written != 0 && temporary.commit();
}

}  // namespace

ImageGray loadImage(const std::string& path, bool flipOnLoad) {
  if (endsWith(path, ".pgm")) return readPGM(path);
  stbi_set_flip_vertically_on_load(flipOnLoad ? 1 : 0);
  return loadImageWithCodec(path);
}

namespace {

/// The whole file, or false when it cannot be read.
bool readWholeFile(const std::string& path, std::vector<stbi_uc>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  FileCloser closer{file};
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file);
  if (size < 0 || size > INT_MAX || std::fseek(file, 0, SEEK_SET) != 0) return false;
  bytes.resize(static_cast<std::size_t>(size));
  return std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

/// False for a JPEG stream that is cut off before its end-of-image marker, or that defines a
/// Huffman table the codec cannot hold.
///
/// - The codec would decode a truncated stream into a picture whose missing part is made up; a
///   truncated file must be refused instead.
/// - The codec's Huffman table has room for 256 codes, and the codec neither checks that the 16
///   code counts of a table add up to at most 256 nor that a table ends inside its segment: a
///   larger sum writes past the table, over the rest of the decoder's state. Such a table is not
///   valid JPEG, so the file is refused before the codec reads it.
///
/// The segments are walked the way the codec reads them: bytes before a marker are skipped, fill
/// bytes (0xFF) before a marker code are skipped, and after a start-of-scan segment the
/// entropy-coded data run up to the next 0xFF that is followed neither by 0x00 (a stuffed byte) nor
/// by a restart marker. Anything that does not begin with 0xFF... 0xD8 is not a JPEG for the codec
/// and is left to it.
bool jpegIsSound(const std::vector<stbi_uc>& bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  if (n == 0 || bytes[0] != 0xFF) return true;
  while (i < n && bytes[i] == 0xFF) ++i;
  if (i >= n || bytes[i] != 0xD8) return true;  // not a JPEG
  ++i;
  for (;;) {
    while (i < n && bytes[i] != 0xFF) ++i;
    while (i < n && bytes[i] == 0xFF) ++i;
    if (i >= n) return false;  // no end-of-image marker
    const stbi_uc marker = bytes[i++];
    if (marker == 0xD9) return true;
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x00) continue;
    if (i + 2 > n) return false;
    const std::size_t length = (static_cast<std::size_t>(bytes[i]) << 8) | bytes[i + 1];
    if (length < 2 || i + length > n) return false;
    const std::size_t segmentEnd = i + length;
    if (marker == 0xC4) {
      // One or more tables: class and slot, 16 code counts, then as many symbol values.
      std::size_t p = i + 2;
      while (p < segmentEnd) {
        if (p + 17 > segmentEnd) return false;
        std::size_t codes = 0;
        for (std::size_t k = 1; k <= 16; ++k) codes += bytes[p + k];
        if (codes > 256) return false;
        p += 17 + codes;
        if (p > segmentEnd) return false;
      }
    }
    i = segmentEnd;
    if (marker == 0xDA) {
      while (i + 1 < n && !(bytes[i] == 0xFF && bytes[i + 1] != 0x00 && !(bytes[i + 1] >= 0xD0 && bytes[i + 1] <= 0xD7))) {
        ++i;
      }
    }
  }
}

std::uint32_t readBigEndian32(const std::vector<stbi_uc>& bytes, std::size_t at) {
  return (static_cast<std::uint32_t>(bytes[at]) << 24) | (static_cast<std::uint32_t>(bytes[at + 1]) << 16) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 8) | bytes[at + 3];
}

void appendBigEndian32(std::vector<stbi_uc>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<stbi_uc>(value >> shift));
}

std::uint32_t pngChunkCrc(const stbi_uc* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

/// Makes the palette of a palette PNG cover every possible index; false for a file to refuse.
///
/// The codec looks each pixel's index up in a table of 256 entries of which only those that the
/// file's palette defines are set: an index past the palette reads whatever the stack held, so the
/// same file would decode to different pixels from run to run. Such indices are not valid PNG, but
/// the codec does not refuse them. Each palette chunk of a palette picture is therefore padded
/// here to 256 entries (black) before the codec reads the file. A transparency chunk with more
/// entries than the palette as written, which the codec refuses, is refused here, since the padded
/// palette would no longer show it. Other files are left as they are.
bool padPngPalettes(std::vector<stbi_uc>& bytes) {
  static const stbi_uc kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return true;
  std::vector<stbi_uc> out(bytes.begin(), bytes.begin() + 8);
  bool palettePicture = false;
  bool changed = false;
  std::uint32_t paletteEntries = 0;
  std::size_t at = 8;
  while (at + 8 <= bytes.size()) {
    const std::uint32_t length = readBigEndian32(bytes, at);
    const std::uint32_t type = readBigEndian32(bytes, at + 4);
    if (length > bytes.size() - at - 8) break;  // cut off: the rest is copied as it is
    const stbi_uc* data = bytes.data() + at + 8;
    const std::size_t chunkEnd = std::min(bytes.size(), at + 12 + static_cast<std::size_t>(length));
    if (type == 0x49484452u && length >= 10) palettePicture = data[9] == 3;  // IHDR, colour type 3
    if (type == 0x504C5445u && palettePicture && length > 0 && length < 768 && length % 3 == 0) {  // PLTE
      paletteEntries = length / 3;
      std::vector<stbi_uc> chunk = {'P', 'L', 'T', 'E'};
      chunk.insert(chunk.end(), data, data + length);
      chunk.resize(4 + 768, 0);
      appendBigEndian32(out, 768);
      out.insert(out.end(), chunk.begin(), chunk.end());
      appendBigEndian32(out, pngChunkCrc(chunk.data(), chunk.size()));
      changed = true;
      at = chunkEnd;
      continue;
    }
    if (type == 0x74524E53u && changed && length > paletteEntries) return false;  // tRNS
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
bool tgaIsComplete(const std::vector<stbi_uc>& bytes) {
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

/// Gray pixels of a 16-bit colour PNM (P6 with a maximum value above 255).
///
/// Asked for one channel, the codec converts such a file with its 8-bit channel conversion and then
/// narrows the result as if it held 16-bit values, reading twice as many bytes as it has: a read
/// past the end of its buffer. The file is therefore decoded at its own three channels and 16 bits,
/// and converted here as the codec converts 16-bit colour from every other format: the luma
/// (77 R + 150 G + 29 B) >> 8 in 16 bits, then its top 8 bits.
void widePixmapToGray(const stbi_us* rgb, std::size_t count, std::uint8_t* gray) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t luma = (rgb[3 * i] * 77u + rgb[3 * i + 1] * 150u + rgb[3 * i + 2] * 29u) >> 8;
    gray[i] = static_cast<std::uint8_t>((luma & 0xFFFFu) >> 8);
  }
}

ImageGray decodeGray(const std::string& path) {
  std::vector<stbi_uc> bytes;
  // An empty file is no picture; refusing it here also keeps the codec from being handed the
  // null buffer of an empty vector, which its pointer arithmetic does not allow.
  if (!readWholeFile(path, bytes) || bytes.empty()) return ImageGray();
  // Files that the codec would decode into undefined pixels, or read past its own tables for.
  if (!jpegIsSound(bytes) || !tgaIsComplete(bytes) || !padPngPalettes(bytes) ||
      bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    return ImageGray();
  }
  const int length = static_cast<int>(bytes.size());
  // Ask for the size first, so that a header claiming a picture too large for the image type is
  // refused before the codec allocates for it.
  int w = 0, h = 0, components = 0;
  if (stbi_info_from_memory(bytes.data(), length, &w, &h, &components) == 0 || w <= 0 || h <= 0 ||
      static_cast<std::int64_t>(w) * h > INT32_MAX) {
    return ImageGray();
  }
  // A 16-bit colour PNM goes its own way (see widePixmapToGray).
  const bool widePixmap = bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '6' && components == 3 &&
                          stbi_is_16_bit_from_memory(bytes.data(), length) != 0;
  stbi_uc* pixels = nullptr;
  stbi_us* widePixels = nullptr;
  if (widePixmap) {
    widePixels = stbi_load_16_from_memory(bytes.data(), length, &w, &h, &components, 0);
    if (widePixels == nullptr) return ImageGray();
    if (components != 3) {
      stbi_image_free(widePixels);
      return ImageGray();
    }
  } else {
    pixels = stbi_load_from_memory(bytes.data(), length, &w, &h, &components, 1);
    if (pixels == nullptr) return ImageGray();
  }
  ImageGray image;
  if (w > 0 && h > 0 && static_cast<std::int64_t>(w) * h <= INT32_MAX) {
    try {
      image.create(Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)));
      const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
      if (widePixmap) {
        widePixmapToGray(widePixels, count, reinterpret_cast<std::uint8_t*>(image.data));
      } else {
        std::memcpy(image.data, pixels, count);
      }
    } catch (const std::bad_alloc&) {
      image = ImageGray();
    }
  }
  stbi_image_free(pixels);
  stbi_image_free(widePixels);
  return image;
}

}  // namespace

ImageGray loadImageWithCodec(const std::string& path) {
  ImageGray image;
  try {
    image = decodeGray(path);
  } catch (const std::exception&) {
    image = ImageGray();
  }
  if (image.isEmpty()) {
    LUMETRA_LOG_ERROR("Error loading image from {}.", path);
    return ImageGray();
  }
  return image;
}

namespace {

ImageGray readPGMFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    LUMETRA_LOG_ERROR("Cannot open a file {}", path);
    return ImageGray();
  }
  FileCloser closer{file};
  auto cannotRead = [&path] {
    LUMETRA_LOG_ERROR("Cannot read a file {}", path);
    return ImageGray();
  };

  std::string line;
  if (readLine(file, line) != LineStatus::Ok) return cannotRead();
  if (line.compare(0, 2, "P5") != 0) {
    LUMETRA_LOG_ERROR("The file is not PGM, {}", path);
    return ImageGray();
  }
  do {
    if (readLine(file, line) != LineStatus::Ok) return cannotRead();
  } while (!line.empty() && line[0] == '#');

  // The width in C notation (a leading 0x is hexadecimal, a leading 0 octal), the height decimal.
  char* end = nullptr;
  errno = 0;
  const long width = std::strtol(line.c_str(), &end, 0);
  const long height = std::strtol(end, nullptr, 10);
  const bool rangeError = errno == ERANGE;
  if (readLine(file, line) != LineStatus::Ok) return cannotRead();  // maximum value, not used

  // Refuse sizes that are not positive, do not fit the image type, or that the file cannot hold,
  // before anything is allocated for them.
  if (rangeError || width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX ||
      static_cast<std::int64_t>(width) * height > INT32_MAX) {
    return cannotRead();
  }
  const std::int64_t count = static_cast<std::int64_t>(width) * height;
  const long dataStart = std::ftell(file);
  if (dataStart < 0 || std::fseek(file, 0, SEEK_END) != 0) return cannotRead();
  const long fileEnd = std::ftell(file);
  if (fileEnd < 0 || fileEnd - dataStart < count || std::fseek(file, dataStart, SEEK_SET) != 0) return cannotRead();

  ImageGray image;
  try {
    image.create(Vec2u(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)));
  } catch (const std::bad_alloc&) {
    return cannotRead();
  }
  if (std::fread(image.data, 1, static_cast<std::size_t>(count), file) != static_cast<std::size_t>(count)) {
    return cannotRead();
  }
  return image;
}

}  // namespace

ImageGray readPGM(const std::string& path) {
  try {
    return readPGMFile(path);
  } catch (const std::exception&) {
    LUMETRA_LOG_ERROR("Cannot read a file {}", path);
    return ImageGray();
  }
}

bool savePGM(const ImageGray& image, const std::string& path) {
  if (image.isEmpty()) return false;
  try {
    TemporaryFile temporary(path);
    if (temporary.valid() && writePGMFile(image, temporary.path()) && temporary.commit()) return true;
  } catch (const std::exception&) {
  }
  LUMETRA_LOG_ERROR("Cannot create a file {}", path);
  return false;
}

bool saveImage(const ImageGray& image, const std::string& path, std::uint8_t flipOnWrite, std::uint32_t quality) {
  try {
    return saveWithCodec(image, path, flipOnWrite, quality);
  } catch (const std::exception&) {
    return false;
  }
}

bool saveImage(const ImageRGB& image, const std::string& path, std::uint8_t flipOnWrite, std::uint32_t quality) {
  try {
    return saveWithCodec(image, path, flipOnWrite, quality);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace Lumetra
