#pragma once
// The fixed sampling pattern of the binary descriptor.
#include <cstdint>

namespace Lumetra {

/// Number of intensity tests of a descriptor (256 bits).
constexpr int kDescriptorTests = 256;
/// Number of values of the pattern: per test two points of two coordinates.
constexpr int kSamplingPatternValues = kDescriptorTests * 4;

/// 512 points (x right, y down) in pair order: test k compares point 2k with point 2k + 1,
/// stored as x, y of point 2k followed by x, y of point 2k + 1.
extern const std::int8_t kSamplingPattern[kSamplingPatternValues];

}  // namespace Lumetra
