#include "Feature/FastCornerDetector.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "Core/CpuFeatures.h"
#include "Core/Profiler.h"
#include "Feature/FastScore.h"

namespace Lumetra {
namespace detail {

// Row kernels of the other sources (FastCornerDetector_avx2.cpp, FastCornerDetector_sse41.cpp).
int fastRowAvx2(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
                std::uint8_t* scoreRow, std::int32_t* cols);
int fastRowSse(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
               std::uint8_t* scoreRow, std::int32_t* cols);
int fastSuppressRowAvx2(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below, int width,
                        const std::int32_t* cols, int count, std::int32_t* kept);
int fastSuppressRowSse(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below, int width,
                       const std::int32_t* cols, int count, std::int32_t* kept);
int fastPixelScoreSse(const std::uint8_t* p, const std::int32_t* offsets);

namespace {

constexpr std::size_t kReservedCorners = 8500;

int fastRowScalar(const std::uint8_t* row, int width, const std::int32_t* offsets, std::uint8_t threshold,
                  std::uint8_t* scoreRow, std::int32_t* cols) {
  return fastdetail::detectColumnsScalar(row, 3, width - 3, offsets, threshold, scoreRow, cols);
}

using RowKernel = int (*)(const std::uint8_t*, int, const std::int32_t*, std::uint8_t, std::uint8_t*, std::int32_t*);
using SuppressKernel = int (*)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, int, const std::int32_t*,
                               int, std::int32_t*);

// One version of the scan: the row detection and, for the vector versions, a whole-row
// suppression (the scalar version walks the row's corner list instead).
struct Kernels {
  RowKernel row;
  SuppressKernel suppress;
};

const Kernels kScalar{&fastRowScalar, nullptr};
const Kernels kSse{&fastRowSse, &fastSuppressRowSse};
const Kernels kAvx2{&fastRowAvx2, &fastSuppressRowAvx2};

// The scan shared by every version: rows 3 to height - 4 are detected; row i keeps its
// scores and corner columns in slot i mod 3, and with suppression row i - 1 is decided as
// soon as row i is known. Non-corners have score 0 in the score rows, and the row before the
// first scanned row and the row after the last one stay 0.
void scan(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
          std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode,
          const Kernels& kernels) {
  if (corners.capacity() < kReservedCorners) corners.reserve(kReservedCorners);
  if (data == nullptr || width < 7 || height < 7) return;

  const std::array<std::int32_t, 16> offsets = makeCircleOffsets(rowBytes);
  const std::size_t w = static_cast<std::size_t>(width);
  // One allocation: three corner column lists and the list of kept columns, then three
  // score rows.
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[4 * w * sizeof(std::int32_t) + 3 * w]());
  std::int32_t* cols[3];
  std::uint8_t* scores[3];
  int counts[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    cols[k] = reinterpret_cast<std::int32_t*>(buffer.get()) + k * w;
    scores[k] = buffer.get() + 4 * w * sizeof(std::int32_t) + k * w;
  }
  std::int32_t* kept = reinterpret_cast<std::int32_t*>(buffer.get()) + 3 * w;

  for (std::int32_t i = 3; i <= height - 3; ++i) {
    const int slot = i % 3;
    std::memset(scores[slot], 0, w);
    counts[slot] = 0;
    if (i < height - 3) {
      const std::uint8_t* row = data + static_cast<std::ptrdiff_t>(i) * rowBytes;
      counts[slot] = kernels.row(row, width, offsets.data(), threshold, scores[slot], cols[slot]);
      if (mode == FastMode::Raw) {
        for (int k = 0; k < counts[slot]; ++k) corners.push_back(Corner{cols[slot][k], rowOffset + i, 0});
      }
    }
    if (mode == FastMode::Suppressed && i > 3 && counts[(i - 1) % 3] > 0) {
      const int mid = (i - 1) % 3;
      const std::uint8_t* above = scores[(i - 2) % 3];
      const std::uint8_t* here = scores[mid];
      const std::uint8_t* below = scores[slot];
      if (kernels.suppress != nullptr) {
        const int n = kernels.suppress(above, here, below, width, cols[mid], counts[mid], kept);
        for (int k = 0; k < n; ++k) corners.push_back(Corner{kept[k], rowOffset + i - 1, here[kept[k]]});
        continue;
      }
      for (int k = 0; k < counts[mid]; ++k) {
        const std::int32_t j = cols[mid][k];
        const std::uint8_t s = here[j];
        if (s > here[j - 1] && s > here[j + 1] && s > above[j - 1] && s > above[j] && s > above[j + 1] &&
            s > below[j - 1] && s > below[j] && s > below[j + 1]) {
          corners.push_back(Corner{j, rowOffset + i - 1, s});
        }
      }
    }
  }
}

const Kernels& activeKernels() {
  if (Cpu::useAVX2()) return kAvx2;
  if (Cpu::useSSE41()) return kSse;
  return kScalar;
}

}  // namespace

