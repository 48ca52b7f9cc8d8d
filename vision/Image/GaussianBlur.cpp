#include "Image/GaussianBlur.h"

#include "Core/CpuFeatures.h"
#include "Core/Log.h"
#include "Core/Angles.h"
#include "Image/ImageKernels.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace Lumetra {

namespace {

// The row-pass window holds about this many bytes, and at least one row more than the taps (so
// that the column pass can take output rows in pairs). The column pass reads the rows the row
// pass has just written, so they are still in the cache; a picture whose intermediate fits is
// held whole.
constexpr std::uint32_t kWindowBytes = 64 * 1024;

bool isSymmetric(const std::int32_t* k, int taps) {
  for (int i = 0; i < taps / 2; ++i) {
    if (k[i] != k[taps - 1 - i]) return false;
  }
  return true;
}

// Whether the 16-bit kernels can form the fixed-point sums: symmetric weights whose outer taps
// fit a signed 16-bit factor, a centre that fits two of them, and a sum of at most 65536, so
// that every row-pass value (and so every sum of two) fits a 16-bit word.
bool fitsPackedWords(const std::int32_t* k, int taps) {
  if (!isSymmetric(k, taps)) return false;
  const int r = taps / 2;
  std::int64_t sum = 0;
  for (int i = 0; i < taps; ++i) {
    if (k[i] < 0 || (i != r && k[i] > 32767)) return false;
    sum += k[i];
  }
  return k[r] <= 2 * 32767 && sum <= 65536;
}

// One version of the pass kernels; the scalar version has none and computes every row itself.
struct Kernels {
  void (*rowFixedPacked)(const std::uint8_t*, std::int32_t*, int, const std::int32_t*, int);
  void (*columnFixedPacked)(const std::int32_t* const*, std::uint8_t*, int, const std::int32_t*, int);
  void (*rowFixed)(const std::uint8_t*, std::int32_t*, int, const std::int32_t*, int);
  void (*columnFixed)(const std::int32_t* const*, std::uint8_t*, int, const std::int32_t*, int);
  void (*rowFloat)(const std::uint8_t*, double*, int, const double*, int, double*);
  void (*columnFloat)(const double* const*, std::uint8_t*, int, int, const double*, int);
  void (*columnFloatPair)(const double* const*, std::uint8_t*, std::uint8_t*, int, int, const double*, int);
};

const Kernels kScalar{};
const Kernels kAvx2{&kernels::blurRowFixedPackedAVX2, &kernels::blurColumnFixedPackedAVX2, &kernels::blurRowFixedAVX2,
                    &kernels::blurColumnFixedAVX2,     &kernels::blurRowFloatAVX2,           &kernels::blurColumnFloatAVX2,
                    &kernels::blurColumnFloatPairAVX2};

const Kernels& activeKernels() { return Cpu::useAVX2() ? kAvx2 : kScalar; }

// Window row holding intermediate row y.
template <typename P>
P* windowRow(Image<P>& window, std::uint32_t y) {
  return window.row(y % window.height);
}
template <typename P>
const P* windowRow(const Image<P>& window, std::uint32_t y) {
  return window.row(y % window.height);
}

}  // namespace

bool gaussianKernel(std::int32_t kernelSize, double sigma, double* weights) {
  if (kernelSize != 3 && kernelSize != 5 && kernelSize != 7) return false;
  const int r = kernelSize / 2;
  const double s2 = 2.0 * sigma * sigma;
  double raw[ConvolutionFilter::kMaxTaps];
  double sum = 0.0;
  for (int x = -r; x <= r; ++x) {
    raw[x + r] = std::exp(-static_cast<double>(x * x + r * r) / s2) / (s2 * kPi);
    sum += raw[x + r];
  }
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    // The Gaussian has degenerated (sigma zero or too small for any sample to survive): its
    // limit is the identity kernel.
    for (int i = 0; i < kernelSize; ++i) weights[i] = (i == r) ? 1.0 : 0.0;
    return true;
  }
  for (int i = 0; i < kernelSize; ++i) weights[i] = raw[i] / sum;
  return true;
}

ConvolutionFilter::ConvolutionFilter(int taps, const double* weights, std::uint8_t useFixedPoint)
    : fixedPoint(useFixedPoint), taps_(taps) {
  for (int i = 0; i < taps_; ++i) {
    rowWeights[i] = weights[i];
    columnWeights[i] = weights[i];
    if (fixedPoint) {
      fixedRowWeights[i] = static_cast<std::int32_t>(rowWeights[i] * 65536.0);
      fixedColumnWeights[i] = static_cast<std::int32_t>(columnWeights[i] * 65536.0);
    }
  }
}

