// One pose of the CAD training's visibility test on the hidden OpenGL context: the fixed pass
// over the sharp-edge samples and the per-pose pass, as the template trainer runs them per pose.
#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include <benchmark/benchmark.h>

#include <Eigen/Geometry>

namespace {

using Lumetra::OpenGL::MultiPoseMeshOcclusionTester;
using Points = MultiPoseMeshOcclusionTester::Points;

// A cube of 10 cm with every face split into 16 x 16 squares (3072 triangles), and 100 samples
// on each of its 12 edges.
struct Cube {
  Points vertices;
  std::vector<std::uint32_t> indices;
  Points samples;
};

Cube makeCube() {
  constexpr int kCells = 16;
  constexpr float kHalf = 0.05f;
  Cube cube;
  for (int axis = 0; axis < 3; ++axis) {
    for (float side : {-kHalf, kHalf}) {
      const auto first = static_cast<std::uint32_t>(cube.vertices.size());
      for (int i = 0; i <= kCells; ++i) {
        for (int j = 0; j <= kCells; ++j) {
          Eigen::Vector3f p;
          p[axis] = side;
          p[(axis + 1) % 3] = -kHalf + 2.0f * kHalf * static_cast<float>(i) / kCells;
          p[(axis + 2) % 3] = -kHalf + 2.0f * kHalf * static_cast<float>(j) / kCells;
          cube.vertices.push_back(p);
        }
      }
      for (std::uint32_t i = 0; i < kCells; ++i) {
        for (std::uint32_t j = 0; j < kCells; ++j) {
          const std::uint32_t a = first + i * (kCells + 1) + j;
          cube.indices.insert(cube.indices.end(), {a, a + 1, a + kCells + 2, a, a + kCells + 2, a + kCells + 1});
        }
      }
    }
  }
  for (int axis = 0; axis < 3; ++axis) {
    for (float s : {-kHalf, kHalf}) {
      for (float t : {-kHalf, kHalf}) {
        for (int k = 0; k < 100; ++k) {
          Eigen::Vector3f p;
          p[axis] = -kHalf + 2.0f * kHalf * (static_cast<float>(k) + 0.5f) / 100.0f;
          p[(axis + 1) % 3] = s;
          p[(axis + 2) % 3] = t;
          cube.samples.push_back(p);
        }
      }
    }
  }
  return cube;
}

void BM_OcclusionPass(benchmark::State& state) {
  const Cube cube = makeCube();
  MultiPoseMeshOcclusionTester tester(Lumetra::PinholeCamera(640, 480, 500.0f, 500.0f, 320.0f, 240.0f),
                                      cube.vertices, cube.indices, cube.samples);
  if (!tester.isReady()) {
    state.SkipWithError("no OpenGL context (set DISPLAY)");
    return;
  }
  TrainingPose pose;
  pose.rotation = Eigen::AngleAxisf(0.7f, Eigen::Vector3f(1.0f, 1.0f, 0.0f).normalized());
  pose.translation = Eigen::Vector3f(0.0f, 0.0f, 0.4f);
  std::size_t visible = 0;
  for (auto _ : state) {
    const auto sharp = tester.calculateVisibleSamplePoints({pose});
    const auto silhouette = tester.calculateVisibleSamplePoints({pose}, {cube.samples});
    if (sharp.size() != 1 || silhouette.size() != 1) {
      state.SkipWithError("pass failed");
      return;
    }
    visible = static_cast<std::size_t>(std::count(sharp[0].begin(), sharp[0].end(), true));
  }
  state.counters["triangles"] = static_cast<double>(cube.indices.size() / 3);
  state.counters["samples"] = static_cast<double>(cube.samples.size());
  state.counters["visible"] = static_cast<double>(visible);
}

}  // namespace

BENCHMARK(BM_OcclusionPass)->Unit(benchmark::kMillisecond);
