// The sharp-edge model: order, counts, sampling, silhouettes and its file (a failed write: the
// CAD training tests through the executable).
#include "Renderer/EdgeModel.h"

#include "Process.h"
#include "RendererTestUtil.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

using Lumetra::EdgeModel;
using Lumetra::EdgeModelParams;
using Lumetra::MeshModel;
namespace fs = std::filesystem;

EdgeModelParams driverParams(const MeshModel& model) {
  EdgeModelParams params;
  params.sampleStep = 0.06f * model.mMaxDistance;
  return params;
}

/// Runs `work` on a new thread, whose sampling engines are therefore fresh.
template <typename Work>
void onFreshThread(Work work) { std::thread(work).join(); }

/// A vector of the edge-model file: a 3 x 1 matrix (rows, columns, x, y, z).
Eigen::Vector3f readVector(testsupport::LittleEndianReader& file) {
  EXPECT_TRUE(file.i32() == 3 && file.i32() == 1);
  const float x = file.f32(), y = file.f32();
  return Eigen::Vector3f(x, y, file.f32());
}

TEST(EdgeModel, CubeEdgesInOrder) {
  const MeshModel cube = rendertest::loadModel(rendertest::assimpModel("PLY/cube.ply"));
  const EdgeModel edges(cube, driverParams(cube), 5u);
  ASSERT_EQ(edges.mEdges.size(), 18u);
  EXPECT_EQ(edges.mSharpEdgeCount, 12);
  EXPECT_EQ(edges.mConsideredEdgeCount, 12);
  // Cube edges (product 0) first, then the diagonals (product 1), each in the order of their pairs.
  std::vector<std::size_t> expected;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t p = 0; p < cube.mAdjacentFaces.size(); ++p) {
      const auto [i, j] = cube.mAdjacentFaces[p];
      if ((cube.mFaces[i].normal.dot(cube.mFaces[j].normal) > 0.5f) == (pass == 1)) expected.push_back(p);
    }
  }
  for (std::size_t e = 0; e < 18; ++e) {
    const auto [i, j] = cube.mAdjacentFaces[expected[e]];
    EXPECT_EQ(edges.mEdges[e].normalA, cube.mFaces[i].normal);
    EXPECT_EQ(edges.mEdges[e].normalB, cube.mFaces[j].normal);
    const EdgeModel::Edge& edge = edges.mEdges[e];
    if (e >= 12) {
      EXPECT_FALSE(edge.samples.empty());  // the diagonals at full spacing
    }
    for (const Eigen::Vector3f& s : edge.samples) {   // inside the segment, never an end point
      EXPECT_LT(((s - edge.pointA).norm() + (s - edge.pointB).norm()) - (edge.pointA - edge.pointB).norm(), 1e-6f);
      EXPECT_TRUE(s != edge.pointA && s != edge.pointB);
    }
  }
  TrainingPose pose;
  pose.translation = Eigen::Vector3f(0, 0, 1);
  EXPECT_EQ(edges.getSilhouetteEdges(pose, false), std::vector<bool>(18, false));
}

TEST(EdgeModel, SortIsStableAndTotalWithNonNumbers) {
  // Four faces around shared edges; face 2's normal is not a number. No edge is sharp.
  MeshModel mesh;
  for (const Eigen::Vector3f& p : {Eigen::Vector3f(0, 0, 0), Eigen::Vector3f(1, 0, 0), Eigen::Vector3f(0, 1, 0),
                                   Eigen::Vector3f(1, 1, 0), Eigen::Vector3f(2, 0, 0)}) {
    mesh.mVertices.emplace_back();
    mesh.mVertices.back().position = p;
  }
  const float nan = std::nanf("");
  mesh.mFaces = {{{0, 1, 2}, {0, 0, 1}}, {{1, 2, 3}, {0, 0, 1}}, {{1, 3, 4}, {nan, 0, 1}}, {{2, 0, 1}, {0, 0, 1}}};
  mesh.mAdjacentFaces = {{0, 1}, {0, 3}, {1, 2}, {1, 3}};
  EdgeModelParams params;
  params.sampleStep = 0.1f;
  const EdgeModel edges(mesh, params, 3u);
  ASSERT_EQ(edges.mEdges.size(), 4u);
  EXPECT_EQ(edges.mSharpEdgeCount, 0);
  EXPECT_EQ(edges.mEdges[0].pointA, mesh.mVertices[1].position);  // pair (0, 1)
  EXPECT_EQ(edges.mEdges[1].pointB, mesh.mVertices[0].position);  // pair (0, 3)
  EXPECT_EQ(edges.mEdges[2].pointB, mesh.mVertices[1].position);  // pair (1, 3)
  EXPECT_TRUE(std::isnan(edges.mEdges[3].normalB.x()));          // pair (1, 2) last
}

