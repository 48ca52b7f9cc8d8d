#include "Core/RandomSeed.h"

#include <chrono>
#include <exception>
#include <functional>
#include <random>
#include <thread>

namespace Lumetra {

std::uint32_t randomDeviceSeed() noexcept {
  try {
    std::random_device device;
    return static_cast<std::uint32_t>(device());
  } catch (const std::exception&) {
    const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto thread = static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    std::seed_seq sequence{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32),
                           static_cast<std::uint32_t>(thread)};
    std::uint32_t value = 0;
    sequence.generate(&value, &value + 1);
    return value;
  }
}

}  // namespace Lumetra
