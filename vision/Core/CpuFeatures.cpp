#include "Core/CpuFeatures.h"

#include <atomic>

namespace Lumetra {
namespace Cpu {
namespace {
std::atomic<int> gCeiling{static_cast<int>(SimdLevel::AVX2)};
}

SimdLevel detected() {
  static const SimdLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("popcnt")) {
      return SimdLevel::AVX2;
    }
    if (__builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt")) {
      return SimdLevel::SSE41;
    }
    return SimdLevel::Scalar;
  }();
  return level;
}

SimdLevel active() {
  const int ceiling = gCeiling.load(std::memory_order_relaxed);
  const int have = static_cast<int>(detected());
  return static_cast<SimdLevel>(ceiling < have ? ceiling : have);
}

void setSimdCeiling(SimdLevel ceiling) { gCeiling.store(static_cast<int>(ceiling), std::memory_order_relaxed); }

ScopedSimdCeiling::ScopedSimdCeiling(SimdLevel ceiling)
    : previous_(static_cast<SimdLevel>(gCeiling.load(std::memory_order_relaxed))) {
  setSimdCeiling(ceiling);
}

ScopedSimdCeiling::~ScopedSimdCeiling() { setSimdCeiling(previous_); }

}  // namespace Cpu
}  // namespace Lumetra
