#pragma once
// Separable Gaussian smoothing of 8-bit gray images with 3, 5 or 7 taps, in 64-bit floating
// point or in 16.16 fixed point. The image pyramid is built from a picture smoothed here.
#include "Image/Image.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace Lumetra {

/// Intermediates of the blur, owned by the caller so that they can be reused across calls.
///
/// The row pass runs only a few rows ahead of the column pass, so an intermediate holds a window
/// of rows rather than the whole picture: row y of the row-pass result lives in window row
/// y mod (window height), and the window holds at least one row more than the taps. A picture
/// small enough is held whole.
struct FilterWorkspace {
  ImageDouble doubleIntermediate;  ///< row-pass window of the floating-point path
  ImageInt intIntermediate;        ///< row-pass window of the fixed-point path
};

/// The workspace argument of the blur: the caller's workspace and whether the filter uses it
/// (otherwise the filter uses intermediates of its own).
using FilterWorkspaceRef = std::pair<FilterWorkspace*, std::uint8_t>;

/// A separable filter of 3, 5 or 7 taps with identical row and column kernels.
class ConvolutionFilter {
 public:
  static constexpr int kMaxTaps = 7;

  /// `weights` holds `taps` normalised weights (taps is 3, 5 or 7).
  ConvolutionFilter(int taps, const double* weights, std::uint8_t useFixedPoint);

  /// Filters the source into the destination, which is given the source's size when its size
  /// differs. The border band of radius taps / 2 is left as described in gaussianBlur.
  void apply(const ImageGray& src, ImageGray& dst, FilterWorkspaceRef workspace);

  /// Fixed-point row pass over the rows [rowBegin, rowEnd) of the source. `tmp` is a window of
  /// the source's width: row y goes to its row y mod tmp.height (a window as high as the source
  /// holds every row in place). The outer radius columns of each row are set to 0.
  ///
  /// The values are at most 255; when packedFixedWindow() is true (AVX2 with weights that fit
  /// 16-bit products) each window row holds them as 16-bit words in its leading half, otherwise
  /// as one 32-bit value per pixel. verticalPassFixed reads the same layout.
  void horizontalPassFixed(const ImageGray& src, ImageInt& tmp, std::uint32_t rowBegin, std::uint32_t rowEnd) const;
  /// Fixed-point column pass writing the destination rows [rowBegin, rowEnd), which must lie in
  /// [radius, height - radius); reads only `tmp`, whose rows y - radius .. y + radius must be
  /// in the window.
  void verticalPassFixed(const ImageInt& tmp, ImageGray& dst, std::uint32_t rowBegin, std::uint32_t rowEnd) const;
  /// True when the fixed-point passes keep the window in 16-bit words (see horizontalPassFixed).
  bool packedFixedWindow() const;

  int taps() const { return taps_; }
  int radius() const { return taps_ / 2; }

  std::uint8_t fixedPoint = 0;
  double rowWeights[kMaxTaps] = {};
  double columnWeights[kMaxTaps] = {};
  std::int32_t fixedRowWeights[kMaxTaps] = {};
  std::int32_t fixedColumnWeights[kMaxTaps] = {};
  ImageInt ownIntIntermediate;
  ImageDouble ownDoubleIntermediate;
  ImageGray output;

 private:
  // Floating-point passes; the window is used as in the fixed-point passes.
  void horizontalPassFloat(const ImageGray& src, ImageDouble& tmp, std::uint32_t rowBegin, std::uint32_t rowEnd) const;
  void verticalPassFloat(const ImageDouble& tmp, ImageGray& dst, std::uint32_t rowBegin, std::uint32_t rowEnd) const;

  int taps_ = 0;
  mutable std::vector<double> rowScratch_;  // source pixels of one row as doubles (SIMD row pass)
};

/// Smooths `src` into `dst` with a Gaussian of `kernelSize` taps (3, 5 or 7) and `sigma` (> 0).
///
/// The weights are the sampled Gaussian normalised to sum 1; in fixed point each is scaled by
/// 65536 and truncated. The row pass covers columns [r, width - r) of every row, the column pass
/// rows [r, height - r); the outer r rows of `dst` are never written. In floating point the outer
/// r columns are not written either; in fixed point they come out 0. `dst` may be `src` itself.
/// Other kernel sizes and an empty source leave `dst` untouched. Never throws.
void gaussianBlur(const ImageGray& src, ImageGray& dst, std::int32_t kernelSize, double sigma,
                  std::uint8_t useFixedPoint, FilterWorkspaceRef workspace = FilterWorkspaceRef(nullptr, 0));

/// The normalised weights gaussianBlur uses for `kernelSize` taps (3, 5 or 7) and `sigma`;
/// false for another size. A sigma for which the Gaussian degenerates (zero, not finite, or so
/// small that every sample underflows) gives the identity kernel.
bool gaussianKernel(std::int32_t kernelSize, double sigma, double* weights);

}  // namespace Lumetra
