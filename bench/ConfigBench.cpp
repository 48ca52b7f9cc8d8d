// Loading configuration files: a deeply nested file of about 4 MB (an array of 2,000,000 zeros
// under 198 nested objects) into a training configuration, and the copy that every image
// trainer makes of its configuration.
#include "Configs.h"
#include "JsonConfig.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kNestedObjects = 198;
constexpr int kZeros = 2000000;

std::string deeplyNestedFile() {
  static const std::string path = [] {
    const std::string out = (std::filesystem::temp_directory_path() / "formwright-bench-nested.json").string();
    std::ofstream file(out, std::ios::binary);
    for (int i = 0; i < kNestedObjects; ++i) file << "{\"g" << i << "\": ";
    file << "{\"Image.FAST.Number\": 500, \"zeros\": [0";
    for (int i = 1; i < kZeros; ++i) file << ",0";
    file << "]}" << std::string(kNestedObjects, '}');
    return file ? out : std::string();
  }();
  return path;
}

void BM_LoadNestedConfig(benchmark::State& state) {
  const std::string path = deeplyNestedFile();
  state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
  for (auto _ : state) {
    TrainingConfig config;
    if (!loadJsonFile(config, path) || config.fastNumber.value != 500) state.SkipWithError("file not loaded");
    TrainingConfig copy(config);
    benchmark::DoNotOptimize(copy.fastNumber.value);
  }
}

}  // namespace

BENCHMARK(BM_LoadNestedConfig)->Name("BM_LoadNestedConfig/4MB")->UseRealTime()->Unit(benchmark::kMillisecond);
