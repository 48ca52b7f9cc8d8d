#include "Image/ImageIO.h"

#include "Image/CodecGuard.h"
#include "Image/FileCloser.h"
#include "Image/PictureCodec.h"

#include "Core/AtomicFile.h"
#include "Core/Log.h"

#include <stb_image_write.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace Lumetra {

namespace {

bool endsWith(const std::string& path, const char* ending) {
  const std::size_t n = std::strlen(ending);
  return path.size() >= n && path.compare(path.size() - n, n, ending) == 0;
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
  // Encoded in memory first: the codec does not notice a short write, the file writer does.
  std::string encoded;
  const auto append = [](void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
  };
  int written = 0;
  try {
    std::vector<PixelT> packed;
    switch (format) {
      case Format::Png:
        // The row stride in bytes lets the codec write a view as it stands.
        written = stbi_write_png_to_func(append, &encoded, w, h, components, image.data,
                                         image.stride * static_cast<int>(sizeof(PixelT)));
        break;
      case Format::Bmp:
        written = stbi_write_bmp_to_func(append, &encoded, w, h, components, packedPixels(image, packed));
        break;
      case Format::Jpg:
        written = stbi_write_jpg_to_func(append, &encoded, w, h, components, packedPixels(image, packed),
                                         static_cast<int>(quality > 100 ? 100 : quality));
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return written != 0 && writeFileAtomically(path, encoded);
}

}  // namespace

ImageGray loadImage(const std::string& path, bool flipOnLoad) {
  if (endsWith(path, ".pgm")) return readPGM(path);
  pictureCodecSetFlipOnLoad(flipOnLoad ? 1 : 0);
  return loadImageWithCodec(path);
}

namespace {

/// The whole file, or false when it cannot be read.
bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  FileCloser closer{file};
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file);
  if (size < 0 || size > INT_MAX || std::fseek(file, 0, SEEK_SET) != 0) return false;
  bytes.resize(static_cast<std::size_t>(size));
  return std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

/// Gray pixels of a 16-bit colour PNM (P6 with a maximum value above 255).
///
/// Asked for one channel, the codec converts such a file with its 8-bit channel conversion and then
/// narrows the result as if it held 16-bit values, reading twice as many bytes as it has: a read
/// past the end of its buffer. The file is therefore decoded at its own three channels and 16 bits,
/// and converted here as the codec converts 16-bit colour from every other format: the luma
/// (77 R + 150 G + 29 B) >> 8 in 16 bits, then its top 8 bits.
void widePixmapToGray(const std::uint16_t* rgb, std::size_t count, std::uint8_t* gray) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t luma = (rgb[3 * i] * 77u + rgb[3 * i + 1] * 150u + rgb[3 * i + 2] * 29u) >> 8;
    gray[i] = static_cast<std::uint8_t>((luma & 0xFFFFu) >> 8);
  }
}

/// Reads the file and its picture's size and channel count. False for a file that cannot be read,
/// is empty or unsound, or whose header the codec does not take, and for a picture of more than
/// `maxPixels` pixels.
bool readPictureHeader(const std::string& path, std::int64_t maxPixels, std::vector<std::uint8_t>& bytes, int& w, int& h,
                       int& components) {
  // An empty file is no picture; refusing it here also keeps the codec from being handed the
  // null buffer of an empty vector, which its pointer arithmetic does not allow.
  if (!readWholeFile(path, bytes) || !prepareForCodec(bytes)) return false;
  // Ask for the size first, so that a header claiming a picture too large for the image type is
  // refused before the codec allocates for it.
  return pictureCodecInfo(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &components) != 0 && w > 0 &&
         h > 0 && static_cast<std::int64_t>(w) * h <= maxPixels;
}