TEST(EdgeModel, SegmentSamplesFollowTheirEngine) {
  // Reference: midpoint, left half, right half; a short segment keeps its midpoint when the
  // uniform double (x1 + x2 2^32) / 2^64 is below length / (2 spacing).
  struct Reference {
    std::mt19937 engine{1234u};
    std::vector<Eigen::Vector3f> out;
    void run(const Eigen::Vector3f& a, const Eigen::Vector3f& b, float s) {
      const float d = (a - b).norm();
      if (d > 2.0f * s) {
        const Eigen::Vector3f m = (a + b) * 0.5f;
        out.push_back(m);
        run(a, m, s);
        run(m, b, s);
        return;
      }
      const double x1 = engine(), x2 = engine();
      if ((x1 + x2 * 4294967296.0) / 18446744073709551616.0 < double(d / (2.0f * s))) out.push_back((a + b) * 0.5f);
    }
  } reference;
  const Eigen::Vector3f a(0.1f, 0.2f, 0.3f), b(1.3f, -0.7f, 0.4f);
  for (const float s : {0.05f, 0.3f, 0.8f, 2.0f}) reference.run(a, b, s);
  std::vector<Eigen::Vector3f> got;
  onFreshThread([&] {
    for (const float s : {0.05f, 0.3f, 0.8f, 2.0f}) Lumetra::sampleSegment(a, b, s, 1234u, got);
  });
  EXPECT_EQ(got, reference.out);
}

TEST(EdgeModel, VoxelFilterKeepsOnePointPerCell) {
  struct Case {
    std::vector<Eigen::Vector3f> points;
    std::vector<float> weights;
    std::vector<bool> kept;
  };
  const Case cases[] = {
      {{{0.1f, 0.1f, 0.1f}, {0.2f, 0.2f, 0.2f}}, {0.0f, 1.0f}, {false, true}},         // sharper wins
      {{{0.1f, 0.1f, 0.1f}, {0.4f, 0.6f, 0.5f}}, {1.0f, 1.0f}, {false, true}},         // nearer the centre
      {{{0.4f, 0.5f, 0.5f}, {0.6f, 0.5f, 0.5f}}, {1.0f, 1.0f}, {true, false}},         // tie: the first
      {{{0.5f, 0.5f, 0.5f}, {1.5f, 0.5f, -0.5f}}, {0.0f, 0.0f}, {true, true}},        // two cells
  };
  for (const Case& c : cases) EXPECT_EQ(Lumetra::voxelGridFilter(c.points, c.weights, 1.0f), c.kept);
}

TEST(EdgeModel, SharpSamplesAreCappedAtTheMaximum) {
  const MeshModel cube = rendertest::loadModel(rendertest::assimpModel("PLY/cube.ply"));
  auto sharpSamples = [&](std::int32_t maxSamples) {
    std::size_t count = 0;
    onFreshThread([&] {
      EdgeModelParams params = driverParams(cube);
      params.maxSamples = maxSamples;
      const EdgeModel edges(cube, params, 99u);
      for (int e = 0; e < edges.mSharpEdgeCount; ++e) count += edges.mEdges[e].samples.size();
    });
    return count;
  };
  const std::size_t all = sharpSamples(1 << 30);
  ASSERT_GT(all, 20u);
  EXPECT_EQ(sharpSamples(std::int32_t(all)), all);
  EXPECT_EQ(sharpSamples(std::int32_t(all) - 7), all - 7);
}

TEST(EdgeModel, SilhouetteNeedsOneFaceTowardsTheCamera) {
  struct Case {
    Eigen::Vector3f normalA, normalB;
    Eigen::Quaternionf rotation;
    bool silhouette;
  };
  const Eigen::Quaternionf identity = Eigen::Quaternionf::Identity();
  const Eigen::Quaternionf quarterTurn(Eigen::AngleAxisf(1.5707964f, Eigen::Vector3f::UnitY()));
  const Case cases[] = {
      {{0, 0, -1}, {0, 0, 1}, identity, true},     // one towards, one away
      {{0, 0, -1}, {0.6f, 0, -0.8f}, identity, false},  // both towards the camera
      {{0, 0, 1}, {0.6f, 0, 0.8f}, identity, false},    // both away
      {{1, 0, 0}, {0, 1, 0}, identity, false},          // both edge-on
      {{1, 0, 0}, {0, 1, 0}, quarterTurn, true},        // the rotation turns one towards the camera
  };
  for (const Case& c : cases) {
    EdgeModel::Edge edge;
    edge.normalA = c.normalA;
    edge.normalB = c.normalB;
    edge.pointA = Eigen::Vector3f(-0.1f, 0, 0);
    edge.pointB = Eigen::Vector3f(0.1f, 0, 0);
    TrainingPose pose;
    pose.rotation = c.rotation;
    pose.translation = Eigen::Vector3f(0, 0, 2);
    EXPECT_EQ(Lumetra::isSilhouetteEdge(edge, pose), c.silhouette);
  }
}

