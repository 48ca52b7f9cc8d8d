#include "Renderer/MeshModel.h"

#include "Core/Log.h"
#include "Renderer/FaceAdjacency.h"
#include "Renderer/ImportedModel.h"
#include "Renderer/MeshTextures.h"

#include <assimp/postprocess.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>
#include <new>

namespace Lumetra {

namespace {

constexpr unsigned kImportFlags =
    aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices | aiProcess_Triangulate | aiProcess_SortByPType;
// Pinned: other steps would change what every model reads as.
static_assert(kImportFlags == 0x800B, "the import steps changed");

/// What the first pass over a scene's meshes finds.
struct SceneTotals {
  std::uint64_t vertices = 0, faces = 0, indices = 0;  ///< faces and their indices: three or more corners
  std::uint64_t skippedFaces = 0;                      ///< points and lines
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();      ///< of the scaled positions
  bool vertexColors = false;
};

/// The first pass: the totals, and the centroid as a running mean in double precision. Why the
/// model cannot be used (a non-finite coordinate, more than 32-bit counts), or empty.
std::string countScene(const ImportedModel& imported, float scale, SceneTotals& totals) {
  for (const ImportedModel::Mesh& mesh : imported.meshes) {
    for (const std::uint32_t corners : mesh.faceSizes) {
      if (corners < 3) {
        ++totals.skippedFaces;
        continue;
      }
      ++totals.faces;
      totals.indices += corners;
    }
    for (std::uint32_t v = 0; v < mesh.vertexCount(); ++v) {
      const float* p = &mesh.positions[3 * static_cast<std::size_t>(v)];
      const Eigen::Vector3f scaled(p[0] * scale, p[1] * scale, p[2] * scale);
      if (!scaled.allFinite()) return "it has a vertex with a non-finite coordinate.";
      ++totals.vertices;
      totals.mean += (scaled.cast<double>() - totals.mean) / static_cast<double>(totals.vertices);
    }
    if (!mesh.colors.empty() && mesh.vertexCount() > 0) totals.vertexColors = true;
  }
  constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
  if (totals.vertices > kMaxCount || totals.indices > kMaxCount) {
    return "it has more than 4294967295 vertices or face corners.";
  }
  return {};
}

/// Copies one mesh's vertices into the model from `vertexBase` on (positions scaled, the rest as
/// the mesh has them), widening the model's largest distance from the centroid and its bounding box.
void copyVertices(const ImportedModel::Mesh& mesh, float scale, std::uint32_t vertexBase, MeshModel& model) {
  for (std::size_t v = 0; v < mesh.vertexCount(); ++v) {
    MeshModel::Vertex& vertex = model.mVertices[vertexBase + v];
    const float* p = &mesh.positions[3 * v];
    vertex.position = Eigen::Vector3f(p[0] * scale, p[1] * scale, p[2] * scale);
    if (!mesh.texCoords.empty()) vertex.texCoord = Eigen::Vector2f(mesh.texCoords[2 * v], 1.0f - mesh.texCoords[2 * v + 1]);
    if (!mesh.normals.empty()) vertex.normal = Eigen::Map<const Eigen::Vector3f>(&mesh.normals[3 * v]);
    if (!mesh.colors.empty()) vertex.color = Eigen::Map<const Eigen::Vector4f>(&mesh.colors[4 * v]);
    const float distance = (vertex.position - model.mCentroid).norm();
    if (distance > model.mMaxDistance) model.mMaxDistance = distance;
    for (int axis = 0; axis < 3; ++axis) {
      if (vertex.position[axis] < model.mBoundingBoxMin[axis]) model.mBoundingBoxMin[axis] = vertex.position[axis];
      if (vertex.position[axis] > model.mBoundingBoxMax[axis]) model.mBoundingBoxMax[axis] = vertex.position[axis];
    }
  }
}

/// Copies one mesh's faces of three or more corners into the model at `faceAt` and their indices
/// at `indexAt` (both advanced), each with the unit normal of its first three corners. False when
/// a normal is not finite.
bool copyFaces(const ImportedModel::Mesh& mesh, std::uint32_t vertexBase, MeshModel& model, std::uint32_t& indexAt,
               std::uint32_t& faceAt) {
  const std::uint32_t* corner = mesh.indices.data();
  for (const std::uint32_t corners : mesh.faceSizes) {
    const std::uint32_t* first = corner;
    corner += corners;
    if (corners < 3) continue;
    MeshModel::Face& face = model.mFaces[faceAt++];
    face.indices.resize(corners);
    for (std::uint32_t k = 0; k < corners; ++k) {
      face.indices[k] = first[k] + vertexBase;
      model.mIndices[indexAt++] = face.indices[k];
    }
    const Eigen::Vector3f& p0 = model.mVertices[face.indices[0]].position;
    const Eigen::Vector3f& p1 = model.mVertices[face.indices[1]].position;
    const Eigen::Vector3f& p2 = model.mVertices[face.indices[2]].position;
    face.normal = (p1 - p0).cross(p2 - p0);
    const float squaredLength = face.normal.squaredNorm();
    if (squaredLength > 0.0f) face.normal /= std::sqrt(squaredLength);
    if (!face.normal.allFinite()) return false;
  }
  return true;
}

/// The second pass: the vertices, faces and sub-meshes, each sub-mesh with its material's texture.
/// Why the coordinates cannot be used, or empty.
std::string copyScene(const ImportedModel& imported, float scale, const SceneTotals& totals,
                      const std::vector<ImageRGB>& textures, MeshModel& model) {
  model.mVertices.resize(totals.vertices);
  model.mIndices.resize(totals.indices);
  model.mFaces.resize(totals.faces);
  model.mSubMeshes.resize(imported.meshes.size());
  model.mMaxDistance = 0.0f;
  std::uint32_t vertexBase = 0, indexAt = 0, faceAt = 0;
  for (std::size_t m = 0; m < imported.meshes.size(); ++m) {
    const ImportedModel::Mesh& mesh = imported.meshes[m];
    MeshModel::SubMesh& subMesh = model.mSubMeshes[m];
    subMesh.firstIndex = indexAt;
    copyVertices(mesh, scale, vertexBase, model);
    if (!copyFaces(mesh, vertexBase, model, indexAt, faceAt)) {
      return "its coordinates are too large for its face normals.";
    }
    subMesh.indexCount = indexAt - subMesh.firstIndex;
    if (mesh.material < textures.size()) subMesh.texture = textures[mesh.material];
    vertexBase += mesh.vertexCount();
  }
  if (!std::isfinite(model.mMaxDistance)) return "its coordinates are too large for its extent.";
  return {};
}

}  // namespace

MeshModel::MeshModel(const CadModelSource& source, const std::string& textureDirectory, float scale,
                     bool computeAdjacency) {
  bool loaded = false;
  try {
    loaded = load(source, textureDirectory, scale, computeAdjacency);
  } catch (const std::bad_alloc&) {
    mLoadFailure = "there is not enough memory to hold it.";
  } catch (const std::exception& error) {
    mLoadFailure = error.what();
  } catch (...) {
    mLoadFailure = "loading it failed.";
  }
  if (!loaded) {
    std::string failure = std::move(mLoadFailure);
    LUMETRA_LOG_ERROR("The model {} could not be loaded: {}", source.modelPath, failure);
    *this = MeshModel();
    mLoadFailure = std::move(failure);
  }
}

bool MeshModel::load(const CadModelSource& source, const std::string& textureDirectory, float scale,
                     bool computeAdjacency) {
  // A file that crashes the import library, runs for ever or asks for runaway memory ends the
  // import in a child process, never this one; this process only reads what the child made.
  const auto fail = [this](std::string why) {
    mLoadFailure = std::move(why);
    return false;
  };
  std::string error;
  ImportedModel imported;
  const std::string exportStem = hasObjExtension(source.modelPath) ? std::string() : source.copyStem;
  if (!importModel(source.modelPath, kImportFlags, exportStem, imported, error)) return fail(error);
  if (imported.droppedMeshes > 0) LUMETRA_LOG_WARN("Left out {} meshes without faces.", imported.droppedMeshes);
  mLoaded = true;
  mObjExport = std::move(imported.exported);

  mTextureFiles = std::make_shared<TextureLookup>(textureFolder(source.modelPath, textureDirectory));
  const std::vector<ImageRGB> textures = loadMaterialTextures(imported, *mTextureFiles, mHasTextures, mTextureFailures);

  SceneTotals totals;
  error = countScene(imported, scale, totals);
  if (!error.empty()) return fail(error);
  if (totals.skippedFaces > 0) {
    LUMETRA_LOG_WARN("Left out {} faces of fewer than three vertices (points and lines).", totals.skippedFaces);
  }
  if (totals.vertexColors) mHasVertexColors = true;
  mCentroid = totals.mean.cast<float>();

  error = copyScene(imported, scale, totals, textures, *this);
  if (!error.empty()) return fail(error);
  imported = ImportedModel();
  LUMETRA_LOG_INFO("Model centroid: {}, max dist to center: {}",
                   fmt::format("{} {} {}", mCentroid.x(), mCentroid.y(), mCentroid.z()), mMaxDistance);

  if (computeAdjacency && !computeFaceAdjacency(mVertices, mFaces, mAdjacentFaces)) {
    return fail("too many of its faces meet at coincident positions.");
  }
  mAdjacentFaces.shrink_to_fit();
  return true;
}

bool MeshModel::hasArea() const {
  return std::any_of(mFaces.begin(), mFaces.end(), [this](const Face& face) {
    const auto corner = [&](std::size_t k) { return mVertices[face.indices[k]].position.cast<double>(); };
    return !(corner(1) - corner(0)).cross(corner(2) - corner(0)).isZero(0.0);
  });
}

bool hasObjExtension(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".obj";
}

std::shared_ptr<MeshModel> loadSharedMeshModel(CadModelSource& source, bool cache, bool computeAdjacency) {
  if (source.mesh) return source.mesh;
  std::shared_ptr<MeshModel> model;
  try {
    model = std::make_shared<MeshModel>(source, std::string(), source.description.scale, computeAdjacency);
  } catch (const std::exception&) {
    LUMETRA_LOG_ERROR("Out of memory while loading the model {}.", source.modelPath);
    return nullptr;
  }
  if (cache) source.mesh = model;
  return model;
}

}  // namespace Lumetra
