#include "Core/Profiler.h"

#include <mutex>

namespace Lumetra {
namespace Profiler {
namespace {
std::atomic<bool> gEnabled{false};

struct Registry {
  std::mutex mutex;
  std::vector<BlockDescriptor*> blocks;
};

Registry& registry() {
  static Registry instance;
  return instance;
}
}  // namespace

BlockDescriptor::BlockDescriptor(const char* blockName) : name(blockName) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.blocks.push_back(this);
}

void setEnabled(bool enabled) { gEnabled.store(enabled, std::memory_order_relaxed); }

bool isEnabled() { return gEnabled.load(std::memory_order_relaxed); }

std::vector<BlockTotals> snapshot() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<BlockTotals> out;
  out.reserve(r.blocks.size());
  for (const BlockDescriptor* b : r.blocks) {
    out.push_back({b->name, b->calls.load(), b->nanoseconds.load()});
  }
  return out;
}

void reset() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (BlockDescriptor* b : r.blocks) {
    b->calls.store(0);
    b->nanoseconds.store(0);
  }
}

}  // namespace Profiler
}  // namespace Lumetra
