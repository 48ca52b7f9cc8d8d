#pragma once
// FAST-9 corner detection on 8-bit gray images and views.
//
// A pixel of value c is a corner at threshold t when 9 consecutive pixels of the 16-pixel
// circle of radius 3 are all brighter than c + t or all darker than c - t (strict
// comparisons; c + t saturates at 255 and c - t at 0). Its score s is the largest, over the
// 16 arcs of 9 pixels, of max(min(c - v), -max(c - v)); the pixel is a corner at t exactly
// when s > t, so s is one more than the highest threshold at which it still passes.
//
// The two scanning kernels have an AVX2 version, a 128-bit version and a scalar twin that
// gives the same corners, scores and order; the version is chosen at run time.
#include "Image/Image.h"

#include <array>
#include <cstdint>
#include <vector>

namespace Lumetra {

/// One detected corner, in the coordinates of the image handed to the detector.
struct Corner {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t score = 0;
};

inline bool operator==(const Corner& a, const Corner& b) { return a.x == b.x && a.y == b.y && a.score == b.score; }
inline bool operator!=(const Corner& a, const Corner& b) { return !(a == b); }

/// Runs one of the two kernels over an image or a view and keeps its output. One detector
/// per thread; it holds nothing but the two output vectors.
class FastCornerDetector {
 public:
  /// Output of the kernel without suppression (scores 0).
  std::vector<Corner> cornersRaw;
  /// Output of the kernel with scores and 3 x 3 non-maximum suppression.
  std::vector<Corner> cornersSuppressed;

  /// Scans the view at the threshold. With `suppress` the corners go to cornersSuppressed
  /// (fastDetectSse41), otherwise to cornersRaw (fastDetectSse2); the vector is emptied first.
  void runAVX2(const ImageGray& view, std::uint8_t threshold, bool suppress);
};

/// Kernel with scores and suppression: appends to `corners` every pixel of the scan area
/// x in [3, width - 3), y in [3, height - 3) that is a corner at the threshold and whose score
/// is strictly greater than the scores of its eight neighbours (non-corners count as 0).
/// Output in row order, then increasing x; `rowOffset` is added to every y.
void fastDetectSse41(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                     std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold);

/// Kernel without suppression: appends every corner of the scan area as {x, rowOffset + y, 0}.
void fastDetectSse2(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                    std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold);

/// The 16 circle positions as byte offsets for rows `rowBytes` apart, starting below the
/// centre and turning counter-clockwise on screen: (0,3), (1,3), (2,2), (3,1), (3,0), ...
std::array<std::int32_t, 16> makeCircleOffsets(std::int32_t rowBytes);

/// The score of one pixel at the threshold: the highest threshold at which the pixel is a
/// corner, but never less than `threshold` (that is max(threshold, s - 1)).
std::int32_t fast9CornerScore(const std::uint8_t* center, const std::int32_t* offsets, std::int32_t threshold);

/// Sets each corner's score to fast9CornerScore at its position in the image. A position
/// closer than 3 pixels to the image's edge (or outside it) has no full circle and gets
/// `threshold`, the score of a pixel that is no corner.
void scoreCorners(const ImageGray& image, std::vector<Corner>& corners, std::int32_t threshold);

namespace detail {
// The kernel versions behind the dispatch, exposed for the tests and benchmarks.
enum class FastMode { Suppressed, Raw };
void fastDetectScalar(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                      std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode);
void fastDetectAvx2(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                    std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode);
void fastDetectSse(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                   std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode);
}  // namespace detail

}  // namespace Lumetra