TEST(EdgeModel, FileHoldsEveryField) {
  const MeshModel cube = rendertest::loadModel(rendertest::assimpModel("PLY/cube.ply"));
  const EdgeModel edges(cube, driverParams(cube), 1u);
  TestSupport::TempDir scratch;
  const fs::path path = scratch.path() / "new" / "folder" / "edges.dat";
  ASSERT_TRUE(Lumetra::saveEdgeModel(edges, path.string()));
  testsupport::LittleEndianReader file(testsupport::readFileBytes(path));
  EXPECT_EQ(file.u8(), 1);
  ASSERT_EQ(file.u64(), 18u);
  for (const EdgeModel::Edge& edge : edges.mEdges) {
    EXPECT_EQ(readVector(file), edge.normalA);
    EXPECT_EQ(readVector(file), edge.normalB);
    EXPECT_EQ(readVector(file), edge.pointA);
    EXPECT_EQ(readVector(file), edge.pointB);
    ASSERT_EQ(file.u64(), edge.samples.size());
    for (const Eigen::Vector3f& s : edge.samples) EXPECT_EQ(readVector(file), s);
  }
  EXPECT_TRUE(file.i32() == 12 && file.i32() == 12 && file.f32() == 0.06f * cube.mMaxDistance);
  EXPECT_TRUE(file.f32() == 44.0f && file.f32() == 1.0f && file.i32() == 1000);
  EXPECT_EQ(file.remaining(), 0u);
  // An edge model without edges.
  ASSERT_TRUE(Lumetra::saveEdgeModel(EdgeModel(), path.string()));
  EXPECT_EQ(fs::file_size(path), 33u);
}

TEST(EdgeModel, FileOfAFoldedStripSplitsSharpAndConsideredEdges) {
  // Six triangles in a strip, triangle k on vertices k, k + 1, k + 2, whose normals (-sin t, 0,
  // cos t) turn by 0.5, 20, 60, 100 and 30 degrees from one to the next: 2 sharp edges (from 44
  // degrees), 4 considered (from 1 degree), ordered by the turn.
  const float turn[6] = {0.0f, 0.5f, 20.0f, 60.0f, 100.0f, 30.0f};
  MeshModel mesh;
  float theta = 0.0f;
  for (std::uint32_t k = 0; k < 8; ++k) {
    mesh.mVertices.emplace_back();
    mesh.mVertices.back().position = Eigen::Vector3f(float(k / 2), float(k % 2), 0.0f);
    if (k >= 6) continue;
    theta += turn[k] * 3.1415927f / 180.0f;
    mesh.mFaces.push_back({{k, k + 1, k + 2}, Eigen::Vector3f(-std::sin(theta), 0.0f, std::cos(theta))});
    if (k > 0) mesh.mAdjacentFaces.push_back({k - 1, k});
  }
  EdgeModelParams params;
  params.sampleStep = 0.1f;
  TestSupport::TempDir scratch;
  const fs::path path = scratch.path() / "edges.dat";
  ASSERT_TRUE(Lumetra::saveEdgeModel(EdgeModel(mesh, params, 4u), path.string()));
  testsupport::LittleEndianReader file(testsupport::readFileBytes(path));
  EXPECT_EQ(file.u8(), 1);
  ASSERT_EQ(file.u64(), 5u);
  for (const std::uint32_t j : {4, 3, 5, 2, 1}) {  // edge (j - 1, j), on vertices j and j + 1
    EXPECT_EQ(readVector(file), mesh.mFaces[j - 1].normal);
    EXPECT_EQ(readVector(file), mesh.mFaces[j].normal);
    const Eigen::Vector3f a = readVector(file), b = readVector(file);
    EXPECT_TRUE(a == mesh.mVertices[j].position && b == mesh.mVertices[j + 1].position);
    for (std::uint64_t n = file.u64(); n > 0; --n)  // samples on their own edge
      EXPECT_LT(((a + b) * 0.5f - readVector(file)).norm(), 0.5f * (a - b).norm() + 1e-6f);
  }
  EXPECT_TRUE(file.i32() == 2 && file.i32() == 4 && file.f32() == 0.1f);
  EXPECT_TRUE(file.f32() == 44.0f && file.f32() == 1.0f && file.i32() == 1000);
  EXPECT_EQ(file.remaining(), 0u);
}

}  // namespace
