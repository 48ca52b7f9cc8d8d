#pragma once
// The SIMD levels a test runs each kernel at: every level this processor has, scalar first.
#include "Core/CpuFeatures.h"

#include <vector>

namespace TestSupport {

inline std::vector<Lumetra::Cpu::SimdLevel> availableLevels() {
  using Lumetra::Cpu::SimdLevel;
  std::vector<SimdLevel> levels{SimdLevel::Scalar};
  if (Lumetra::Cpu::detected() >= SimdLevel::SSE41) levels.push_back(SimdLevel::SSE41);
  if (Lumetra::Cpu::detected() >= SimdLevel::AVX2) levels.push_back(SimdLevel::AVX2);
  return levels;
}

inline const char* levelName(Lumetra::Cpu::SimdLevel level) {
  switch (level) {
    case Lumetra::Cpu::SimdLevel::Scalar: return "scalar";
    case Lumetra::Cpu::SimdLevel::SSE41: return "sse41";
    case Lumetra::Cpu::SimdLevel::AVX2: return "avx2";
  }
  return "?";
}

}  // namespace TestSupport
