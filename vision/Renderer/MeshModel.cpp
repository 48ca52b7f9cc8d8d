#include "Renderer/MeshModel.h"

#include "Core/Log.h"
#include "Image/ImageIO.h"
#include "Renderer/GridCell.h"
#include "Renderer/GuardedImport.h"

#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

namespace Lumetra {

namespace {

// CalcTangentSpace | JoinIdenticalVertices | Triangulate | SortByPType.
constexpr unsigned kImportFlags = 0x800B;

/// The largest squared length whose square root (correctly rounded, as every IEEE square root is)
/// is at most the shared-vertex distance: comparing squared lengths with it gives exactly the
/// result of comparing lengths with the distance, without a square root per test.
float largestSharedSquaredLength() {
  float limit = kSharedVertexDistance * kSharedVertexDistance;
  while (std::sqrt(limit) > kSharedVertexDistance) limit = std::nextafter(limit, 0.0f);
  while (std::sqrt(std::nextafter(limit, 1.0f)) <= kSharedVertexDistance) limit = std::nextafter(limit, 1.0f);
  return limit;
}

const float kSharedSquaredLength = largestSharedSquaredLength();

/// Whether the two positions lie within the shared-vertex distance: |a - b| <= distance.
inline bool isShared(const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
  return (a - b).squaredNorm() <= kSharedSquaredLength;
}

/// Whether at least two of faceB's vertices lie within the shared-vertex distance of a vertex of
/// faceA (what findSharedVertices returning two or more indices means), stopping once decided.
bool sharesTwoVertices(const std::vector<MeshModel::Vertex>& vertices, const MeshModel::Face& faceA,
                       const MeshModel::Face& faceB) {
  std::size_t count = 0, left = faceB.indices.size();
  for (const std::uint32_t k : faceB.indices) {
    if (count + left < 2) return false;
    --left;
    const Eigen::Vector3f& p = vertices[k].position;
    for (const std::uint32_t a : faceA.indices) {
      if (isShared(vertices[a].position, p)) {
        if (++count == 2) return true;
        break;
      }
    }
  }
  return false;
}

/// Width of the cells of the adjacency search: more than twice the shared-vertex distance, so two
/// positions within that distance always lie in the same or in neighbouring cells, and wide enough
/// that most cells need no look at their neighbours.
constexpr double kCellSize = 8.0 * kSharedVertexDistance;

/// The grid cell of a position in the adjacency search.
GridCell cellOf(const Eigen::Vector3f& p) {
  const double size = kCellSize;
  return GridCell{gridCoordinate(p.x() / size), gridCoordinate(p.y() / size), gridCoordinate(p.z() / size)};
}

/// Offsets into `items` per entry, from per-entry counts (counts become the offsets' ends).
std::vector<std::uint32_t> offsetsFromCounts(const std::vector<std::uint32_t>& counts) {
  std::vector<std::uint32_t> offsets(counts.size() + 1, 0);
  for (std::size_t i = 0; i < counts.size(); ++i) offsets[i + 1] = offsets[i] + counts[i];
  return offsets;
}

}  // namespace

std::vector<std::uint32_t> findSharedVertices(const MeshModel::Face& faceA, const MeshModel::Face& faceB,
                                              const MeshModel& model) {
  std::vector<std::uint32_t> shared;
  for (const std::uint32_t k : faceB.indices) {
    for (const std::uint32_t a : faceA.indices) {
      if (isShared(model.mVertices[a].position, model.mVertices[k].position)) {
        shared.push_back(k);
        break;
      }
    }
  }
  return shared;
}

bool computeFaceAdjacency(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                          std::vector<MeshModel::FacePair>& pairs, std::uint64_t maxWork) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  pairs.clear();
  if (maxWork == 0) maxWork = 64 * static_cast<std::uint64_t>(faces.size()) + (std::uint64_t{1} << 22);
  maxWork = std::min<std::uint64_t>(maxWork, kNone - 1);  // keeps 32-bit offsets
  std::uint64_t work = 0;

  // Faces of every vertex, one entry per face slot.
  std::vector<std::uint32_t> counts(vertices.size(), 0);
  for (const MeshModel::Face& face : faces)
    for (const std::uint32_t v : face.indices) ++counts[v];
  const std::vector<std::uint32_t> faceStart = offsetsFromCounts(counts);
  std::vector<std::uint32_t> facesOfVertex(faceStart.back());
  std::fill(counts.begin(), counts.end(), 0);
  for (std::size_t f = 0; f < faces.size(); ++f)
    for (const std::uint32_t v : faces[f].indices) facesOfVertex[faceStart[v] + counts[v]++] = static_cast<std::uint32_t>(f);

