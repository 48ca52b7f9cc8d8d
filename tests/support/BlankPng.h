#pragma once
// Large pictures in small files, for tests of the memory a decoded texture takes.
#include <cstdint>
#include <string>

namespace TestSupport {

/// The bytes of a PNG file of `width` x `height` black 8-bit gray pixels, its rows compressed as
/// runs of 258 zero bytes (about 1/640 of the pixels' size).
std::string blankPng(std::uint32_t width, std::uint32_t height);

}  // namespace TestSupport
