// A fuzzed file loaded as a calibration configuration.
#include "ConfigFuzz.h"

#include "Configs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzSupport::fuzzConfigFile<CalibrationConfig>(data, size);
}
