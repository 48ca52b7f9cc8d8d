// A fuzzed file loaded as one kind of configuration (FORMWRIGHT_FUZZ_CONFIG, set by the build),
// starting from its defaults. Properties checked on top of the sanitizers: a load that fails
// leaves every parameter at its default, and a load that succeeds keeps the length of every
// integer list.
#include "FuzzSupport.h"

#include "Configs.h"
#include "JsonConfig.h"

#include <type_traits>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  FORMWRIGHT_FUZZ_CONFIG config;
  const bool loaded = loadJsonFile(config, folder.write("config.json", data, size));
  for (const auto& [key, entry] : config.registry.entries()) {
    std::visit(
        [&](auto* parameter) {
          FUZZ_CHECK(parameter != nullptr);
          using T = std::decay_t<decltype(parameter->value)>;
          if (!loaded) FUZZ_CHECK(parameter->value == parameter->defaultValue);
          if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
            FUZZ_CHECK(parameter->value.size() == parameter->defaultValue.size());
          }
        },
        entry);
  }
  return 0;
}