ImageGray decodeGray(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  int w = 0, h = 0, components = 0;
  if (!readPictureHeader(path, INT32_MAX, bytes, w, h, components)) return ImageGray();
  const int length = static_cast<int>(bytes.size());
  // A 16-bit colour PNM goes its own way (see widePixmapToGray).
  const bool widePixmap = bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '6' && components == 3 &&
                          pictureCodecIs16Bit(bytes.data(), length) != 0;
  std::uint8_t* pixels = nullptr;
  std::uint16_t* widePixels = nullptr;
  if (widePixmap) {
    widePixels = pictureCodecLoad16(bytes.data(), length, &w, &h, &components, 0);
    if (widePixels == nullptr) return ImageGray();
    if (components != 3) {
      pictureCodecFree(widePixels);
      return ImageGray();
    }
  } else {
    pixels = pictureCodecLoad(bytes.data(), length, &w, &h, &components, 1);
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
  pictureCodecFree(pixels);
  pictureCodecFree(widePixels);
  return image;
}

/// 3-channel pixels of a picture. A 16-bit PNM is decoded at its own channel count and narrowed
/// here (top 8 bits), since the codec's own channel conversion reads such data as 8-bit values.
ImageRGB decodeRGB(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  int w = 0, h = 0, components = 0;
  if (!readPictureHeader(path, INT32_MAX / 3, bytes, w, h, components)) return ImageRGB();
  const int length = static_cast<int>(bytes.size());
  const bool widePixmap = bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '6') &&
                          pictureCodecIs16Bit(bytes.data(), length) != 0;
  std::uint8_t* pixels = nullptr;
  std::uint16_t* widePixels = nullptr;
  if (widePixmap) {
    widePixels = pictureCodecLoad16(bytes.data(), length, &w, &h, &components, 0);
  } else {
    pixels = pictureCodecLoad(bytes.data(), length, &w, &h, &components, 3);
  }
  ImageRGB image;
  if ((pixels != nullptr || (widePixels != nullptr && (components == 1 || components == 3))) && w > 0 && h > 0 &&
      static_cast<std::int64_t>(w) * h <= INT32_MAX / 3) {
    try {
      image.create(Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)));
      const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
      std::uint8_t* out = reinterpret_cast<std::uint8_t*>(image.data);
      if (pixels != nullptr) {
        std::memcpy(out, pixels, count * 3);
      } else {
        for (std::size_t i = 0; i < count * 3; ++i) {
          const std::size_t source = components == 3 ? i : i / 3;
          out[i] = static_cast<std::uint8_t>(widePixels[source] >> 8);
        }
      }
    } catch (const std::bad_alloc&) {
      image = ImageRGB();
    }
  }
  pictureCodecFree(pixels);
  pictureCodecFree(widePixels);
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

ImageRGB loadImageRGBWithCodec(const std::string& path, bool flipOnLoad) {
  pictureCodecSetFlipOnLoad(flipOnLoad ? 1 : 0);
  try {
    return decodeRGB(path);
  } catch (const std::exception&) {
    return ImageRGB();
  }
}

namespace {

/// The orientation entry (tag 0x0112, one 16-bit value) of the first directory of an EXIF block
/// ("Exif", two zero bytes, then a TIFF header in either byte order); 1 when there is none.
std::uint16_t exifOrientation(const std::vector<std::uint8_t>& exif) {
  if (exif.size() < 14 || std::memcmp(exif.data(), "Exif\0\0", 6) != 0) return 1;
  const std::uint8_t* tiff = exif.data() + 6;
  const std::size_t size = exif.size() - 6;
  const bool bigEndian = tiff[0] == 'M' && tiff[1] == 'M';
  if (!bigEndian && !(tiff[0] == 'I' && tiff[1] == 'I')) return 1;
  const auto read = [&](std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int k = 0; k < bytes; ++k) {
      const std::uint32_t byte = tiff[at + static_cast<std::size_t>(bigEndian ? k : bytes - 1 - k)];
      value = (value << 8) | byte;
    }
    return value;
  };
  const std::size_t directory = read(4, 4);
  if (directory > size - 2) return 1;
  const std::size_t entries = read(directory, 2);
  for (std::size_t e = 0; e < entries && directory + 2 + 12 * e + 12 <= size; ++e) {
    const std::size_t at = directory + 2 + 12 * e;
    if (read(at, 2) == 0x0112 && read(at + 2, 2) == 3 && read(at + 4, 4) == 1) {
      const std::uint32_t value = read(at + 8, 2);
      return value >= 1 && value <= 8 ? static_cast<std::uint16_t>(value) : 1;
    }
  }
  return 1;
}

}  // namespace

std::uint16_t readJpegOrientation(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 1;
  FileCloser closer{file};
  if (std::fgetc(file) != 0xFF || std::fgetc(file) != 0xD8) return 1;
  // The header segments, up to the first scan: a marker, a 16-bit length that counts itself, a body.
  for (;;) {
    int marker = std::fgetc(file);
    if (marker != 0xFF) return 1;
    while (marker == 0xFF) marker = std::fgetc(file);
    const int high = std::fgetc(file);
    const int low = std::fgetc(file);
    if (marker == EOF || marker == 0xDA || marker == 0xD9 || high == EOF || low == EOF) return 1;
    const std::size_t length = (static_cast<std::size_t>(high) << 8) | static_cast<std::size_t>(low);
    if (length < 2) return 1;
    if (marker == 0xE1) {
      std::vector<std::uint8_t> body(length - 2);
      if (std::fread(body.data(), 1, body.size(), file) != body.size()) return 1;
      if (body.size() >= 6 && std::memcmp(body.data(), "Exif\0\0", 6) == 0) return exifOrientation(body);
    } else if (std::fseek(file, static_cast<long>(length - 2), SEEK_CUR) != 0) {
      return 1;
    }
  }
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

bool pictureSizeWithCodec(const std::string& path, std::uint32_t& width, std::uint32_t& height) {
  std::vector<std::uint8_t> bytes;
  int w = 0, h = 0, components = 0;
  try {
    if (!readPictureHeader(path, INT64_MAX, bytes, w, h, components)) return false;
  } catch (const std::exception&) {
    return false;
  }
  width = static_cast<std::uint32_t>(w);
  height = static_cast<std::uint32_t>(h);
  return true;
}

}  // namespace Lumetra
