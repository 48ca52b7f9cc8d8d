#include "Feature/BinaryDescriptor.h"

#include <cmath>
#include <cstddef>

#include "Core/CpuFeatures.h"
#include "Core/Angles.h"
#include "Feature/SamplingPattern.h"

namespace Lumetra {
namespace descriptor_avx2 {

// BinaryDescriptor_avx2.cpp: the same sums and tests as patchMoments and runTests below.
void patchMoments(const std::uint8_t* centre, std::ptrdiff_t step, const std::int32_t* umax, std::int32_t& m10,
                  std::int32_t& m01);
void runTests(const std::uint8_t* centre, std::ptrdiff_t stride, const PatternPoint* points, std::uint8_t* out);

}  // namespace descriptor_avx2

namespace {

constexpr int kPatchRadius = 15;
constexpr int kDescriptorMargin = 18;
constexpr float kTwoPi = 6.2831855f;

bool insideMargin(const ImageGray& image, const Vec2i& p, int margin) {
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  return !image.isEmpty() && p.x() >= margin && p.x() < w - margin && p.y() >= margin && p.y() < h - margin;
}

// Rotation of a pattern point with products and difference in single precision and the
// rounding offset added in double precision (the whole-degree table).
inline std::int32_t roundTableCoordinate(float value) {
  return static_cast<std::int32_t>(static_cast<double>(value) + 0.5);
}

// Rotation wholly in single precision (the exact path).
inline std::int32_t roundExactCoordinate(float value) { return static_cast<std::int32_t>(value + 0.5f); }

// The 256 tests with the rotated points given as (x, y) pairs.
template <class PointAt>
void runTestsScalar(const ImageGray& image, const Vec2i& p, PointAt pointAt, BinaryDescriptor& out) {
  const auto* centre = reinterpret_cast<const std::uint8_t*>(image.data) +
                       static_cast<std::ptrdiff_t>(p.y()) * image.stride + p.x();
  const std::ptrdiff_t stride = image.stride;
  for (int i = 0; i < 32; ++i) {
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) {
      const int k = 8 * i + j;
      const PatternPoint a = pointAt(2 * k);
      const PatternPoint b = pointAt(2 * k + 1);
      const std::uint8_t va = centre[a.y * stride + a.x];
      const std::uint8_t vb = centre[b.y * stride + b.x];
      byte |= static_cast<unsigned>(va < vb) << j;
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(byte);
  }
}

// The vector kernels address pixels with 32-bit offsets of at most 18 rows.
constexpr std::ptrdiff_t kMaxVectorStride = std::ptrdiff_t(1) << 24;

// The 256 tests with the rotated points stored in pair order.
void runTests(const ImageGray& image, const Vec2i& p, const PatternPoint* points, BinaryDescriptor& out) {
  if (Cpu::useAVX2() && image.stride <= kMaxVectorStride) {
    const auto* centre = reinterpret_cast<const std::uint8_t*>(image.data) +
                         static_cast<std::ptrdiff_t>(p.y()) * image.stride + p.x();
    descriptor_avx2::runTests(centre, image.stride, points, out.data());
    return;
  }
  runTestsScalar(image, p, [points](int i) { return points[i]; }, out);
}

// m10 and m01 of the disc, rows paired symmetrically around the centre.
void patchMoments(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& p, std::int32_t& m10,
                  std::int32_t& m01) {
  const std::ptrdiff_t step = image.rowBytes;
  const auto* centre =
      reinterpret_cast<const std::uint8_t*>(image.data) + static_cast<std::ptrdiff_t>(p.y()) * step + p.x();
  std::int32_t sumX = 0;
  std::int32_t sumY = 0;
  for (int u = -kPatchRadius; u <= kPatchRadius; ++u) sumX += u * centre[u];
  for (int v = 1; v <= kPatchRadius; ++v) {
    const std::uint8_t* below = centre + v * step;
    const std::uint8_t* above = centre - v * step;
    const int d = table.umax[static_cast<std::size_t>(v)];
    std::int32_t rowDiff = 0;
    for (int u = -d; u <= d; ++u) {
      const int b = below[u];
      const int a = above[u];
      sumX += u * (b + a);
      rowDiff += b - a;
    }
    sumY += v * rowDiff;
  }
  m10 = sumX;
  m01 = sumY;
}

// The angle of the patch's intensity centroid (m10, m01).
float momentAngle(std::int32_t m10, std::int32_t m01) {
  return fastAtan2(static_cast<float>(m01), static_cast<float>(m10));
}

}  // namespace

void buildRotatedPatterns(RotatedPatternTable& table, bool precompute) {
  // Half-widths of the disc: rounded circle up to vmax, then mirrored from the columns so that
  // the disc is symmetric under swapping rows and columns.
  const float h = static_cast<float>(kPatchRadius) * std::sqrt(2.0f) / 2.0f;
  const int vmax = static_cast<int>(std::floor(h + 1.0f));
  const int vmin = static_cast<int>(std::ceil(h));
  table.umax.fill(0);
  for (int v = 0; v <= vmax; ++v) {
    table.umax[static_cast<std::size_t>(v)] =
        static_cast<std::int32_t>(std::lround(std::sqrt(static_cast<double>(kPatchRadius * kPatchRadius - v * v))));
  }
  for (int v = kPatchRadius, w = 0; v >= vmin; --v) {
    while (table.umax[static_cast<std::size_t>(w)] == table.umax[static_cast<std::size_t>(w + 1)]) ++w;
    table.umax[static_cast<std::size_t>(v)] = w;
    ++w;
  }

  table.patterns.clear();
  if (!precompute) return;
  table.patterns.reserve(360);
  for (std::int32_t degree = 0; degree < 360; ++degree) {
    const float angle = static_cast<float>(degree) * kPiF / 180.0f;
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    std::vector<PatternPoint> points(kDescriptorTests * 2);
    for (int i = 0; i < kDescriptorTests * 2; ++i) {
      const float x = kSamplingPattern[2 * i];
      const float y = kSamplingPattern[2 * i + 1];
      const float rx = x * c - y * s;
      const float ry = y * c + x * s;
      points[static_cast<std::size_t>(i)] = PatternPoint{roundTableCoordinate(rx), roundTableCoordinate(ry)};
    }
    table.patterns.emplace(degree, std::move(points));
  }
}

namespace {

std::shared_ptr<const RotatedPatternTable> makeRotatedPatterns(bool precompute) {
  auto table = std::make_shared<RotatedPatternTable>();
  buildRotatedPatterns(*table, precompute);
  return table;
}

}  // namespace

std::shared_ptr<const RotatedPatternTable> sharedRotatedPatterns(bool precompute) {
  // Each table is built on its first request only.
  if (precompute) {
    static const std::shared_ptr<const RotatedPatternTable> withPatterns = makeRotatedPatterns(true);
    return withPatterns;
  }
  static const std::shared_ptr<const RotatedPatternTable> discOnly = makeRotatedPatterns(false);
  return discOnly;
}

float patchOrientation(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& point) {
  if (!insideMargin(image, point, kPatchRadius)) return 0.0f;
  std::int32_t m10 = 0;
  std::int32_t m01 = 0;
  // The vector version reads 32 bytes from 15 pixels left of the centre: the row must reach 16
  // pixels right of it.
  if (Cpu::useAVX2() && static_cast<std::int64_t>(point.x()) + kPatchRadius + 1 < static_cast<std::int64_t>(image.width) &&
      image.rowBytes <= kMaxVectorStride) {
    const std::ptrdiff_t step = image.rowBytes;
    const auto* centre = reinterpret_cast<const std::uint8_t*>(image.data) +
                         static_cast<std::ptrdiff_t>(point.y()) * step + point.x();
    descriptor_avx2::patchMoments(centre, step, table.umax.data(), m10, m01);
  } else {
    patchMoments(table, image, point, m10, m01);
  }
  return momentAngle(m10, m01);
}

std::int32_t wholeDegree(float radians) {
  float r = radians;
  if (r < 0.0f) r += kTwoPi;
  const float degrees = r * 180.0f / kPiF;
  const auto degree = static_cast<std::int32_t>(degrees);
  return degree >= 360 ? 0 : degree;
}

bool computeRotatedBinaryDescriptor(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& point,
                                    BinaryDescriptor& out) {
  if (!insideMargin(image, point, kDescriptorMargin) || table.patterns.empty()) return false;
  const std::int32_t degree = wholeDegree(patchOrientation(table, image, point));
  const auto found = table.patterns.find(degree);
  if (found == table.patterns.end() || found->second.size() < static_cast<std::size_t>(kDescriptorTests * 2)) {
    return false;
  }
  runTests(image, point, found->second.data(), out);
  return true;
}

bool computeBinaryDescriptorExact(const RotatedPatternTable& table, const ImageGray& image, const Vec2i& point,
                                  BinaryDescriptor& out) {
  if (!insideMargin(image, point, kDescriptorMargin)) return false;
  const float r = patchOrientation(table, image, point);
  const float c = std::cos(r);
  const float s = std::sin(r);
  PatternPoint points[kDescriptorTests * 2];
  for (int i = 0; i < kDescriptorTests * 2; ++i) {
    const float x = kSamplingPattern[2 * i];
    const float y = kSamplingPattern[2 * i + 1];
    points[i] = PatternPoint{roundExactCoordinate(x * c - y * s), roundExactCoordinate(y * c + x * s)};
  }
  runTests(image, point, points, out);
  return true;
}

}  // namespace Lumetra
