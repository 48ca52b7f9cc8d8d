#pragma once
// One value from the system's random device, for engines that are not given a seed.
#include <cstdint>

namespace Lumetra {

/// Draws one 32-bit value from the system's random device. Never throws: when the device
/// cannot be opened, a value mixed from the clock and the thread's identity stands in.
std::uint32_t randomDeviceSeed() noexcept;

}  // namespace Lumetra
