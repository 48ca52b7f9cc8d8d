#pragma once
// Named profiling blocks. A block is registered once per place in the code (thread-safe,
// through a function-local static) and, while profiling is switched on, adds its elapsed
// time and a call count to the block's totals. Switched off (the default) a block costs one
// relaxed atomic load on entry and one on exit.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace Lumetra {
namespace Profiler {

struct BlockDescriptor {
  explicit BlockDescriptor(const char* blockName);
  const char* name;
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> nanoseconds{0};
};

struct BlockTotals {
  std::string name;
  std::uint64_t calls;
  std::uint64_t nanoseconds;
};

void setEnabled(bool enabled);
bool isEnabled();
/// The totals of every registered block, in order of registration.
std::vector<BlockTotals> snapshot();
/// Sets every block's totals back to zero.
void reset();

class ScopedBlock {
 public:
  explicit ScopedBlock(BlockDescriptor& descriptor) : descriptor_(descriptor) {
    if (isEnabled()) {
      active_ = true;
      start_ = std::chrono::steady_clock::now();
    }
  }
  ~ScopedBlock() {
    if (active_) {
      const auto elapsed = std::chrono::steady_clock::now() - start_;
      descriptor_.calls.fetch_add(1, std::memory_order_relaxed);
      descriptor_.nanoseconds.fetch_add(
          static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()),
          std::memory_order_relaxed);
    }
  }
  ScopedBlock(const ScopedBlock&) = delete;
  ScopedBlock& operator=(const ScopedBlock&) = delete;

 private:
  BlockDescriptor& descriptor_;
  bool active_ = false;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace Profiler
}  // namespace Lumetra

#define LUMETRA_PROFILE_CONCAT2(a, b) a##b
#define LUMETRA_PROFILE_CONCAT(a, b) LUMETRA_PROFILE_CONCAT2(a, b)
/// Opens a profiling block named `name` (a string literal) until the end of the scope.
#define PROFILE_BLOCK(name)                                                                          \
  static ::Lumetra::Profiler::BlockDescriptor LUMETRA_PROFILE_CONCAT(profileDescriptor_, __LINE__){name}; \
  ::Lumetra::Profiler::ScopedBlock LUMETRA_PROFILE_CONCAT(profileBlock_, __LINE__) {                 \
    LUMETRA_PROFILE_CONCAT(profileDescriptor_, __LINE__)                                              \
  }
