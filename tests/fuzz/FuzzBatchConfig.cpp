// A fuzzed file loaded as a batch configuration.
#include "ConfigFuzz.h"

#include "Configs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzSupport::fuzzConfigFile<BatchConfig>(data, size);
}
