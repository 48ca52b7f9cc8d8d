// The banded heat-map addition with 8-wide rows; called only when the processor has AVX2.
#include <immintrin.h>

#include "ObjectTracker/Trainer/Image/HeatMapBands.h"

namespace Obrin {
namespace heatmap_bands {

namespace {

struct AVX2Rows {
  /// dst[k] += src[k] for k < n; each cell receives exactly one addition.
  static inline void add(float* dst, const float* src, std::uint32_t n) {
    std::uint32_t k = 0;
    for (; k + 8 <= n; k += 8) {
      _mm256_storeu_ps(dst + k, _mm256_add_ps(_mm256_loadu_ps(dst + k), _mm256_loadu_ps(src + k)));
    }
    if (k + 4 <= n) {
      _mm_storeu_ps(dst + k, _mm_add_ps(_mm_loadu_ps(dst + k), _mm_loadu_ps(src + k)));
      k += 4;
    }
    for (; k < n; ++k) dst[k] += src[k];
  }
  /// A row of nine cells.
  static inline void add9(float* dst, const float* src) {
    _mm256_storeu_ps(dst, _mm256_add_ps(_mm256_loadu_ps(dst), _mm256_loadu_ps(src)));
    dst[8] += src[8];
  }
};

}  // namespace

float fillBandAVX2(const CloudPlan& plan, std::int64_t y0, std::int64_t y1) { return fillBand<AVX2Rows>(plan, y0, y1); }

}  // namespace heatmap_bands
}  // namespace Obrin
