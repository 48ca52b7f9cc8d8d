// CAD-target training: pose sampling, farthest-point ordering and template feature extraction.
#include "Detection/LinemodTrainer.h"
#include "Detection/PoseSampling.h"
#include "Geometry/Sort.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

void BM_SamplePoses(benchmark::State& state) {
  Lumetra::Linemod::LinemodTrainer::Settings settings;
  settings.seedGiven = true;
  const CadModelDescription description;
  for (auto _ : state) {
    auto poses = Lumetra::sampleTrainingPoses(settings, Eigen::Vector3f::Zero(), description);
    benchmark::DoNotOptimize(poses.data());
  }
}
BENCHMARK(BM_SamplePoses)->Unit(benchmark::kMillisecond);

// The visible edge samples of one view: 12 projected cube edges in a 640 x 480 image,
// 1500 candidates in all.
std::vector<Lumetra::Linemod::GradientCandidate> oneViewCandidates() {
  const float corners[8][2] = {{200, 120}, {420, 110}, {440, 330}, {210, 340},
                               {260, 80}, {480, 75}, {500, 290}, {270, 300}};
  const int edges[12][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                            {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
  std::mt19937 random(5);
  std::uniform_real_distribution<float> along(0.0f, 1.0f);
  std::vector<Lumetra::Linemod::GradientCandidate> candidates;
  for (int i = 0; i < 1500; ++i) {
    const int* e = edges[i % 12];
    const float t = along(random);
    const float x = corners[e[0]][0] + t * (corners[e[1]][0] - corners[e[0]][0]);
    const float y = corners[e[0]][1] + t * (corners[e[1]][1] - corners[e[0]][1]);
    const float angle = std::atan2(corners[e[1]][1] - corners[e[0]][1], corners[e[1]][0] - corners[e[0]][0]) + 1.5707964f;
    candidates.push_back({x, y, angle});
  }
  return candidates;
}

void BM_ExtractTemplateFeatures(benchmark::State& state) {
  Lumetra::Linemod::LinemodTrainer::Settings settings;
  settings.seedGiven = true;
  const auto candidates = oneViewCandidates();
  Lumetra::Linemod::TemplateRect box;
  for (auto _ : state) {
    Lumetra::Linemod::LinemodTrainer trainer(settings);
    benchmark::DoNotOptimize(trainer.extractTemplateFeatures(candidates, "bench", TrainingPose{}, 2, &box));
  }
}
BENCHMARK(BM_ExtractTemplateFeatures)->Unit(benchmark::kMicrosecond);

void BM_SortByPairDistance(benchmark::State& state) {
  std::mt19937 random(9);
  std::uniform_real_distribution<float> coordinate(-0.6f, 0.6f);
  std::vector<Eigen::Vector3f> points(static_cast<std::size_t>(state.range(0)));
  for (auto& p : points) p = Eigen::Vector3f(coordinate(random), coordinate(random), coordinate(random));
  for (auto _ : state) {
    auto order = Lumetra::sortByPairDistance(points, 0.0f, 190, 1u);
    benchmark::DoNotOptimize(order.data());
  }
}
BENCHMARK(BM_SortByPairDistance)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
