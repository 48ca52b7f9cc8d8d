// Loading 3-D models: the importer's real test models and meshes written here.
#include "Renderer/FaceAdjacency.h"
#include "Renderer/MeshModel.h"
#include "Renderer/MeshTextures.h"

#include "Process.h"
#include "RendererTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <random>

namespace {

using Lumetra::MeshModel;
namespace fs = std::filesystem;

TEST(MeshModel, RealModels) {
  struct Case {
    const char* file;
    bool loaded;
    std::size_t meshes, faces;  // faces: 0 = any number above 0
    std::size_t pairs = 0;      // 0: not checked (beyond the pairwise rule)
  };
  const Case cases[] = {
      {"OBJ/box.obj", true, 1, 12},
      {"OBJ/spider.obj", true, 19, 0},
      {"3DS/cube_with_diffuse_texture.3DS", true, 1, 12, 18},  // corners repeated under distinct indices
      {"OBJ/testpoints.obj", true, 1, 0},   // 24 points
      {"OBJ/testmixed.obj", true, 3, 12},   // 24 points and 18 lines left out
      {"PLY/pond.0.ply", false, 0, 0},      // data shorter than its header
      {"PLY/points.ply", true, 0, 0},       // points without faces: no mesh is left
      {"OBJ/no-such-file.obj", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TestSupport::LogCapture log;
    const MeshModel model = rendertest::loadModel(rendertest::assimpModel(c.file));
    const std::string file = c.file;
    if (file.find("/test") != std::string::npos) {
      const char* count = file == "OBJ/testpoints.obj" ? "24" : "42";
      EXPECT_TRUE(log.contains(std::string("Left out ") + count + " faces of fewer than three vertices"));
    }
    ASSERT_EQ(model.mLoaded, c.loaded);
    EXPECT_EQ(model.mSubMeshes.size(), c.meshes);
    if (file.find("/test") != std::string::npos || c.faces != 0 || c.meshes == 0) {
      EXPECT_EQ(model.mFaces.size(), c.faces);
    } else {
      EXPECT_GT(model.mFaces.size(), 0u);
    }
    std::size_t indices = 0;
    for (const MeshModel::Face& face : model.mFaces) {
      EXPECT_GE(face.indices.size(), 3u);
      indices += face.indices.size();
    }
    EXPECT_EQ(model.mIndices.size(), indices);
    EXPECT_EQ(model.mAdjacentFaces, rendertest::quadraticAdjacency(model.mVertices, model.mFaces));
    EXPECT_TRUE(c.pairs == 0 || model.mAdjacentFaces.size() == c.pairs);
    if (!c.loaded) {  // the initial state
      EXPECT_TRUE(model.mVertices.empty() && model.mAdjacentFaces.empty());
    }
  }
}

TEST(MeshModel, InvalidFilesLeaveTheModelNotLoaded) {
  for (const auto& entry : fs::directory_iterator(rendertest::assimpModel("invalid"))) {
    if (entry.path().extension() == ".txt") continue;
    SCOPED_TRACE(entry.path().string());
    const MeshModel model = rendertest::loadModel(entry.path().string());
    EXPECT_EQ(model.mLoaded, entry.path().filename() == "malformed2.obj");  // that one has usable faces
  }
}

TEST(MeshModel, WrittenMeshes) {
  TestSupport::TempDir scratch;
  const fs::path dir = scratch.path();
  std::ofstream(dir / "m.mtl") << "newmtl good\nmap_Kd sub\\TEX.PNG\nnewmtl broken\nmap_Kd bad.png\n"
                                  "newmtl missing\nmap_Kd none.png\nnewmtl pipe\nmap_Kd pipe.png\n";
  ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);  // opening it would wait for a writer
  fs::create_directory(dir / "sub");
  fs::copy_file(rendertest::assimpModel("3DS/test.png"), dir / "sub" / "tex.png");
  std::ofstream(dir / "bad.png") << "\x89PNG\r\n\x1a\n broken";
  // Mesh 1: texture coordinates and normals. Mesh 2: no normals or texture coordinates. Mesh 3: a degenerate
  // triangle. Meshes 2 and 3 use materials whose textures cannot be read.
  std::ofstream(dir / "m.obj") << "mtllib m.mtl\n"
                                  "v 0 0 0\nv 1000 0 0\nv 0 1000 0\n"
                                  "v 0 0 1000\nv 1000 0 1000\nv 0 1000 1000\n"
                                  "v 0 0 2000\nv 1000 0 2000\nv 2000 0 2000\n"
                                  "vt 0.25 0.75\nvt 0.5 0.125\nvt 1 1\nvn 0 0 1\n"
                                  "o a\nusemtl good\nf 1/1/1 2/2/1 3/3/1\n"
                                  "o b\nusemtl broken\nf 4 5 6\n"
                                  "o c\nusemtl missing\nf 7 8 9\n";
  CadModelSource source;
  source.modelPath = (dir / "m.obj").string();
  const MeshModel model(source, "", 0.001f, true);
  ASSERT_TRUE(model.mLoaded);
  ASSERT_EQ(model.mSubMeshes.size(), 3u);
  ASSERT_EQ(model.mVertices.size(), 9u);
  EXPECT_EQ(model.mSubMeshes[1].firstIndex, 3u);
  EXPECT_EQ(model.mSubMeshes[1].indexCount, 3u);
  for (std::size_t f = 0; f < 3; ++f) {
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(model.mFaces[f].indices[k], model.mIndices[3 * f + k]);
      EXPECT_GE(model.mFaces[f].indices[k], 3 * f);  // offset by the earlier meshes' vertices
    }
  }
  const MeshModel::Vertex& textured = model.mVertices[model.mFaces[0].indices[0]];
  EXPECT_EQ(textured.texCoord, Eigen::Vector2f(0.25f, 0.25f));
  EXPECT_EQ(textured.normal, Eigen::Vector3f(0, 0, 1));
  const MeshModel::Vertex& plain = model.mVertices[model.mFaces[1].indices[0]];
  EXPECT_EQ(plain.normal, Eigen::Vector3f::Zero());
  EXPECT_EQ(plain.texCoord, Eigen::Vector2f::Zero());
  EXPECT_EQ(plain.color, Eigen::Vector4f::Zero());
  EXPECT_TRUE(model.mHasTextures);
  EXPECT_FALSE(model.mHasVertexColors);
  EXPECT_TRUE(rendertest::loadModel(rendertest::assimpModel("OBJ/cube_with_vertexcolors.obj")).mHasVertexColors);
  EXPECT_EQ(model.mFaces[0].normal, Eigen::Vector3f(0, 0, 1));
  EXPECT_EQ(model.mFaces[2].normal, Eigen::Vector3f::Zero());  // collinear vertices
  EXPECT_FALSE(model.mSubMeshes[0].texture.isEmpty());
  EXPECT_TRUE(model.mSubMeshes[1].texture.isEmpty());
  EXPECT_TRUE(model.mSubMeshes[2].texture.isEmpty());
  // A name with the folders of another machine: the file name beside the model.
  EXPECT_EQ(Lumetra::TextureLookup(dir.string()).find("C:\\art\\M.OBJ").path, (dir / "m.obj").string());
  EXPECT_TRUE(model.mAdjacentFaces.empty());  // the meshes touch at single corners only
  // Centroid, largest distance (below 1: the initial 1.0 does not survive) and box.
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (const MeshModel::Vertex& v : model.mVertices) mean += v.position.cast<double>() / 9.0;
  EXPECT_LT((model.mCentroid.cast<double>() - mean).norm(), 1e-6);
  EXPECT_NEAR(model.mMaxDistance, (Eigen::Vector3f(2, 0, 2) - model.mCentroid).norm(), 1e-6f);
  EXPECT_EQ(model.mBoundingBoxMax, Eigen::Vector3f(2, 1, 2));
  EXPECT_EQ(model.mBoundingBoxMin, Eigen::Vector3f(0, 0, 0));
  // Solids without facets (meshes without faces) before and after the one that has one are left out;
  // that one loads, its node naming it after the first is gone.
  std::ofstream(dir / "two.stl") << "solid c\nendsolid c\nsolid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n"
                                    "vertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid a\nsolid b\nendsolid b\n";
  const MeshModel two = rendertest::loadModel((dir / "two.stl").string());
  EXPECT_TRUE(two.mLoaded && two.mSubMeshes.size() == 1 && two.mFaces.size() == 1) << two.mLoadFailure;
}

