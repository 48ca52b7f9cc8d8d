#pragma once
// Checks on a picture file's bytes before the image codec reads them. The codec trusts some
// fields of damaged files and then reads or writes past its own buffers, or leaves pixels unset;
// such files are refused here, or rewritten so that the codec's result is defined. Valid files
// pass unchanged (except that short palettes are padded, see below).
#include <cstdint>
#include <vector>

namespace Lumetra {

/// False when the codec must not be given the bytes: an empty file; a JPEG stream without an
/// end-of-image marker or with a Huffman table of more than 256 codes or running past its segment;
/// a binary PNM shorter than its pixels or whose header numbers overflow an int; a palette BMP whose
/// pixel data begin inside its headers; a palette PNG whose transparency chunk is longer than its
/// palette; more than INT_MAX bytes. Pads the palette of a palette PNG to 256 entries and that of
/// a palette BMP to every index its pixels can hold (black), so that indices past the file's
/// palette read as black rather than as memory the codec never set.
bool prepareForCodec(std::vector<std::uint8_t>& bytes);

}  // namespace Lumetra