bool ConvolutionFilter::packedFixedWindow() const {
  return activeKernels().rowFixedPacked != nullptr && fitsPackedWords(fixedRowWeights, taps_) &&
         fitsPackedWords(fixedColumnWeights, taps_);
}

void ConvolutionFilter::horizontalPassFixed(const ImageGray& src, ImageInt& tmp, std::uint32_t rowBegin,
                                            std::uint32_t rowEnd) const {
  const int r = radius();
  const int width = static_cast<int>(src.width);
  const int innerBegin = r;
  const int innerEnd = width - r > r ? width - r : r;  // columns [r, width - r), possibly none
  const Kernels& k = activeKernels();
  const bool packed = packedFixedWindow();
  const bool simd = !packed && k.rowFixed != nullptr && isSymmetric(fixedRowWeights, taps_);
  for (std::uint32_t y = rowBegin; y < rowEnd; ++y) {
    const uchar* s = src.row(y)->c;
    std::int32_t* t = &windowRow(tmp, y)->c[0];
    if (packed) {
      k.rowFixedPacked(s, t, width, fixedRowWeights, taps_);
      continue;
    }
    for (int x = 0; x < innerBegin && x < width; ++x) t[x] = 0;
    for (int x = innerEnd; x < width; ++x) t[x] = 0;
    if (simd) {
      k.rowFixed(s, t, width, fixedRowWeights, taps_);
      continue;
    }
    for (int x = innerBegin; x < innerEnd; ++x) {
      std::int32_t sum = 0;
      for (int i = 0; i < taps_; ++i) sum += static_cast<std::int32_t>(s[x - r + i]) * fixedRowWeights[i];
      t[x] = sum >> 16;
    }
  }
}

void ConvolutionFilter::verticalPassFixed(const ImageInt& tmp, ImageGray& dst, std::uint32_t rowBegin,
                                          std::uint32_t rowEnd) const {
  const int r = radius();
  const int width = static_cast<int>(tmp.width);
  const Kernels& k = activeKernels();
  const bool packed = packedFixedWindow();
  const bool simd = !packed && k.columnFixed != nullptr && isSymmetric(fixedColumnWeights, taps_);
  const std::int32_t* rows[kMaxTaps];
  for (std::uint32_t y = rowBegin; y < rowEnd; ++y) {
    for (int i = 0; i < taps_; ++i) {
      rows[i] = &windowRow(tmp, y - static_cast<std::uint32_t>(r) + static_cast<std::uint32_t>(i))->c[0];
    }
    uchar* d = dst.row(y)->c;
    if (packed) {
      k.columnFixedPacked(rows, d, width, fixedColumnWeights, taps_);
      continue;
    }
    if (simd) {
      k.columnFixed(rows, d, width, fixedColumnWeights, taps_);
      continue;
    }
    for (int x = 0; x < width; ++x) {
      std::int32_t sum = 0;
      for (int i = 0; i < taps_; ++i) sum += rows[i][x] * fixedColumnWeights[i];
      d[x] = static_cast<uchar>((sum + 32768) >> 16);
    }
  }
}

void ConvolutionFilter::horizontalPassFloat(const ImageGray& src, ImageDouble& tmp, std::uint32_t rowBegin,
                                            std::uint32_t rowEnd) const {
  const int r = radius();
  const int width = static_cast<int>(src.width);
  const Kernels& k = activeKernels();
  const bool simd = k.rowFloat != nullptr;
  if (simd && rowScratch_.size() < src.width) rowScratch_.resize(src.width);
  for (std::uint32_t y = rowBegin; y < rowEnd; ++y) {
    const uchar* s = src.row(y)->c;
    double* t = &windowRow(tmp, y)->c[0];
    if (simd) {
      k.rowFloat(s, t, width, rowWeights, taps_, rowScratch_.data());
      continue;
    }
    for (int x = r; x < width - r; ++x) {
      double sum = 0.0;
      for (int i = 0; i < taps_; ++i) sum += static_cast<double>(s[x - r + i]) * rowWeights[i];
      t[x] = sum;
    }
  }
}

