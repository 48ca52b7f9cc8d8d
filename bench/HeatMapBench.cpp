// The trainer's heat map: ~4000 keypoint records on a 640 x 480 training image, 300 stamps each.
#include "ObjectTracker/Trainer/Image/HeatMap.h"
#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

/// Keypoint records: clustered where corners gather, with several records per keypoint (one per
/// pyramid level) on the same position.
std::vector<Eigen::Vector2i> keypointRecords(std::size_t count) {
  std::mt19937 engine(2024);
  std::uniform_int_distribution<int> clusterX(40, 600), clusterY(40, 440);
  std::normal_distribution<double> spread(0.0, 25.0);
  std::uniform_int_distribution<int> levels(1, 4);
  std::vector<Eigen::Vector2i> records;
  while (records.size() < count) {
    const int cx = clusterX(engine), cy = clusterY(engine);
    for (int k = 0; k < 20 && records.size() < count; ++k) {
      const Eigen::Vector2i p(cx + static_cast<int>(spread(engine)), cy + static_cast<int>(spread(engine)));
      for (int l = levels(engine); l > 0 && records.size() < count; --l) records.push_back(p);
    }
  }
  return records;
}

std::vector<Eigen::Vector2d> normalOffsets() {
  std::mt19937 e(7);
  std::normal_distribution<double> normal(0.0, 10.0);
  std::vector<Eigen::Vector2d> o;
  for (int i = 0; i < 300; ++i) {
    const double x = normal(e);
    const double y = normal(e);
    o.emplace_back(x, y);
  }
  return o;
}

void BM_HeatMap(benchmark::State& state) {
  const std::uint32_t width = 640, height = 480;
  Lumetra::ImageGray picture(Lumetra::Vec2u(width, height), Lumetra::Gray8{{0}});
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) picture.at(x, y)[0] = static_cast<std::uint8_t>((x ^ y) & 0xff);
  }

  const std::vector<Eigen::Vector2i> records = keypointRecords(4000);
  const std::vector<Eigen::Vector2d> offsets = normalOffsets();

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

// The stamp addition alone, with as many records as the trainer makes on a 640 x 480 picture.
void BM_HeatMapAddClouds(benchmark::State& state) {
  const std::vector<Eigen::Vector2i> records = keypointRecords(static_cast<std::size_t>(state.range(0)));
  std::vector<Eigen::Vector2i> offsets;
  for (const Eigen::Vector2d& o : normalOffsets()) offsets.emplace_back(static_cast<int>(o.x()), static_cast<int>(o.y()));
  for (auto _ : state) {
    Obrin::HeatMap* map = Obrin::HeatMap::create(640, 480);
    Obrin::HeatMap::addPointClouds(map, records.data(), records.size(), offsets.data(), offsets.size());
    benchmark::DoNotOptimize(map->max);
    Obrin::HeatMap::release(map);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(records.size()) *
                          static_cast<std::int64_t>(offsets.size()));
}
BENCHMARK(BM_HeatMapAddClouds)->Arg(12000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
