#include "Renderer/EdgeModel.h"

#include "Core/Angles.h"
#include "Core/AtomicFile.h"
#include "Core/Log.h"
#include "Core/MatrixArchive.h"
#include "Core/Profiler.h"
#include "Renderer/FaceAdjacency.h"
#include "Renderer/GridCell.h"

#include <cereal/archives/portable_binary.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <unordered_map>

namespace Lumetra {

namespace {

float normalProduct(const EdgeModel::Edge& edge) { return edge.normalA.dot(edge.normalB); }

/// A per-thread engine, made on the thread's first use from the seed or from the random device.
std::mt19937& threadEngine(std::unique_ptr<std::mt19937>& engine, std::optional<std::uint32_t> seed) {
  if (!engine) {
    const std::uint32_t value = seed ? *seed : std::random_device{}();
    LUMETRA_LOG_INFO("Random seed set to {}.", value);
    engine = std::make_unique<std::mt19937>(value);
  }
  return *engine;
}

std::mt19937& samplingEngine(std::optional<std::uint32_t> seed) {
  thread_local std::unique_ptr<std::mt19937> engine;
  return threadEngine(engine, seed);
}

std::mt19937& thinningEngine(std::optional<std::uint32_t> seed) {
  thread_local std::unique_ptr<std::mt19937> engine;
  return threadEngine(engine, seed);
}

/// A uniform double in [0, 1) from two 32-bit outputs: (x1 + x2 2^32) / 2^64.
double uniformDouble(std::mt19937& engine) {
  const double x1 = static_cast<double>(engine());
  const double x2 = static_cast<double>(engine());
  const double u = (x1 + x2 * 4294967296.0) / 18446744073709551616.0;
  return u >= 1.0 ? std::nextafter(1.0, 0.0) : u;
}

/// The samples of the segment a-b, splitting it at most `depth` more times. A segment is split
/// only while its midpoint lies strictly between its end points and both halves are shorter than
/// the whole: far from the origin neighbouring floats can lie further apart than the spacing, and
/// there a midpoint rounds onto an end point or leaves a half as long as the whole. Such a segment
/// yields its midpoint when that lies strictly between the end points.
void appendSegmentSamples(const Eigen::Vector3f& a, const Eigen::Vector3f& b, float spacing, int depth,
                          std::mt19937& engine, std::vector<Eigen::Vector3f>& out) {
  const float d = (a - b).norm();
  if (!std::isfinite(d)) return;
  const Eigen::Vector3f m = (a + b) * 0.5f;
  const bool between = m != a && m != b;
  if (d > 2.0f * spacing && depth > 0 && between && (a - m).norm() < d && (m - b).norm() < d) {
    out.push_back(m);
    appendSegmentSamples(a, m, spacing, depth - 1, engine, out);
    appendSegmentSamples(m, b, spacing, depth - 1, engine, out);
    return;
  }
  const float probability = d / (2.0f * spacing);
  if (uniformDouble(engine) < static_cast<double>(probability) && between) out.push_back(m);
}

}  // namespace

std::int32_t countEdgesAboveAngle(const EdgeModel& edgeModel, float angleDeg) {
  const float limit = std::cos(angleDeg * kPiF / 180.0f);
  std::int32_t count = 0;
  for (const EdgeModel::Edge& edge : edgeModel.mEdges) {
    if (!(normalProduct(edge) <= limit)) break;
    ++count;
  }
  return count;
}

EdgeModelWork estimateEdgeModelWork(const MeshModel& mesh, const EdgeModelParams& params) {
  // The same single-precision limits as the counts of the built model.
  const float sharpLimit = std::cos(params.sharpAngleDeg * kPiF / 180.0f);
  const float consideredLimit = std::cos(params.considerAngleDeg * kPiF / 180.0f);
  const double step = params.sampleStep;
  EdgeModelWork work;
  for (const auto& [i, j] : mesh.mAdjacentFaces) {
    const std::vector<std::uint32_t> shared = findSharedVertices(mesh.mFaces[i], mesh.mFaces[j], mesh);
    if (shared.size() < 2) continue;
    const double length = (mesh.mVertices[shared[0]].position - mesh.mVertices[shared[1]].position).norm();
    const float product = mesh.mFaces[i].normal.dot(mesh.mFaces[j].normal);
    if (product <= consideredLimit) ++work.consideredEdges;
    if (product <= sharpLimit) {
      work.sharpSamples += length / (0.1 * step);
    } else if (product <= consideredLimit) {
      work.consideredSamples += length / step;
    } else {
      work.flatSamples += length / step;
    }
  }
  return work;
}

SharedEdge mostSharedEdge(const MeshModel& mesh) {
  // The face in the most pairs; of its edges, the one in the most of its pairs.
  std::vector<std::size_t> pairsOf(mesh.mFaces.size(), 0);
  for (const auto& [i, j] : mesh.mAdjacentFaces) ++pairsOf[i], ++pairsOf[j];
  if (pairsOf.empty()) return {};
  const std::uint32_t face = static_cast<std::uint32_t>(std::max_element(pairsOf.begin(), pairsOf.end()) - pairsOf.begin());
  const auto ordered = [](Eigen::Vector3f a, Eigen::Vector3f b) {
    if (std::lexicographical_compare(b.data(), b.data() + 3, a.data(), a.data() + 3)) std::swap(a, b);
    return std::make_pair(a, b);
  };
  std::vector<std::pair<std::pair<Eigen::Vector3f, Eigen::Vector3f>, std::size_t>> edges;
  for (const auto& [i, j] : mesh.mAdjacentFaces) {
    if (i != face && j != face) continue;
    const std::vector<std::uint32_t> shared = findSharedVertices(mesh.mFaces[i], mesh.mFaces[j], mesh);
    if (shared.size() < 2) continue;
    const auto edge = ordered(mesh.mVertices[shared[0]].position, mesh.mVertices[shared[1]].position);
    auto known = std::find_if(edges.begin(), edges.end(), [&](const auto& e) { return e.first == edge; });
    if (known == edges.end()) known = edges.insert(edges.end(), {edge, 0});
    ++known->second;
  }
  if (edges.empty()) return {};
  const auto most = std::max_element(edges.begin(), edges.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  return {most->first.first, most->first.second, most->second + 1};
}

EdgeModel::EdgeModel(const MeshModel& mesh, const EdgeModelParams& params, std::optional<std::uint32_t> seed)
    : mParams(params) {
  try {
    mEdges.reserve(mesh.mAdjacentFaces.size());
    for (const auto& [i, j] : mesh.mAdjacentFaces) {
      const MeshModel::Face& faceA = mesh.mFaces[i];
      const MeshModel::Face& faceB = mesh.mFaces[j];
      const std::vector<std::uint32_t> shared = findSharedVertices(faceA, faceB, mesh);
      if (shared.size() < 2) continue;
      Edge edge;
      edge.normalA = faceA.normal;
      edge.normalB = faceB.normal;
      edge.pointA = mesh.mVertices[shared[0]].position;
      edge.pointB = mesh.mVertices[shared[1]].position;
      mEdges.push_back(std::move(edge));
    }
    // Ascending product, a product that is not a number after every number; equal products keep
    // the order of their face pairs.
    std::stable_sort(mEdges.begin(), mEdges.end(), [](const Edge& a, const Edge& b) {
      const float pa = normalProduct(a), pb = normalProduct(b);
      if (std::isnan(pa)) return false;
      return std::isnan(pb) || pa < pb;
    });
    mSharpEdgeCount = countEdgesAboveAngle(*this, params.sharpAngleDeg);
    LUMETRA_LOG_INFO("Found {} sharp edges.", mSharpEdgeCount);
    mConsideredEdgeCount = countEdgesAboveAngle(*this, params.considerAngleDeg);
    LUMETRA_LOG_INFO("Considering {} out of {} edges.", mConsideredEdgeCount, mEdges.size());
    sampleEdges(*this, params.sampleStep, seed);
    if (params.subsample) subsampleEdges(*this, params.subsampleBudget, seed);
  } catch (const std::exception& error) {
    LUMETRA_LOG_ERROR("Building the edge model failed: {}", error.what());
    *this = EdgeModel();
    mParams = params;
  }
}

void sampleSegment(const Eigen::Vector3f& a, const Eigen::Vector3f& b, float spacing,
                   std::optional<std::uint32_t> seed, std::vector<Eigen::Vector3f>& out) {
  if (!(spacing > 0.0f) || !std::isfinite(spacing)) return;
  // Exact halving reaches segments of at most twice the spacing after ceil(log2(d / 2s)) splits;
  // two more leave room for rounding, and the bound keeps the samples proportional to d / s where
  // rounding would keep halves long.
  const double ratio = static_cast<double>((a - b).norm()) / (2.0 * static_cast<double>(spacing));
  const int depth = ratio > 1.0 && std::isfinite(ratio) ? static_cast<int>(std::ceil(std::log2(ratio))) + 2 : 0;
  appendSegmentSamples(a, b, spacing, depth, samplingEngine(seed), out);
}

std::vector<bool> voxelGridFilter(const std::vector<Eigen::Vector3f>& points, const std::vector<float>& weights,
                                  float cellSize) {
  std::vector<bool> kept(points.size(), false);
  if (!(cellSize > 0.0f) || !std::isfinite(cellSize)) {
    std::fill(kept.begin(), kept.end(), true);
    return kept;
  }
  struct Entry {
    std::size_t index;
    float weight;
  };
  std::unordered_map<GridCell, Entry, GridCellHash> cells;
  cells.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Eigen::Vector3f& p = points[i];
    const GridCell cell{gridCoordinate(p.x() / cellSize), gridCoordinate(p.y() / cellSize), gridCoordinate(p.z() / cellSize)};
    const auto [it, inserted] = cells.try_emplace(cell, Entry{i, weights[i]});
    if (inserted) continue;
    Entry& entry = it->second;
    const Eigen::Vector3f centre((static_cast<float>(cell.x) + 0.5f) * cellSize,
                                 (static_cast<float>(cell.y) + 0.5f) * cellSize,
                                 (static_cast<float>(cell.z) + 0.5f) * cellSize);
    if (weights[i] > entry.weight ||
        (weights[i] == entry.weight && (p - centre).squaredNorm() < (points[entry.index] - centre).squaredNorm())) {
      entry = Entry{i, weights[i]};
    }
  }
  for (const auto& cell : cells) kept[cell.second.index] = true;
  return kept;
}

void EdgeModel::sampleEdges(EdgeModel& edgeModel, float sampleStep, std::optional<std::uint32_t> seed) {
  edgeModel.mParams.sampleStep = sampleStep;
  const std::size_t sharpCount = std::min<std::size_t>(static_cast<std::size_t>(std::max(0, edgeModel.mSharpEdgeCount)),
                                                       edgeModel.mEdges.size());
  std::vector<Eigen::Vector3f> sharpSamples;
  std::vector<float> weights;
  for (std::size_t e = 0; e < sharpCount; ++e) {
    Edge& edge = edgeModel.mEdges[e];
    edge.samples.clear();
    sampleSegment(edge.pointA, edge.pointB, 0.1f * sampleStep, seed, edge.samples);
    sharpSamples.insert(sharpSamples.end(), edge.samples.begin(), edge.samples.end());
    weights.insert(weights.end(), edge.samples.size(), -normalProduct(edge));
  }

  if (!sharpSamples.empty()) {
    std::vector<bool> kept = voxelGridFilter(sharpSamples, weights, sampleStep);
    std::vector<std::size_t> keptPositions;
    for (std::size_t i = 0; i < kept.size(); ++i)
      if (kept[i]) keptPositions.push_back(i);
    const std::size_t maxSamples = static_cast<std::size_t>(std::max(0, edgeModel.mParams.maxSamples));
    if (keptPositions.size() > maxSamples) {
      const std::size_t excess = keptPositions.size() - maxSamples;
      std::srand(std::random_device{}());
      for (std::size_t k = 0; k < excess; ++k) {
        const std::size_t r = static_cast<std::size_t>(std::rand());
        std::swap(keptPositions[k], keptPositions[k + r % (keptPositions.size() - k)]);
      }
      for (std::size_t k = 0; k < excess; ++k) kept[keptPositions[k]] = false;
    }
    std::size_t flag = 0;
    for (std::size_t e = 0; e < sharpCount; ++e) {
      std::vector<Eigen::Vector3f>& samples = edgeModel.mEdges[e].samples;
      std::size_t out = 0;
      for (std::size_t s = 0; s < samples.size(); ++s, ++flag)
        if (kept[flag]) samples[out++] = samples[s];
      samples.resize(out);
    }
  }

  for (std::size_t e = sharpCount; e < edgeModel.mEdges.size(); ++e) {
    Edge& edge = edgeModel.mEdges[e];
    edge.samples.clear();
    sampleSegment(edge.pointA, edge.pointB, sampleStep, seed, edge.samples);
  }
}

void EdgeModel::subsampleEdges(EdgeModel& edgeModel, std::int32_t budget, std::optional<std::uint32_t> seed) {
  std::size_t total = 0;
  for (const Edge& edge : edgeModel.mEdges) total += edge.samples.size();
  if (total == 0) return;
  const float ratio = static_cast<float>(budget) / static_cast<float>(total);
  for (Edge& edge : edgeModel.mEdges) {
    const std::size_t count = edge.samples.size();
    if (count == 0) continue;
    const float wanted = static_cast<float>(count) * ratio;
    const std::size_t keep = wanted >= 1.0f ? static_cast<std::size_t>(std::min(wanted, 1.8e19f)) : 1;
    if (keep > count) continue;
    std::mt19937& engine = thinningEngine(seed);
    for (std::size_t i = 1; i < count; ++i) {
      std::uniform_int_distribution<std::size_t> pick(0, i);
      std::swap(edge.samples[i], edge.samples[pick(engine)]);
    }
    edge.samples.resize(keep);
  }
}

bool isSilhouetteEdge(const EdgeModel::Edge& edge, const TrainingPose& pose) {
  return isSilhouetteEdge(edge, pose.rotation.toRotationMatrix(), pose.translation);
}

bool isSilhouetteEdge(const EdgeModel::Edge& edge, const Eigen::Matrix3f& R, const Eigen::Vector3f& translation) {
  const Eigen::Vector3f m = (edge.pointA + edge.pointB) * 0.5f;
  Eigen::Vector3f v = R * m + translation;
  const float squaredLength = v.squaredNorm();
  if (squaredLength > 0.0f) v /= std::sqrt(squaredLength);
  const bool facesAwayA = v.dot(R * edge.normalA) < 0.0f;
  const bool facesAwayB = v.dot(R * edge.normalB) < 0.0f;
  return facesAwayA != facesAwayB;
}

std::vector<bool> EdgeModel::getSilhouetteEdges(const TrainingPose& pose, bool includeSharp) const {
  PROFILE_BLOCK("Lumetra::EdgeModel::getSilhouetteEdges");
  std::vector<bool> flags(mEdges.size(), false);
  const std::size_t first = includeSharp ? 0 : static_cast<std::size_t>(std::max(0, mSharpEdgeCount));
  const std::size_t last = std::min(static_cast<std::size_t>(std::max(0, mConsideredEdgeCount)), mEdges.size());
  for (std::size_t e = first; e < last; ++e) flags[e] = isSilhouetteEdge(mEdges[e], pose);
  return flags;
}

bool saveEdgeModel(const EdgeModel& edgeModel, const std::string& path) {
  namespace fs = std::filesystem;
  try {
    std::ostringstream bytes(std::ios::binary);
    {
      cereal::PortableBinaryOutputArchive archive(bytes);
      archive(cereal::make_size_tag(static_cast<cereal::size_type>(edgeModel.mEdges.size())));
      for (const EdgeModel::Edge& edge : edgeModel.mEdges) {
        saveMatrix(archive, edge.normalA);
        saveMatrix(archive, edge.normalB);
        saveMatrix(archive, edge.pointA);
        saveMatrix(archive, edge.pointB);
        archive(cereal::make_size_tag(static_cast<cereal::size_type>(edge.samples.size())));
        for (const Eigen::Vector3f& sample : edge.samples) saveMatrix(archive, sample);
      }
      const EdgeModelParams& params = edgeModel.mParams;
      archive(edgeModel.mSharpEdgeCount, edgeModel.mConsideredEdgeCount, params.sampleStep, params.sharpAngleDeg,
              params.considerAngleDeg, params.maxSamples);
    }
    if (!bytes) return false;
    const std::string content = bytes.str();
    const fs::path file = fs::u8path(path);
    return writeFileInNewFolders(file, content);
  } catch (const std::exception& error) {
    LUMETRA_LOG_ERROR("Writing the edge model {} failed: {}", path, error.what());
    return false;
  }
}

}  // namespace Lumetra
