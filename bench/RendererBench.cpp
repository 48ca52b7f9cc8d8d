// Face adjacency and the sharp-edge model on finely tessellated meshes whose triangles each carry
// their own three vertices (as STL files do), so adjacency must go by position: terrain, where every
// grid point appears under up to six indices, and fans around one vertex (a disc, and a double cone
// closed by two fans on one rim), where the centre appears under as many indices as there are
// triangles. Texture names looked up beside a folder of many files.
#include "Renderer/EdgeModel.h"
#include "Renderer/FaceAdjacency.h"
#include "Renderer/GuardedImport.h"
#include "Renderer/MeshModel.h"
#include "Renderer/TextureFiles.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

namespace {

using Lumetra::MeshModel;

enum Shape : std::int64_t { kTerrain, kFan, kDoubleCone };

void addTriangle(MeshModel& model, const Eigen::Vector3f& a, const Eigen::Vector3f& b, const Eigen::Vector3f& c) {
  MeshModel::Face face;
  for (const Eigen::Vector3f* p : {&a, &b, &c}) {
    face.indices.push_back(static_cast<std::uint32_t>(model.mVertices.size()));
    model.mVertices.emplace_back();
    model.mVertices.back().position = *p;
  }
  face.normal = (b - a).cross(c - a).normalized();
  model.mFaces.push_back(face);
}

/// A terrain of about `faces` triangles in millimetre-sized cells scaled to metres, with ridges
/// so that some edges are sharp; or a fan of `faces` triangles around one vertex (radius 0.1 m);
/// or two such fans, one on each side of their common rim.
MeshModel makeModel(std::int64_t faces, std::int64_t shape) {
  MeshModel model;
  if (shape == kTerrain) {
    const int columns = static_cast<int>(std::sqrt(static_cast<double>(faces) / 2.0));
    const int rows = static_cast<int>(faces / 2 / columns);
    auto point = [](int i, int j) -> Eigen::Vector3f {
      const float z = 0.5f * std::sin(0.3f * i) * std::cos(0.2f * j) + ((i / 16) % 2 == 0 ? 0.0f : 2.0f);
      return Eigen::Vector3f(static_cast<float>(i), static_cast<float>(j), z) * 0.001f;
    };
    for (int i = 0; i < columns; ++i) {
      for (int j = 0; j < rows; ++j) {
        addTriangle(model, point(i, j), point(i + 1, j), point(i + 1, j + 1));
        addTriangle(model, point(i, j), point(i + 1, j + 1), point(i, j + 1));
      }
    }
  } else {
    auto rim = [faces](std::int64_t k) {
      const double angle = 2.0 * 3.141592653589793 * static_cast<double>(k % faces) / static_cast<double>(faces);
      return Eigen::Vector3f(static_cast<float>(0.1 * std::cos(angle)), static_cast<float>(0.1 * std::sin(angle)), 0.0f);
    };
    for (const float apex : shape == kFan ? std::vector<float>{0.0f} : std::vector<float>{0.05f, -0.05f})
      for (std::int64_t k = 0; k < faces; ++k) addTriangle(model, Eigen::Vector3f(0, 0, apex), rim(k), rim(k + 1));
  }
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (std::size_t n = 0; n < model.mVertices.size(); ++n)
    mean += (model.mVertices[n].position.cast<double>() - mean) / static_cast<double>(n + 1);
  model.mCentroid = mean.cast<float>();
  model.mMaxDistance = 0.0f;
  for (const MeshModel::Vertex& v : model.mVertices)
    model.mMaxDistance = std::max(model.mMaxDistance, (v.position - model.mCentroid).norm());
  model.mLoaded = true;
  return model;
}

const MeshModel& cachedModel(std::int64_t faces, std::int64_t shape = kTerrain) {
  static std::map<std::pair<std::int64_t, std::int64_t>, MeshModel> models;
  auto it = models.find({faces, shape});
  if (it == models.end()) {
    it = models.emplace(std::make_pair(faces, shape), makeModel(faces, shape)).first;
    Lumetra::computeFaceAdjacency(it->second.mVertices, it->second.mFaces, it->second.mAdjacentFaces);
  }
  return it->second;
}

/// Arguments: faces (per fan for the double cone), shape.
void BM_FaceAdjacency(benchmark::State& state) {
  const MeshModel& model = cachedModel(state.range(0), state.range(1));
  std::vector<MeshModel::FacePair> pairs;
  for (auto _ : state) {
    Lumetra::computeFaceAdjacency(model.mVertices, model.mFaces, pairs);
    benchmark::DoNotOptimize(pairs.data());
  }
  state.counters["faces"] = static_cast<double>(model.mFaces.size());
  state.counters["pairs"] = static_cast<double>(pairs.size());
}
BENCHMARK(BM_FaceAdjacency)
    ->Args({5000, kTerrain})
    ->Args({50000, kTerrain})
    ->Args({200000, kTerrain})
    ->Args({100000, kFan})
    ->Args({100000, kDoubleCone})
    ->Unit(benchmark::kMillisecond);

/// The straightforward rule: every pair of faces, every vertex of one against every vertex of the other.
void BM_FaceAdjacencyQuadratic(benchmark::State& state) {
  const MeshModel& model = cachedModel(state.range(0));
  std::vector<MeshModel::FacePair> pairs;
  for (auto _ : state) {
    pairs.clear();
    pairs.reserve(3 * model.mFaces.size());
    for (std::size_t i = 0; i < model.mFaces.size(); ++i)
      for (std::size_t j = i + 1; j < model.mFaces.size(); ++j)
        if (Lumetra::findSharedVertices(model.mFaces[i], model.mFaces[j], model).size() >= 2) pairs.emplace_back(i, j);
    benchmark::DoNotOptimize(pairs.data());
  }
  state.counters["faces"] = static_cast<double>(model.mFaces.size());
  state.counters["pairs"] = static_cast<double>(pairs.size());
}
BENCHMARK(BM_FaceAdjacencyQuadratic)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_EdgeModel(benchmark::State& state) {
  const MeshModel& model = cachedModel(state.range(0));
  Lumetra::EdgeModelParams params;
  params.sampleStep = 0.06f * model.mMaxDistance;
  std::size_t sharp = 0;
  for (auto _ : state) {
    const Lumetra::EdgeModel edges(model, params, 1u);
    sharp = static_cast<std::size_t>(edges.mSharpEdgeCount);
    benchmark::DoNotOptimize(edges.mEdges.data());
  }
  state.counters["edges"] = static_cast<double>(model.mAdjacentFaces.size());
  state.counters["sharp"] = static_cast<double>(sharp);
}
BENCHMARK(BM_EdgeModel)->Arg(5000)->Arg(50000)->Arg(200000)->Unit(benchmark::kMillisecond);

/// A terrain of 2 x 223 x 223 (99,458) triangles on shared grid points, written as an OBJ file once.
std::string terrainObj() {
  static const std::string path = [] {
    const std::string name = (std::filesystem::temp_directory_path() / "formwright-bench-terrain.obj").string();
    std::ofstream out(name);
    const int n = 224;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) out << "v " << i << ' ' << j << ' ' << (i / 16 % 2) * 2 + std::sin(0.3 * i) << '\n';
    for (int i = 0; i + 1 < n; ++i) {
      for (int j = 0; j + 1 < n; ++j) {
        const int a = i * n + j + 1, b = a + n;
        out << "f " << a << ' ' << b << ' ' << b + 1 << "\nf " << a << ' ' << b + 1 << ' ' << a + 1 << '\n';
      }
    }
    return name;
  }();
  return path;
}