void fastDetectScalar(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                      std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode) {
  scan(data, width, rowOffset, height, rowBytes, corners, threshold, mode, kScalar);
}

void fastDetectAvx2(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                    std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode) {
  // Never run AVX2 code on a processor without it: fall back to the next best version.
  scan(data, width, rowOffset, height, rowBytes, corners, threshold, mode,
       Cpu::detected() >= Cpu::SimdLevel::AVX2 ? kAvx2 : kScalar);
}

void fastDetectSse(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                   std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold, FastMode mode) {
  scan(data, width, rowOffset, height, rowBytes, corners, threshold, mode,
       Cpu::detected() >= Cpu::SimdLevel::SSE41 ? kSse : kScalar);
}

}  // namespace detail

std::array<std::int32_t, 16> makeCircleOffsets(std::int32_t rowBytes) {
  static constexpr int kCircle[16][2] = {{0, 3},  {1, 3},   {2, 2},   {3, 1},   {3, 0},   {3, -1}, {2, -2}, {1, -3},
                                         {0, -3}, {-1, -3}, {-2, -2}, {-3, -1}, {-3, 0}, {-3, 1}, {-2, 2}, {-1, 3}};
  std::array<std::int32_t, 16> offsets{};
  for (int k = 0; k < 16; ++k) offsets[k] = kCircle[k][1] * rowBytes + kCircle[k][0];
  return offsets;
}

void fastDetectSse41(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                     std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold) {
  detail::scan(data, width, rowOffset, height, rowBytes, corners, threshold, detail::FastMode::Suppressed,
               detail::activeKernels());
}

void fastDetectSse2(const std::uint8_t* data, std::int32_t width, std::int32_t rowOffset, std::int32_t height,
                    std::int32_t rowBytes, std::vector<Corner>& corners, std::uint8_t threshold) {
  detail::scan(data, width, rowOffset, height, rowBytes, corners, threshold, detail::FastMode::Raw,
               detail::activeKernels());
}

void FastCornerDetector::runAVX2(const ImageGray& view, std::uint8_t threshold, bool suppress) {
  PROFILE_BLOCK("Lumetra::FastCornerDetector::runAVX2");
  std::vector<Corner>& out = suppress ? cornersSuppressed : cornersRaw;
  out.clear();
  if (out.capacity() < detail::kReservedCorners) out.reserve(detail::kReservedCorners);
  if (view.isEmpty()) return;
  const auto* data = reinterpret_cast<const std::uint8_t*>(view.data);
  const auto width = static_cast<std::int32_t>(view.width);
  const auto height = static_cast<std::int32_t>(view.height);
  const auto rowBytes = static_cast<std::int32_t>(view.rowBytes);
  if (suppress) {
    fastDetectSse41(data, width, 0, height, rowBytes, out, threshold);
  } else {
    fastDetectSse2(data, width, 0, height, rowBytes, out, threshold);
  }
}

namespace {

inline std::int32_t scoreAtLeast(std::int32_t s, std::int32_t threshold) { return s - 1 > threshold ? s - 1 : threshold; }

}  // namespace

std::int32_t fast9CornerScore(const std::uint8_t* center, const std::int32_t* offsets, std::int32_t threshold) {
  const std::int32_t s =
      Cpu::useSSE41() ? detail::fastPixelScoreSse(center, offsets) : fastdetail::pixelScore(center, offsets);
  return scoreAtLeast(s, threshold);
}

void scoreCorners(const ImageGray& image, std::vector<Corner>& corners, std::int32_t threshold) {
  if (image.isEmpty()) {
    for (Corner& c : corners) c.score = threshold;
    return;
  }
  const std::array<std::int32_t, 16> offsets = makeCircleOffsets(static_cast<std::int32_t>(image.rowBytes));
  const auto* data = reinterpret_cast<const std::uint8_t*>(image.data);
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  const bool sse = Cpu::useSSE41();
  for (Corner& c : corners) {
    if (c.x < 3 || c.y < 3 || c.x >= w - 3 || c.y >= h - 3) {
      c.score = threshold;
      continue;
    }
    const std::uint8_t* centre = data + static_cast<std::ptrdiff_t>(c.y) * image.rowBytes + c.x;
    const std::int32_t s =
        sse ? detail::fastPixelScoreSse(centre, offsets.data()) : fastdetail::pixelScore(centre, offsets.data());
    c.score = scoreAtLeast(s, threshold);
  }
}

}  // namespace Lumetra