  // The used vertices by grid cell: each cell holds a list of its vertices (first, next).
  GridCellTable table;
  std::vector<std::uint32_t> cellFirst, next(vertices.size(), kNone);
  for (std::uint32_t v = 0; v < vertices.size(); ++v) {
    if (faceStart[v + 1] == faceStart[v]) continue;
    const std::uint32_t cell = table.insert(cellOf(vertices[v].position));
    if (cell == cellFirst.size()) cellFirst.push_back(kNone);
    next[v] = cellFirst[cell];
    cellFirst[cell] = v;
  }

  // For every used vertex the used vertices within the shared-vertex distance (itself included),
  // as runs of one array.
  std::vector<std::uint32_t> nearItems, nearBegin(vertices.size(), 0), nearEnd(vertices.size(), 0);
  nearItems.reserve(vertices.size());
  std::vector<std::uint32_t> neighbours;
  for (std::uint32_t c = 0; c < cellFirst.size(); ++c) {
    const GridCell cell = table.cell(c);
    // Only the neighbours that some vertex of the cell comes near (the distance plus a margin for
    // rounding): for a cluster of coincident vertices at most 8 of the 27 cells.
    Eigen::Vector3d low = Eigen::Vector3d::Constant(HUGE_VAL), high = -low;
    std::uint64_t members = 0;
    for (std::uint32_t v = cellFirst[c]; v != kNone; v = next[v], ++members) {
      low = low.cwiseMin(vertices[v].position.cast<double>());
      high = high.cwiseMax(vertices[v].position.cast<double>());
    }
    const std::int64_t coordinates[3] = {cell.x, cell.y, cell.z};
    std::int64_t from[3], to[3];
    for (int axis = 0; axis < 3; ++axis) {
      const double size = kCellSize, margin = 1.01 * kSharedVertexDistance;
      const double lowSide = static_cast<double>(coordinates[axis]) * size;
      const bool clamped = std::abs(static_cast<double>(coordinates[axis])) >= 3.9e18;
      from[axis] = clamped || low[axis] - lowSide <= margin ? -1 : 0;
      to[axis] = clamped || lowSide + size - high[axis] <= margin ? 1 : 0;
    }
    neighbours.clear();
    for (std::int64_t dx = from[0]; dx <= to[0]; ++dx)
      for (std::int64_t dy = from[1]; dy <= to[1]; ++dy)
        for (std::int64_t dz = from[2]; dz <= to[2]; ++dz) {
          const std::uint32_t other = table.find(GridCell{cell.x + dx, cell.y + dy, cell.z + dz});
          if (other == kNone) continue;
          neighbours.push_back(other);
          for (std::uint32_t w = cellFirst[other]; w != kNone; w = next[w]) work += members;
        }
    if (work > maxWork) return false;
    for (std::uint32_t v = cellFirst[c]; v != kNone; v = next[v]) {
      nearBegin[v] = static_cast<std::uint32_t>(nearItems.size());
      for (const std::uint32_t other : neighbours)
        for (std::uint32_t w = cellFirst[other]; w != kNone; w = next[w])
          if (isShared(vertices[v].position, vertices[w].position)) nearItems.push_back(w);
      nearEnd[v] = static_cast<std::uint32_t>(nearItems.size());
    }
  }

  // Every later face that touches face i at some position is a candidate; the exact test decides.
  // Candidates are taken in ascending order, so the pairs come out in ascending order.
  std::vector<std::uint32_t> lastSeen(faces.size(), kNone);
  std::vector<std::uint32_t> candidates;
  for (std::uint32_t i = 0; i < faces.size(); ++i) {
    candidates.clear();
    for (const std::uint32_t v : faces[i].indices) {
      for (std::uint32_t n = nearBegin[v]; n < nearEnd[v]; ++n) {
        const std::uint32_t w = nearItems[n];
        work += faceStart[w + 1] - faceStart[w];
        for (std::uint32_t s = faceStart[w]; s < faceStart[w + 1]; ++s) {
          const std::uint32_t j = facesOfVertex[s];
          if (j > i && lastSeen[j] != i) {
            lastSeen[j] = i;
            candidates.push_back(j);
          }
        }
      }
    }
    if (work > maxWork) {
      pairs.clear();
      return false;
    }
    std::sort(candidates.begin(), candidates.end());
    for (const std::uint32_t j : candidates)
      if (sharesTwoVertices(vertices, faces[i], faces[j])) pairs.emplace_back(i, j);
  }
  return true;
}

