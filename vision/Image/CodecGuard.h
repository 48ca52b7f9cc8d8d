#pragma once
// Checks on a picture file's bytes before the image codec reads them. The codec trusts some
// fields of damaged files and then reads or writes past its own buffers, or leaves pixels unset;
// such files are refused here, or rewritten so that the codec's result is defined. Valid files
// pass unchanged (except that a palette PNG's palette is padded to 256 entries).
#include <cstdint>
#include <vector>

namespace Lumetra {

/// False when the codec must not be given the bytes: an empty file; a JPEG stream without an
/// end-of-image marker or with a Huffman table of more than 256 codes or running past its segment;
/// an uncompressed TGA, a binary PNM or a flat Radiance HDR shorter than its pixels; a binary PNM
/// whose header numbers overflow an int; a run-length HDR scanline with a count of 0;
/// a palette PNG whose transparency chunk is longer than its palette; more than INT_MAX bytes.
/// Pads the palette of a palette PNG to 256 entries (black), so that indices past the file's
/// palette read as black rather than as memory the codec never set.
bool prepareForCodec(std::vector<std::uint8_t>& bytes);

}  // namespace Lumetra