void ConvolutionFilter::verticalPassFloat(const ImageDouble& tmp, ImageGray& dst, std::uint32_t rowBegin,
                                          std::uint32_t rowEnd) const {
  const int r = radius();
  const int width = static_cast<int>(tmp.width);
  if (width - r <= r) return;
  const Kernels& k = activeKernels();
  const bool simd = k.columnFloat != nullptr;
  const double* rows[kMaxTaps + 1];
  for (std::uint32_t y = rowBegin; y < rowEnd; ++y) {
    const bool pair = simd && y + 1 < rowEnd;
    for (int i = 0; i < taps_ + (pair ? 1 : 0); ++i) {
      rows[i] = &windowRow(tmp, y - static_cast<std::uint32_t>(r) + static_cast<std::uint32_t>(i))->c[0];
    }
    uchar* d = dst.row(y)->c;
    if (pair) {
      // Two output rows share all but one of their intermediate rows.
      k.columnFloatPair(rows, d, dst.row(y + 1)->c, r, width - r, columnWeights, taps_);
      ++y;
      continue;
    }
    if (simd) {
      k.columnFloat(rows, d, r, width - r, columnWeights, taps_);
      continue;
    }
    for (int x = r; x < width - r; ++x) {
      double sum = 0.0;
      for (int i = 0; i < taps_; ++i) sum += rows[i][x] * columnWeights[i];
      d[x] = static_cast<uchar>(static_cast<int>(sum));
    }
  }
}

void ConvolutionFilter::apply(const ImageGray& src, ImageGray& dst, FilterWorkspaceRef workspace) {
  if (src.isEmpty()) {
    LUMETRA_LOG_ERROR("Convolution filter: Input image is empty.");
    return;
  }
  if (dst.width != src.width || dst.height != src.height) dst.ensureSize(src.size());
  output = dst;

  const bool useWorkspace = workspace.first != nullptr && workspace.second != 0;
  const std::uint32_t height = src.height;
  const std::uint32_t r = static_cast<std::uint32_t>(radius());
  // Output rows [r, height - r) of the column pass; none when the picture is lower than the kernel.
  const std::uint32_t outBegin = r;
  const std::uint32_t outEnd = height > 2 * r ? height - r : r;

  // The row pass runs just ahead of the column pass through a window of intermediate rows:
  // output row y needs intermediate rows y - r .. y + r, and a window row is refilled only once
  // no pending output row needs it. The column pass reads only the window, and by the time it
  // writes output row y the row pass has finished with source row y, so the destination may be
  // the source itself.
  auto run = [&](auto& window, auto rowPass, auto columnPass) {
    const std::uint32_t rowBytes = std::max<std::uint32_t>(1, src.width * static_cast<std::uint32_t>(sizeof(*window.data)));
    const std::uint32_t windowRows = std::min(height, std::max(2 * r + 2, kWindowBytes / rowBytes));
    window.ensureSize(Vec2u(src.width, windowRows));
    std::uint32_t rowsDone = 0;
    std::uint32_t outDone = outBegin;
    while (rowsDone < height) {
      // The window holds rows from outDone - r on; rows up to outDone - r + windowRows fit.
      const std::uint32_t fit = outDone - r + windowRows;
      const std::uint32_t next = fit < height ? fit : height;
      (this->*rowPass)(src, window, rowsDone, next);
      rowsDone = next;
      if (rowsDone < r) continue;
      const std::uint32_t ready = rowsDone - r < outEnd ? rowsDone - r : outEnd;
      if (ready > outDone) {
        (this->*columnPass)(window, output, outDone, ready);
        outDone = ready;
      }
    }
  };
  if (fixedPoint) {
    ImageInt& window = useWorkspace ? workspace.first->intIntermediate : ownIntIntermediate;
    run(window, &ConvolutionFilter::horizontalPassFixed, &ConvolutionFilter::verticalPassFixed);
  } else {
    ImageDouble& window = useWorkspace ? workspace.first->doubleIntermediate : ownDoubleIntermediate;
    run(window, &ConvolutionFilter::horizontalPassFloat, &ConvolutionFilter::verticalPassFloat);
  }
}

void gaussianBlur(const ImageGray& src, ImageGray& dst, std::int32_t kernelSize, double sigma,
                  std::uint8_t useFixedPoint, FilterWorkspaceRef workspace) {
  double weights[ConvolutionFilter::kMaxTaps];
  if (!gaussianKernel(kernelSize, sigma, weights)) {
    LUMETRA_LOG_ERROR("Gaussian kernel size {} not supported!", kernelSize);
    return;
  }
  try {
    ConvolutionFilter filter(kernelSize, weights, useFixedPoint);
    filter.apply(src, dst, workspace);
  } catch (const std::bad_alloc&) {
    LUMETRA_LOG_ERROR("Convolution filter: out of memory for a {} x {} image.", src.width, src.height);
  }
}

}  // namespace Lumetra