TEST(MeshModel, SharedLoadIsCached) {
  CadModelSource source;
  source.modelPath = rendertest::assimpModel("OBJ/box.obj");
  const auto first = Lumetra::loadSharedMeshModel(source, true, true);
  EXPECT_EQ(Lumetra::loadSharedMeshModel(source, true, false), first);
  EXPECT_EQ(source.mesh, first);
}

TEST(MeshModel, FastAdjacencyMatchesPairwiseTestOnRandomMeshes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    // Positions on a coarse grid, each repeated under several indices, some of them a hair apart.
    std::vector<MeshModel::Vertex> vertices(60);
    for (MeshModel::Vertex& v : vertices) {
      v.position = Eigen::Vector3f(float(rng() % 4), float(rng() % 4), float(rng() % 3)) * 0.25f;
      v.position[rng() % 3] += float(int(rng() % 5) - 2) * 1.1920929e-7f * 0.5f;  // across grid-cell borders too
    }
    std::vector<MeshModel::Face> faces(150);
    for (MeshModel::Face& f : faces) f.indices = {std::uint32_t(rng() % 60), std::uint32_t(rng() % 60), std::uint32_t(rng() % 60)};
    std::vector<MeshModel::FacePair> fast;
    ASSERT_TRUE(Lumetra::computeFaceAdjacency(vertices, faces, fast));
    EXPECT_EQ(fast, rendertest::quadraticAdjacency(vertices, faces));
    // A list longer than the bound is refused.
    const std::uint64_t count = fast.size();
    EXPECT_TRUE(Lumetra::computeFaceAdjacency(vertices, faces, fast, count));
    EXPECT_FALSE(Lumetra::computeFaceAdjacency(vertices, faces, fast, count - 1));
    EXPECT_TRUE(fast.empty());
  }
}

