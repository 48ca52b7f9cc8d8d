#pragma once
// Oriented 256-bit binary descriptors: the orientation of a keypoint from the intensity
// centroid of the radius-15 disc around it, then 256 comparisons of pixel pairs of the
// sampling pattern rotated to that orientation.
//
// Bit j (value 1 << j) of byte i is test 8i + j: 1 when the pixel at the first point of the
// pair is darker than the pixel at the second.
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Image/Image.h"

namespace Lumetra {

using BinaryDescriptor = std::array<std::uint8_t, 32>;

/// One point of a rotated pattern.
struct PatternPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

/// The disc of the orientation and, optionally, the sampling pattern rotated to every whole
/// degree. Built once, then only read (from any number of threads).
struct RotatedPatternTable {
  /// Half-width of the disc of radius 15 in row |v|, v = 0..15.
  std::array<std::int32_t, 16> umax{};
  /// Whole degree 0..359 -> the 512 pattern points rotated by it. Empty unless precomputed.
  std::unordered_map<std::int32_t, std::vector<PatternPoint>> patterns;
};

/// Fills `umax` and, with `precompute`, the 360 rotated patterns (else leaves them empty).
void buildRotatedPatterns(RotatedPatternTable& table, bool precompute);

/// A table as built by buildRotatedPatterns(table, precompute), made once per process for each
/// value of `precompute` and shared by every caller: its contents depend on nothing else and it
/// is never modified after it is built. Thread-safe.
std::shared_ptr<const RotatedPatternTable> sharedRotatedPatterns(bool precompute);

/// The orientation of the patch around the point, in radians in (-pi, pi], y downwards;
/// 0 for a uniform patch. A point whose disc does not fit in the image (closer than 15
/// pixels to an edge) also gets 0.
float patchOrientation(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& point);

/// The whole degree of the precomputed pattern for an orientation in radians: a negative
/// angle is moved up by 2 pi, converted to degrees in single precision and truncated; 360 (from
/// rounding just below 0) becomes 0.
std::int32_t wholeDegree(float radians);

/// The descriptor through the pattern precomputed for the orientation's whole degree. False
/// when no patterns are precomputed or the point is closer than 18 pixels to an edge.
bool computeRotatedBinaryDescriptor(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& point,
                                    BinaryDescriptor& out);

/// The descriptor with the pattern rotated by the exact orientation. False when the point is
/// closer than 18 pixels to an edge.
bool computeBinaryDescriptorExact(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& point,
                                  BinaryDescriptor& out);

}  // namespace Lumetra
