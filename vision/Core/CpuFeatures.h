#pragma once
// Run-time choice of SIMD kernels. Every kernel has a scalar twin with identical results;
// the SIMD version is used only when the processor has the instruction set and it has not
// been turned off (tests turn it off to compare the two paths).

namespace Lumetra {
namespace Cpu {

enum class SimdLevel { Scalar = 0, SSE41 = 1, AVX2 = 2 };

/// What the processor supports.
SimdLevel detected();
/// What kernels may use: the lower of detected() and the ceiling set by setSimdCeiling.
SimdLevel active();
/// Caps the SIMD level (for tests and benchmarks). Not thread-safe with running kernels.
void setSimdCeiling(SimdLevel ceiling);

inline bool useAVX2() { return active() >= SimdLevel::AVX2; }
inline bool useSSE41() { return active() >= SimdLevel::SSE41; }

/// Restores the previous ceiling when it goes out of scope.
class ScopedSimdCeiling {
 public:
  explicit ScopedSimdCeiling(SimdLevel ceiling);
  ~ScopedSimdCeiling();
  ScopedSimdCeiling(const ScopedSimdCeiling&) = delete;
  ScopedSimdCeiling& operator=(const ScopedSimdCeiling&) = delete;

 private:
  SimdLevel previous_;
};

}  // namespace Cpu
}  // namespace Lumetra