TEST(MeshModel, FansLoadAndManyFacesOnOneEdgeAreRefused) {
  // A disc of 3,000 triangles whose centre has two indices, and 3,000 triangles on one edge
  // (4.5 million pairs, more than the default bound of 8 per face plus 2^22).
  constexpr std::uint32_t n = 3000;
  std::vector<MeshModel::Vertex> vertices(n + 2);
  for (std::uint32_t k = 0; k < n; ++k) {
    const double angle = 6.283185307179586 * k / n;
    vertices[k + 2].position = Eigen::Vector3f(float(std::cos(angle)), float(std::sin(angle)), 0.0f);
  }
  std::vector<MeshModel::Face> fan(n), book(n);
  for (std::uint32_t k = 0; k < n; ++k) {
    fan[k].indices = {k % 2, k + 2, (k + 1) % n + 2};
    book[k].indices = {0, 2, k % (n - 1) + 3};
  }
  std::vector<MeshModel::FacePair> pairs;
  ASSERT_TRUE(Lumetra::computeFaceAdjacency(vertices, fan, pairs));
  EXPECT_EQ(pairs, rendertest::quadraticAdjacency(vertices, fan));
  EXPECT_FALSE(Lumetra::computeFaceAdjacency(vertices, book, pairs));
}

}  // namespace
