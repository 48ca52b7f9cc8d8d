#pragma once
// Reading and writing picture files: binary PGM (P5) of our own, and the common formats through
// the image codec (PNG, JPEG, BMP and binary PGM and PPM for reading; PNG, BMP and JPEG for
// writing).
// Failures are reported by the result (the empty image, or false); nothing here throws.
#include "Image/Image.h"

#include <cstdint>
#include <string>

namespace Lumetra {

/// Loads a picture as one 8-bit gray channel. A path ending in exactly ".pgm" is read by
/// readPGM; anything else goes to the codec, whose process-wide vertical-flip-on-load setting
/// is first set from `flipOnLoad` (and stays in force for later codec loads).
ImageGray loadImage(const std::string& path, bool flipOnLoad);

/// Decodes a picture with the codec, converted to one gray channel. The empty image when the
/// codec refuses the file or its width x height does not fit in 32 bits.
ImageGray loadImageWithCodec(const std::string& path);

/// Decodes a picture with the codec as 3-channel 8-bit pixels, with the same checks as the gray
/// loader (gray pictures are repeated into the three channels, alpha is dropped). The codec's
/// vertical-flip-on-load setting is set from `flipOnLoad` first. The empty image on any failure;
/// nothing is logged.
ImageRGB loadImageRGBWithCodec(const std::string& path, bool flipOnLoad);

/// The EXIF orientation (1 to 8) that a JPEG file's headers record, telling viewers how to turn or
/// mirror the stored pixels; 1 (upright) when the file is no JPEG, records none, or cannot be read.
/// The loaders always give the pixels as stored.
std::uint16_t readJpegOrientation(const std::string& path);

/// The width and height a picture file's header gives, read as the codec loaders read it, without
/// decoding its pixels. False when the codec loaders would refuse the file before decoding.
bool pictureSizeWithCodec(const std::string& path, std::uint32_t& width, std::uint32_t& height);

/// Reads a binary PGM (P5): the magic line, any "#" comment lines, "width height" (the width in
/// C notation with automatic base, the height decimal), the maximum-value line (not used), then
/// width x height bytes. Header lines are at most 254 characters. The empty image when the file
/// cannot be opened or is not a PGM, when the size is not positive, overflows, or exceeds the
/// bytes the file holds, or when a line is too long.
ImageGray readPGM(const std::string& path);

/// Writes a binary PGM with maximum value 255. False for an empty image or a failed write.
bool savePGM(const ImageGray& image, const std::string& path);

/// Writes the image in the format of the path's last four characters: ".png"/".PNG",
/// ".bmp"/".BMP", ".jpg"/".JPG" (with `quality`), and for gray images ".pgm"/".PGM". The codec's
/// process-wide vertical-flip-on-write setting is set from `flipOnWrite` first. False for an
/// empty image, another ending, or a failed write.
bool saveImage(const ImageGray& image, const std::string& path, std::uint8_t flipOnWrite, std::uint32_t quality);
bool saveImage(const ImageRGB& image, const std::string& path, std::uint8_t flipOnWrite, std::uint32_t quality);

}  // namespace Lumetra