ImageRGB loadTextureImage(const std::string& path) {
  // Opening a pipe without a writer never returns, and a device may never end.
  std::error_code notFound;
  ImageRGB image;
  if (std::filesystem::is_regular_file(path, notFound)) image = loadImageRGBWithCodec(path, false);
  if (image.isEmpty()) {
    LUMETRA_LOG_ERROR("Error loading image from {}.", path);
    return ImageRGB();
  }
  return image;
}

std::string resolveTexturePath(const std::string& directory, const std::string& name) {
  namespace fs = std::filesystem;
  std::string relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const fs::path plain = directory.empty() ? fs::path(relative) : fs::path(directory) / relative;
  std::error_code error;
  if (fs::exists(plain, error)) return plain.string();

  // Match each part of the name against the folder's entries without regard to case.
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const fs::path folder = directory.empty() ? fs::path(".") : fs::path(directory);
  auto entryNamed = [&](const fs::path& in, const std::string& wanted, fs::path& found) {
    fs::directory_iterator it(in, error), end;
    for (; !error && it != end; it.increment(error)) {
      if (lower(it->path().filename().string()) == lower(wanted)) {
        found = it->path();
        return true;
      }
    }
    return false;
  };
  fs::path found = folder;
  bool matched = true;
  for (const fs::path& part : fs::path(relative).lexically_normal()) {
    if (part.empty() || part == ".") continue;
    matched = matched && entryNamed(found, part.string(), found);
  }
  if (matched) return found.string();
  // A name with folders of the machine it was made on: the file name alone, beside the model.
  if (entryNamed(folder, fs::path(relative).filename().string(), found)) return found.string();
  return plain.string();
}

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
  // import in a child process, never this one.
  const auto fail = [this](std::string why) {
    mLoadFailure = std::move(why);
    return false;
  };
  std::string error;
  if (!importsInChild(source.modelPath, kImportFlags, error)) return fail(error);
  Assimp::Importer importer;
  unsigned droppedMeshes = 0;
  const aiScene* scene = importScene(importer, source.modelPath, kImportFlags, error, &droppedMeshes);
  if (scene == nullptr) return fail(error);
  if (droppedMeshes > 0) LUMETRA_LOG_WARN("Left out {} meshes without faces.", droppedMeshes);
  mLoaded = true;

  std::string directory = textureDirectory;
  if (directory.empty()) {
    const std::size_t slash = source.modelPath.find_last_of("\\/");
    if (slash != std::string::npos) directory = source.modelPath.substr(0, slash);
    while (!directory.empty() && (directory.back() == '/' || directory.back() == '\\')) directory.pop_back();
    if (slash == 0) directory = "/";
  }

  std::vector<ImageRGB> textures(scene->mNumMaterials);
  for (unsigned m = 0; m < scene->mNumMaterials; ++m) {
    const aiMaterial* material = scene->mMaterials[m];
    if (material == nullptr || aiGetMaterialTextureCount(material, aiTextureType_DIFFUSE) == 0) continue;
    mHasTextures = true;
    aiString name;
    if (aiGetMaterialTexture(material, aiTextureType_DIFFUSE, 0, &name) != aiReturn_SUCCESS) continue;
    textures[m] = loadTextureImage(resolveTexturePath(directory, name.C_Str()));
  }

  // First pass: totals and the centroid as a running mean in double precision.
  std::uint64_t vertexCount = 0, faceCount = 0, indexCount = 0, skippedFaces = 0;
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh* mesh = scene->mMeshes[m];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const aiFace& face = mesh->mFaces[f];
      if (face.mNumIndices < 3) {
        ++skippedFaces;
        continue;
      }
      ++faceCount;
      indexCount += face.mNumIndices;
      for (unsigned k = 0; k < face.mNumIndices; ++k) {
        if (face.mIndices[k] >= mesh->mNumVertices) {
          return fail("it has a face with a vertex index out of range.");
        }
      }
    }
    for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
      const aiVector3D& p = mesh->mVertices[v];
      const Eigen::Vector3f scaled(p.x * scale, p.y * scale, p.z * scale);
      if (!scaled.allFinite()) {
        return fail("it has a vertex with a non-finite coordinate.");
      }
      ++vertexCount;
      mean += (scaled.cast<double>() - mean) / static_cast<double>(vertexCount);
    }
    if (mesh->HasVertexColors(0) && mesh->mNumVertices > 0) mHasVertexColors = true;
  }
  if (vertexCount > std::numeric_limits<std::uint32_t>::max() || indexCount > std::numeric_limits<std::uint32_t>::max()) {
    return fail("it has more than 4294967295 vertices or face corners.");
  }
  if (skippedFaces > 0) {
    LUMETRA_LOG_WARN("Left out {} faces of fewer than three vertices (points and lines).", skippedFaces);
  }
  mCentroid = mean.cast<float>();

  mVertices.resize(vertexCount);
  mIndices.resize(indexCount);
  mFaces.resize(faceCount);
  mSubMeshes.resize(scene->mNumMeshes);
  mMaxDistance = 0.0f;

  // Second pass: vertices, faces and sub-meshes.
  std::uint32_t vertexBase = 0, indexAt = 0, faceAt = 0;
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh* mesh = scene->mMeshes[m];
    SubMesh& subMesh = mSubMeshes[m];
    subMesh.firstIndex = indexAt;
    for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
      Vertex& vertex = mVertices[vertexBase + v];
      const aiVector3D& p = mesh->mVertices[v];
      vertex.position = Eigen::Vector3f(p.x * scale, p.y * scale, p.z * scale);
      if (mesh->HasTextureCoords(0)) {
        vertex.texCoord = Eigen::Vector2f(mesh->mTextureCoords[0][v].x, 1.0f - mesh->mTextureCoords[0][v].y);
      }
      if (mesh->HasNormals()) vertex.normal = Eigen::Vector3f(mesh->mNormals[v].x, mesh->mNormals[v].y, mesh->mNormals[v].z);
      if (mesh->HasVertexColors(0)) {
        const aiColor4D& c = mesh->mColors[0][v];
        vertex.color = Eigen::Vector4f(c.r, c.g, c.b, c.a);
      }
      const float distance = (vertex.position - mCentroid).norm();
      if (distance > mMaxDistance) mMaxDistance = distance;
      for (int axis = 0; axis < 3; ++axis) {
        if (vertex.position[axis] < mBoundingBoxMin[axis]) mBoundingBoxMin[axis] = vertex.position[axis];
        if (vertex.position[axis] > mBoundingBoxMax[axis]) mBoundingBoxMax[axis] = vertex.position[axis];
      }
    }
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const aiFace& inputFace = mesh->mFaces[f];
      if (inputFace.mNumIndices < 3) continue;
      Face& face = mFaces[faceAt++];
      face.indices.resize(inputFace.mNumIndices);
      for (unsigned k = 0; k < inputFace.mNumIndices; ++k) {
        face.indices[k] = inputFace.mIndices[k] + vertexBase;
        mIndices[indexAt++] = face.indices[k];
      }
      const Eigen::Vector3f& p0 = mVertices[face.indices[0]].position;
      const Eigen::Vector3f& p1 = mVertices[face.indices[1]].position;
      const Eigen::Vector3f& p2 = mVertices[face.indices[2]].position;
      face.normal = (p1 - p0).cross(p2 - p0);
      const float squaredLength = face.normal.squaredNorm();
      if (squaredLength > 0.0f) face.normal /= std::sqrt(squaredLength);
      if (!face.normal.allFinite()) {
        return fail("its coordinates are too large for its face normals.");
      }
    }
    subMesh.indexCount = indexAt - subMesh.firstIndex;
    if (mesh->mMaterialIndex < textures.size()) subMesh.texture = textures[mesh->mMaterialIndex];
    vertexBase += mesh->mNumVertices;
  }
  if (!std::isfinite(mMaxDistance)) {
    return fail("its coordinates are too large for its extent.");
  }
  LUMETRA_LOG_INFO("Model centroid: {}, max dist to center: {}",
                   fmt::format("{} {} {}", mCentroid.x(), mCentroid.y(), mCentroid.z()), mMaxDistance);

  if (computeAdjacency && !computeFaceAdjacency(mVertices, mFaces, mAdjacentFaces)) {
    return fail("too many of its faces meet at coincident positions.");
  }
  mAdjacentFaces.shrink_to_fit();
  return true;
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