/// Loading a model as the CAD driver does (face pairs included), with the import first run in the
/// guard's child process (argument 1) or only in this process (0). Model 0: examples/models/bracket.obj;
/// model 1: the 99,458-triangle terrain.
void BM_LoadModel(benchmark::State& state) {
  Lumetra::ImportGuardLimits limits;
  limits.enabled = state.range(0) != 0;
  Lumetra::setImportGuardLimits(limits);
  CadModelSource source;
  source.modelPath = state.range(1) == 0
                         ? (std::filesystem::path(__FILE__).parent_path().parent_path() / "examples/models/bracket.obj").string()
                         : terrainObj();
  std::size_t faces = 0;
  for (auto _ : state) {
    const MeshModel model(source, "", 0.001f, true);
    faces = model.mFaces.size();
  }
  Lumetra::setImportGuardLimits(Lumetra::ImportGuardLimits());
  state.counters["faces"] = static_cast<double>(faces);
}
BENCHMARK(BM_LoadModel)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);

/// Looking up 4,500 texture names `texs/missing<k>.png` that a model gives, none of which exists,
/// beside a folder `texs` of as many empty files as the argument (made once), as a model's
/// loading does: each name is first joined, then matched without regard to case, then taken as a
/// file name alone beside the model.
void BM_TextureLookupBesideLargeFolder(benchmark::State& state) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("formwright-bench-textures-" + std::to_string(state.range(0)));
  if (!std::filesystem::exists(folder / "texs/done")) {
    std::filesystem::create_directories(folder / "texs");
    for (std::int64_t k = 0; k < state.range(0); ++k) std::ofstream(folder / "texs" / ("file" + std::to_string(k) + ".png"));
    std::ofstream(folder / "texs/done");
  }
  std::size_t usable = 0;
  for (auto _ : state) {
    Lumetra::TextureLookup lookup(folder.string());
    for (int k = 0; k < 4500; ++k) {
      usable += lookup.find("texs/missing" + std::to_string(k) + ".png").status == Lumetra::TextureFile::Usable;
    }
  }
  benchmark::DoNotOptimize(usable);
}
BENCHMARK(BM_TextureLookupBesideLargeFolder)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
