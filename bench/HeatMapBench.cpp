// The trainer's heat map: ~4000 keypoint records on a 640 x 480 training image, 300 stamps each.
#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

void BM_HeatMap(benchmark::State& state) {
  const std::uint32_t width = 640, height = 480;
  Lumetra::ImageGray picture(Lumetra::Vec2u(width, height), Lumetra::Gray8{{0}});
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) picture.at(x, y)[0] = static_cast<std::uint8_t>((x ^ y) & 0xff);
  }

  // Keypoint records: clustered where corners gather, with several records per keypoint
  // (one per pyramid level) on the same position.
  std::mt19937 engine(2024);
  std::uniform_int_distribution<int> clusterX(40, 600), clusterY(40, 440);
  std::normal_distribution<double> spread(0.0, 25.0);
  std::uniform_int_distribution<int> levels(1, 4);
  std::vector<Eigen::Vector2i> records;
  while (records.size() < 4000) {
    const int cx = clusterX(engine), cy = clusterY(engine);
    for (int k = 0; k < 20 && records.size() < 4000; ++k) {
      const Eigen::Vector2i p(cx + static_cast<int>(spread(engine)), cy + static_cast<int>(spread(engine)));
      for (int l = levels(engine); l > 0 && records.size() < 4000; --l) records.push_back(p);
    }
  }
  const std::vector<Eigen::Vector2d> offsets = [] {
    std::mt19937 e(7);
    std::normal_distribution<double> normal(0.0, 10.0);
    std::vector<Eigen::Vector2d> o;
    for (int i = 0; i < 300; ++i) {
      const double x = normal(e);
      const double y = normal(e);
      o.emplace_back(x, y);
    }
    return o;
  }();

  Lumetra::ImageRGB heat, overlay;
  for (auto _ : state) {
    const bool ok = Obrin::generateHeatmap(picture, records, offsets, heat, overlay);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(heat.data);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(records.size()) *
                          300);
}
BENCHMARK(BM_HeatMap)->Unit(benchmark::kMillisecond);

}  // namespace
