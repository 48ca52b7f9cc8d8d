#include "Image/ImageOP.h"

#include "Core/CpuFeatures.h"
#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Image/ImageKernels.h"

#include <cmath>
#include <new>

namespace Lumetra {

namespace {

// Source index of destination index i in the 2/3 reduction: 0, 2, 3, 5, 6, 8, 9, ...
inline std::uint32_t twoThirdsIndex(std::uint32_t i) { return (3 * i + 1) / 2; }

void downsampleHalfRowScalar(const uchar* r0, const uchar* r1, uchar* d, int from, int dw) {
  for (int x = from; x < dw; ++x) {
    const int sum = r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1];
    d[x] = static_cast<uchar>(sum >> 2);
  }
}

void downsampleTwoThirdsRowScalar(const uchar* top, const uchar* bottom, uchar* d, int from, int dw, int sw) {
  const std::uint32_t last = static_cast<std::uint32_t>(sw - 1);
  for (int x = from; x < dw; ++x) {
    const std::uint32_t c0 = twoThirdsIndex(static_cast<std::uint32_t>(x));
    std::uint32_t c1 = twoThirdsIndex(static_cast<std::uint32_t>(x) + 1);
    if (c1 > last) c1 = last;
    const int sum = top[c0] + 2 * top[c1] + 2 * bottom[c0] + 4 * bottom[c1];
    d[x] = static_cast<uchar>((sum * 3641 + 16384) >> 15);
  }
}

int noRow(const uchar*, const uchar*, uchar*, int) { return 0; }
int noTwoThirdsRow(const uchar*, const uchar*, uchar*, int, int) { return 0; }
int noBlendRow(const uchar*, const uchar*, uchar*, int, double) { return 0; }
bool resizeBilinearAVX2(const ImageGray& src, ImageGray& dst);
bool noBilinear(const ImageGray&, ImageGray&) { return false; }

// One version of the row kernels: each returns how much of the row it did (the bilinear resize
// whether it did the whole image), and the scalar code does the rest.
struct Kernels {
  int (*downsampleHalfRow)(const uchar*, const uchar*, uchar*, int);
  int (*downsampleTwoThirdsRow)(const uchar*, const uchar*, uchar*, int, int);
  bool (*resizeBilinear)(const ImageGray&, ImageGray&);
  int (*blendRow)(const uchar*, const uchar*, uchar*, int, double);
};

const Kernels kScalar{&noRow, &noTwoThirdsRow, &noBilinear, &noBlendRow};
const Kernels kSse41{&kernels::downsampleHalfRowSSE41, &kernels::downsampleTwoThirdsRowSSE41, &noBilinear,
                     &noBlendRow};
const Kernels kAvx2{&kernels::downsampleHalfRowAVX2, &kernels::downsampleTwoThirdsRowAVX2, &resizeBilinearAVX2,
                    &kernels::blendRowAVX2};

const Kernels& activeKernels() {
  if (Cpu::useAVX2()) return kAvx2;
  if (Cpu::useSSE41()) return kSse41;
  return kScalar;
}

// Position of destination index i: the running sum of `step` (i additions, from 0.0).
struct Sample {
  std::int32_t index;  // floor of the position, at most `last`
  double fraction;     // position - index
};

inline Sample sampleAt(double position, std::int32_t last) {
  std::int32_t index = static_cast<std::int32_t>(std::floor(position));
  // Rounding in the running sum can never carry the position past the last index for sizes the
  // system uses, but an out-of-range read must not be possible at all.
  if (index > last) index = last;
  return Sample{index, position - index};
}

template <int N>
void resizeBilinearScalar(const Image<Pixel<uchar, N>>& src, Image<Pixel<uchar, N>>& dst) {
  const double sx = static_cast<double>(static_cast<std::int32_t>(src.width)) /
                    static_cast<double>(static_cast<std::int32_t>(dst.width));
  const double sy = static_cast<double>(static_cast<std::int32_t>(src.height)) /
                    static_cast<double>(static_cast<std::int32_t>(dst.height));
  const std::int32_t lastX = static_cast<std::int32_t>(src.width) - 1;
  const std::int32_t lastY = static_cast<std::int32_t>(src.height) - 1;
  double fy = 0.0;
  for (std::uint32_t y = 0; y < dst.height; ++y, fy += sy) {
    const Sample sampleY = sampleAt(fy, lastY);
    const std::int32_t y1 = sampleY.index + 1 > lastY ? lastY : sampleY.index + 1;
    const Pixel<uchar, N>* row0 = src.row(static_cast<std::uint32_t>(sampleY.index));
    const Pixel<uchar, N>* row1 = src.row(static_cast<std::uint32_t>(y1));
    Pixel<uchar, N>* out = dst.row(y);
    double fx = 0.0;
    for (std::uint32_t x = 0; x < dst.width; ++x, fx += sx) {
      const Sample sampleX = sampleAt(fx, lastX);
      const std::int32_t x0 = sampleX.index;
      const std::int32_t x1 = x0 + 1 > lastX ? lastX : x0 + 1;
      for (int c = 0; c < N; ++c) {
        const double p00 = row0[x0][c];
        const double p01 = row0[x1][c];
        const double p10 = row1[x0][c];
        const double p11 = row1[x1][c];
        const double top = (p01 - p00) * sampleX.fraction + p00;
        const double bottom = (p11 - p10) * sampleX.fraction + p10;
        const double value = (bottom - top) * sampleY.fraction + top;
        out[x][c] = static_cast<uchar>(static_cast<int>(value));
      }
    }
  }
}

// Separable form of the same formula: each needed source row is interpolated horizontally once
// (the value the formula calls top or bottom), then pairs of such rows vertically. Per-call
// tables and row buffers live in per-thread scratch space that only grows.
struct BilinearScratch {
  std::vector<std::int32_t> x0;
  std::vector<double> ax;
  std::vector<std::uint8_t> masks;
  std::vector<double> rows[2];
};

bool resizeBilinearAVX2(const ImageGray& src, ImageGray& dst) {
  thread_local BilinearScratch scratch;
  const int sw = static_cast<int>(src.width);
  const int dw = static_cast<int>(dst.width);
  try {
    scratch.x0.resize(static_cast<std::size_t>(dw));
    scratch.ax.resize(static_cast<std::size_t>(dw));
    scratch.rows[0].resize(static_cast<std::size_t>(dw));
    scratch.rows[1].resize(static_cast<std::size_t>(dw));
    scratch.masks.resize(static_cast<std::size_t>(dw / 8) * 16);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const double sx = static_cast<double>(static_cast<std::int32_t>(src.width)) / static_cast<double>(dw);
  const double sy = static_cast<double>(static_cast<std::int32_t>(src.height)) /
                    static_cast<double>(static_cast<std::int32_t>(dst.height));
  const std::int32_t lastX = sw - 1;
  const std::int32_t lastY = static_cast<std::int32_t>(src.height) - 1;
  // Leading columns whose four-byte gather stays inside the source row.
  int gatherCount = 0;
  double fx = 0.0;
  for (int x = 0; x < dw; ++x, fx += sx) {
    const Sample s = sampleAt(fx, lastX);
    scratch.x0[static_cast<std::size_t>(x)] = s.index;
    scratch.ax[static_cast<std::size_t>(x)] = s.fraction;
    if (s.index + 3 <= lastX && gatherCount == x) gatherCount = x + 1;
  }
  // Leading blocks of 8 columns whose two neighbours lie within one 16-byte load inside the row:
  // they pick their bytes with a shuffle (a reduction by up to about 1.8 qualifies).
  int shuffleCount = 0;
  for (int b = 0; 8 * (b + 1) <= dw; ++b) {
    const std::int32_t* x0 = scratch.x0.data() + 8 * b;
    if (x0[7] + 1 - x0[0] > 15 || x0[0] + 15 > lastX) break;
    std::uint8_t* mask = scratch.masks.data() + 16 * b;
    for (int k = 0; k < 8; ++k) {
      mask[k] = static_cast<std::uint8_t>(x0[k] - x0[0]);
      mask[8 + k] = static_cast<std::uint8_t>(x0[k] + 1 - x0[0]);
    }
    shuffleCount = 8 * (b + 1);
  }
  if (gatherCount < shuffleCount) gatherCount = shuffleCount;
  auto interpolateRow = [&](std::int32_t sourceRow, double* out) {
    const uchar* row = src.row(static_cast<std::uint32_t>(sourceRow))->c;
    kernels::bilinearHorizontalShuffleAVX2(row, scratch.x0.data(), scratch.masks.data(), scratch.ax.data(), out,
                                           shuffleCount);
    kernels::bilinearHorizontalAVX2(row, scratch.x0.data() + shuffleCount, scratch.ax.data() + shuffleCount,
                                    out + shuffleCount, gatherCount - shuffleCount);
    for (int x = gatherCount; x < dw; ++x) {
      const std::int32_t x0 = scratch.x0[static_cast<std::size_t>(x)];
      const std::int32_t x1 = x0 + 1 > lastX ? lastX : x0 + 1;
      const double p0 = row[x0];
      const double p1 = row[x1];
      out[x] = (p1 - p0) * scratch.ax[static_cast<std::size_t>(x)] + p0;
    }
  };
  std::int32_t held[2] = {-1, -1};  // source row interpolated into scratch.rows[slot]
  // Slot holding source row `row`, interpolating it into the slot not holding `keep` if needed.
  auto rowSlot = [&](std::int32_t row, std::int32_t keep) {
    if (held[0] == row) return 0;
    if (held[1] == row) return 1;
    const int slot = held[0] == keep ? 1 : 0;
    interpolateRow(row, scratch.rows[slot].data());
    held[slot] = row;
    return slot;
  };
  double fy = 0.0;
  for (std::uint32_t y = 0; y < dst.height; ++y, fy += sy) {
    const Sample s = sampleAt(fy, lastY);
    const std::int32_t y1 = s.index + 1 > lastY ? lastY : s.index + 1;
    const int topSlot = rowSlot(s.index, y1);
    const int bottomSlot = rowSlot(y1, s.index);
    const double* rowOf[2] = {scratch.rows[topSlot].data(), scratch.rows[bottomSlot].data()};
    kernels::bilinearVerticalAVX2(rowOf[0], rowOf[1], s.fraction, dst.row(y)->c, dw);
  }
  return true;
}

}  // namespace

bool resizeBilinear(const ImageGray& src, ImageGray& dst) {
  if (src.isEmpty() || dst.isEmpty()) return false;
  if (activeKernels().resizeBilinear(src, dst)) return true;
  resizeBilinearScalar(src, dst);
  return true;
}

bool resizeBilinear(const ImageRGB& src, ImageRGB& dst) {
  if (src.isEmpty() || dst.isEmpty()) return false;
  resizeBilinearScalar(src, dst);
  return true;
}

bool downsampleHalf(const ImageGray& src, ImageGray& dst) {
  if (src.isEmpty() || dst.isEmpty()) return false;
  if (dst.width > src.width / 2 || dst.height > src.height / 2) return false;
  const int dw = static_cast<int>(dst.width);
  const Kernels& k = activeKernels();
  for (std::uint32_t y = 0; y < dst.height; ++y) {
    const uchar* r0 = src.row(2 * y)->c;
    const uchar* r1 = src.row(2 * y + 1)->c;
    uchar* d = dst.row(y)->c;
    downsampleHalfRowScalar(r0, r1, d, k.downsampleHalfRow(r0, r1, d, dw), dw);
  }
  return true;
}

bool downsampleTwoThirds(const ImageGray& src, ImageGray& dst) {
  if (src.isEmpty() || dst.isEmpty()) return false;
  if (src.height < 3) return false;
  if (twoThirdsIndex(dst.width - 1) >= src.width || twoThirdsIndex(dst.height - 1) >= src.height) return false;
  const int dw = static_cast<int>(dst.width);
  const int sw = static_cast<int>(src.width);
  const std::uint32_t lastY = src.height - 1;
  const Kernels& k = activeKernels();
  for (std::uint32_t y = 0; y < dst.height; ++y) {
    const std::uint32_t c0 = twoThirdsIndex(y);
    std::uint32_t c1 = twoThirdsIndex(y + 1);
    if (c1 > lastY) c1 = lastY;
    const uchar* top = src.row(c0)->c;
    const uchar* bottom = src.row(c1)->c;
    uchar* d = dst.row(y)->c;
    downsampleTwoThirdsRowScalar(top, bottom, d, k.downsampleTwoThirdsRow(top, bottom, d, dw, sw), dw, sw);
  }
  return true;
}

bool downsampleThreeQuarters(const ImageGray& src, ImageGray& dst) {
  if (src.isEmpty() || dst.isEmpty()) return false;
  return resizeBilinear(src, dst);
}

bool resizeImage(const ImageGray& src, ImageGray& dst) {
  if (src.isEmpty() || dst.isEmpty()) return false;
  const std::uint32_t sw = src.width, sh = src.height, dw = dst.width, dh = dst.height;
  if (dw == sw * 50 / 100 && dh == sh * 50 / 100) return downsampleHalf(src, dst);
  if (dw == sw * 66 / 100 && dh == sh * 66 / 100) return downsampleTwoThirds(src, dst);
  if (dw == sw * 75 / 100 && dh == sh * 75 / 100) return downsampleThreeQuarters(src, dst);
  return resizeBilinear(src, dst);
}

bool BuildImagePyramid(const ImageGray& src, std::vector<ImageGray>& levels, std::uint8_t numLevels, double ratio) {
  PROFILE_BLOCK("BuildImagePyramid");
  if (src.isEmpty()) return false;
  try {
    levels.reserve(levels.size() + numLevels);
    levels.push_back(src);
    if (numLevels < 2) return true;
    for (unsigned made = 1; made < numLevels; ++made) {
      const ImageGray& previous = levels.back();
      const double w = static_cast<double>(previous.width) * ratio;
      const double h = static_cast<double>(previous.height) * ratio;
      // Compare before converting: a ratio above 1 must not overflow the conversion either.
      if (!(w >= 5.0) || !(h >= 5.0) || !(w < 4294967296.0) || !(h < 4294967296.0)) {
        LUMETRA_LOG_ERROR("Size is too small");
        return false;
      }
      ImageGray level;
      level.create(Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)));
      if (!resizeImage(previous, level)) return false;
      levels.push_back(level);
    }
  } catch (const std::bad_alloc&) {
    LUMETRA_LOG_ERROR("BuildImagePyramid: out of memory");
    return false;
  }
  return true;
}

ImageRGB blendImages(const ImageRGB& a, const ImageRGB& b, double t) {
  ImageRGB result;
  try {
    result.create(Vec2u(a.width, a.height));
  } catch (const std::bad_alloc&) {
    return ImageRGB();
  }
  if (a.isEmpty() || b.isEmpty() || a.width != b.width || a.height != b.height) return result;
  if (t > 1.0) return result;
  const double u = 1.0 - t;
  const Kernels& k = activeKernels();
  const int count = static_cast<int>(3 * a.width);
  // Rows are walked with each image's stride, so views blend as correctly as whole images.
  for (std::uint32_t y = 0; y < a.height; ++y) {
    const uchar* pa = a.row(y)->c;
    const uchar* pb = b.row(y)->c;
    uchar* out = result.row(y)->c;
    for (int i = k.blendRow(pa, pb, out, count, t); i < count; ++i) {
      const double v = static_cast<double>(pb[i]) * u + static_cast<double>(pa[i]) * t;
      // A negative weight can give a negative value: clamp it at 0 rather than wrap around.
      out[i] = v > 255.0 ? uchar(255) : (v > 0.0 ? static_cast<uchar>(static_cast<int>(v)) : uchar(0));
    }
  }
  return result;
}

}  // namespace Lumetra
