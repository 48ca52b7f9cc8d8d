// The sharp-edge model built from a fuzzed mesh and written to its file. The input holds the
// parameters, then the vertices (three coordinates each: a byte on a coarse grid, or 0xFF and four
// bytes of a raw float), then the faces (a byte for 3 to 5 corners, a byte per corner). The mesh is
// set up as the model loader sets it up (face normals, centroid, largest distance, face pairs), and
// the sample spacing is the driver's: 0.06 times the largest distance. Beyond the sanitizers'
// checks: the counts are ordered, the sharp samples respect their bound, and the file has exactly
// the size its layout gives.
#include "FuzzSupport.h"

#include "Renderer/EdgeModel.h"
#include "Renderer/FaceAdjacency.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>

namespace {

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  bool empty() const { return size == 0; }
  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  float coordinate() {
    const std::uint8_t b = byte();
    if (b != 0xFF) return static_cast<float>(static_cast<int>(b) - 128) * 0.25f;
    std::uint8_t raw[4] = {byte(), byte(), byte(), byte()};
    float value = 0.0f;
    std::memcpy(&value, raw, sizeof value);
    return value;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  Reader in{data, size};
  Lumetra::EdgeModelParams params;
  const std::uint8_t flags = in.byte();
  params.sharpAngleDeg = (flags & 1) != 0 ? static_cast<float>(in.byte()) * 0.75f : 44.0f;
  params.considerAngleDeg = (flags & 2) != 0 ? static_cast<float>(in.byte()) * 0.75f : 1.0f;
  params.maxSamples = (flags & 4) != 0 ? static_cast<std::int32_t>(in.byte()) * 8 - 8 : 1000;
  params.subsample = (flags & 8) != 0;
  params.subsampleBudget = static_cast<std::int32_t>(in.byte()) * 16 - 16;

  Lumetra::MeshModel mesh;
  const std::size_t vertexCount = 1 + in.byte() % 64;
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (std::size_t v = 0; v < vertexCount; ++v) {
    Lumetra::MeshModel::Vertex vertex;
    vertex.position = Eigen::Vector3f(in.coordinate(), in.coordinate(), in.coordinate());
    if (!vertex.position.allFinite()) return 0;  // the loader refuses such a model
    mesh.mVertices.push_back(vertex);
    mean += (vertex.position.cast<double>() - mean) / static_cast<double>(v + 1);
  }
  mesh.mCentroid = mean.cast<float>();
  mesh.mMaxDistance = 0.0f;
  for (const Lumetra::MeshModel::Vertex& vertex : mesh.mVertices)
    mesh.mMaxDistance = std::max(mesh.mMaxDistance, (vertex.position - mesh.mCentroid).norm());
  if (!std::isfinite(mesh.mMaxDistance)) return 0;
  while (!in.empty() && mesh.mFaces.size() < 256) {
    Lumetra::MeshModel::Face face;
    const std::size_t corners = 3 + in.byte() % 3;
    for (std::size_t k = 0; k < corners; ++k) face.indices.push_back(in.byte() % vertexCount);
    const Eigen::Vector3f& p0 = mesh.mVertices[face.indices[0]].position;
    face.normal = (mesh.mVertices[face.indices[1]].position - p0).cross(mesh.mVertices[face.indices[2]].position - p0);
    const float squaredLength = face.normal.squaredNorm();
    if (squaredLength > 0.0f) face.normal /= std::sqrt(squaredLength);
    if (!face.normal.allFinite()) return 0;
    mesh.mIndices.insert(mesh.mIndices.end(), face.indices.begin(), face.indices.end());
    mesh.mFaces.push_back(face);
  }
  if (!Lumetra::computeFaceAdjacency(mesh.mVertices, mesh.mFaces, mesh.mAdjacentFaces)) return 0;
  mesh.mLoaded = true;

  params.sampleStep = 0.06f * mesh.mMaxDistance;
  const Lumetra::EdgeModel edges(mesh, params, 1u);
  FUZZ_CHECK(0 <= edges.mSharpEdgeCount);
  FUZZ_CHECK(static_cast<std::size_t>(edges.mConsideredEdgeCount) <= edges.mEdges.size());
  std::size_t sharpSamples = 0, samples = 0;
  for (std::size_t e = 0; e < edges.mEdges.size(); ++e) {
    if (e < static_cast<std::size_t>(edges.mSharpEdgeCount)) sharpSamples += edges.mEdges[e].samples.size();
    samples += edges.mEdges[e].samples.size();
  }
  FUZZ_CHECK(params.subsample || sharpSamples <= static_cast<std::size_t>(std::max(0, params.maxSamples)));

  // Layout: endianness byte, edge count, per edge four vectors of 20 bytes, a sample count and the
  // samples, then two counts, three floats and maxSamples.
  const std::string path = folder.write("edges.dat", data, 0);
  FUZZ_CHECK(Lumetra::saveEdgeModel(edges, path));
  struct stat info {};
  FUZZ_CHECK(::stat(path.c_str(), &info) == 0);
  FUZZ_CHECK(static_cast<std::size_t>(info.st_size) == 1 + 8 + edges.mEdges.size() * (4 * 20 + 8) + samples * 20 + 24);
  return 0;
}
