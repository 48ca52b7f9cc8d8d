// A fuzzed file loaded as a training configuration.
#include "ConfigFuzz.h"

#include "Configs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzSupport::fuzzConfigFile<TrainingConfig>(data, size);
}
