#include "Renderer/MeshModel.h"

#include "Core/Log.h"
#include "Image/ImageIO.h"
#include "Renderer/GridCell.h"
#include "Renderer/ImportedModel.h"

#include <assimp/postprocess.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <system_error>

namespace Lumetra {

namespace {

constexpr unsigned kImportFlags =
    aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices | aiProcess_Triangulate | aiProcess_SortByPType;
// Pinned: other steps would change what every model reads as.
static_assert(kImportFlags == 0x800B, "the import steps changed");

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

/// Width of the cells of the search for distinct positions within the shared-vertex distance: more
/// than twice that distance, so two such positions always lie in the same or in neighbouring cells,
/// and wide enough that most cells need no look at their neighbours.
constexpr double kCellSize = 8.0 * kSharedVertexDistance;

/// The grid cell of a position in the search for nearby positions.
GridCell cellOf(const Eigen::Vector3f& p) {
  const double size = kCellSize;
  return GridCell{gridCoordinate(p.x() / size), gridCoordinate(p.y() / size), gridCoordinate(p.z() / size)};
}

/// The exact position as a key: the bit patterns of the coordinates, -0 read as +0.
GridCell exactKey(const Eigen::Vector3f& p) {
  auto bits = [](float value) {
    value += 0.0f;  // -0 + 0 = +0
    std::uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    return static_cast<std::int64_t>(word);
  };
  return GridCell{bits(p.x()), bits(p.y()), bits(p.z())};
}

/// Lists of numbers, one list per entry, stored as runs of one array.
struct RunLists {
  std::vector<std::size_t> start{0};
  std::vector<std::uint32_t> items;
  std::size_t size(std::uint32_t entry) const { return start[entry + 1] - start[entry]; }
  const std::uint32_t* begin(std::uint32_t entry) const { return items.data() + start[entry]; }
  const std::uint32_t* end(std::uint32_t entry) const { return items.data() + start[entry + 1]; }
  void close() { start.push_back(items.size()); }
};

/// For every distinct position the other distinct positions within the shared-vertex distance.
/// False when the positions crowd so closely that sorting them out would take more than
/// `maxTests` distance tests.
bool findNearbyPositions(const std::vector<Eigen::Vector3f>& positions, RunLists& nearby, std::uint64_t maxTests) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  // The positions by grid cell: each cell holds a list of its positions (first, next).
  GridCellTable table;
  std::vector<std::uint32_t> cellFirst, next(positions.size(), kNone), cellOfPosition(positions.size());
  for (std::uint32_t p = 0; p < positions.size(); ++p) {
    const std::uint32_t cell = table.insert(cellOf(positions[p]));
    if (cell == cellFirst.size()) cellFirst.push_back(kNone);
    next[p] = cellFirst[cell];
    cellFirst[cell] = p;
    cellOfPosition[p] = cell;
  }
  // Per cell, only the neighbours that some position of the cell comes near (the distance plus a
  // margin for rounding): none for most cells.
  std::vector<std::vector<std::uint32_t>> neighbours(cellFirst.size());
  std::uint64_t tests = 0;
  for (std::uint32_t c = 0; c < cellFirst.size(); ++c) {
    const GridCell cell = table.cell(c);
    Eigen::Vector3d low = Eigen::Vector3d::Constant(HUGE_VAL), high = -low;
    std::uint64_t members = 0;
    for (std::uint32_t p = cellFirst[c]; p != kNone; p = next[p], ++members) {
      low = low.cwiseMin(positions[p].cast<double>());
      high = high.cwiseMax(positions[p].cast<double>());
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
    for (std::int64_t dx = from[0]; dx <= to[0]; ++dx)
      for (std::int64_t dy = from[1]; dy <= to[1]; ++dy)
        for (std::int64_t dz = from[2]; dz <= to[2]; ++dz) {
          const std::uint32_t other = table.find(GridCell{cell.x + dx, cell.y + dy, cell.z + dz});
          if (other == kNone || (other == c && members == 1)) continue;
          neighbours[c].push_back(other);
          for (std::uint32_t q = cellFirst[other]; q != kNone; q = next[q]) tests += members;
        }
    if (tests > maxTests) return false;
  }
  for (std::uint32_t p = 0; p < positions.size(); ++p) {
    for (const std::uint32_t other : neighbours[cellOfPosition[p]])
      for (std::uint32_t q = cellFirst[other]; q != kNone; q = next[q])
        if (q != p && isShared(positions[p], positions[q])) nearby.items.push_back(q);
    nearby.close();
  }
  return true;
}

/// Gives every vertex that some face uses the number of its exact position (`positions` holds one
/// position per number, in order of first use); a vertex at a non-finite position lies near
/// nothing, not even itself, and gets none.
void numberPositions(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                     std::vector<std::uint32_t>& positionOf, std::vector<Eigen::Vector3f>& positions) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  positionOf.assign(vertices.size(), kNone);
  GridCellTable exact;
  for (const MeshModel::Face& face : faces) {
    for (const std::uint32_t v : face.indices) {
      const Eigen::Vector3f& p = vertices[v].position;
      if (positionOf[v] != kNone || !p.allFinite()) continue;
      positionOf[v] = exact.insert(exactKey(p));
      if (positionOf[v] == positions.size()) positions.push_back(p);
    }
  }
}

/// The faces at each position, ascending.
RunLists facesAtPositions(const std::vector<MeshModel::Face>& faces, const std::vector<std::uint32_t>& positionOf,
                          std::size_t positionCount) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  // Calls visit(position, face) once for each face at each position, in ascending order of faces.
  const auto eachFaceAtPosition = [&](const auto& visit) {
    std::vector<std::uint32_t> lastFace(positionCount, kNone);
    for (std::uint32_t f = 0; f < faces.size(); ++f) {
      for (const std::uint32_t v : faces[f].indices) {
        const std::uint32_t p = positionOf[v];
        if (p != kNone && lastFace[p] != f) {
          lastFace[p] = f;
          visit(p, f);
        }
      }
    }
  };
  RunLists facesAt;
  std::vector<std::uint32_t> count(positionCount, 0);
  eachFaceAtPosition([&](std::uint32_t p, std::uint32_t) { ++count[p]; });
  facesAt.start.resize(positionCount + 1);
  for (std::size_t p = 0; p < positionCount; ++p) facesAt.start[p + 1] = facesAt.start[p] + count[p];
  facesAt.items.resize(facesAt.start.back());
  std::fill(count.begin(), count.end(), 0);
  eachFaceAtPosition([&](std::uint32_t p, std::uint32_t f) { facesAt.items[facesAt.start[p] + count[p]++] = f; });
  return facesAt;
}

/// The faces near each position: its own faces and those of the distinct positions within the
/// distance, ascending. Those are rare; without them a position's list is its own faces. False
/// when the lists would hold more than `maxCrowding` faces beyond the positions' own.
bool facesNearPositions(const RunLists& facesAt, const RunLists& nearby, std::uint64_t maxCrowding,
                        RunLists& facesNear) {
  const std::uint32_t positionCount = static_cast<std::uint32_t>(facesAt.start.size() - 1);
  for (std::uint32_t p = 0; p < positionCount; ++p) {
    const std::size_t first = facesNear.items.size();
    facesNear.items.insert(facesNear.items.end(), facesAt.begin(p), facesAt.end(p));
    if (nearby.size(p) > 0) {
      for (const std::uint32_t* q = nearby.begin(p); q != nearby.end(p); ++q)
        facesNear.items.insert(facesNear.items.end(), facesAt.begin(*q), facesAt.end(*q));
      std::sort(facesNear.items.begin() + first, facesNear.items.end());
      facesNear.items.erase(std::unique(facesNear.items.begin() + first, facesNear.items.end()), facesNear.items.end());
    }
    facesNear.close();
    if (facesNear.items.size() - facesAt.start[p + 1] > maxCrowding) return false;
  }
  return true;
}

/// The adjacent pairs (i, j), i < j, ordered by j. Faces i < j are adjacent when two vertices of
/// face j lie near vertices of face i, so face i is near both of them: for every two vertices of
/// face j, the shorter of their two lists in `near` holds every such i. The exact test decides.
/// False when there are more than `maxPairs` pairs.
bool findPairsByLater(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                      const std::vector<std::uint32_t>& positionOf, const RunLists& near, std::uint64_t maxPairs,
                      std::vector<MeshModel::FacePair>& byLater) {
  constexpr std::uint32_t kNone = GridCellTable::kNone;
  std::vector<std::uint32_t> seen(faces.size(), kNone), candidates;
  for (std::uint32_t j = 0; j < faces.size(); ++j) {
    const std::vector<std::uint32_t>& indices = faces[j].indices;
    candidates.clear();
    for (std::size_t s = 0; s < indices.size(); ++s) {
      const std::uint32_t p = positionOf[indices[s]];
      if (p == kNone) continue;
      for (std::size_t t = s + 1; t < indices.size(); ++t) {
        const std::uint32_t q = positionOf[indices[t]];
        if (q == kNone) continue;
        const std::uint32_t shorter = near.size(p) <= near.size(q) ? p : q;
        for (const std::uint32_t* i = near.begin(shorter); i != near.end(shorter) && *i < j; ++i) {
          if (seen[*i] != j) {
            seen[*i] = j;
            candidates.push_back(*i);
          }
        }
      }
    }
    for (const std::uint32_t i : candidates)
      if (sharesTwoVertices(vertices, faces[i], faces[j])) byLater.emplace_back(i, j);
    if (byLater.size() > maxPairs) return false;
  }
  return true;
}

/// The pairs ordered by first, then second: a stable counting sort on the first face keeps each
/// face's pairs in the ascending order of the second that `byLater` has.
void orderByFirst(const std::vector<MeshModel::FacePair>& byLater, std::size_t faceCount,
                  std::vector<MeshModel::FacePair>& pairs) {
  std::vector<std::size_t> firstOf(faceCount + 1, 0);
  for (const MeshModel::FacePair& pair : byLater) ++firstOf[pair.first + 1];
  for (std::size_t i = 0; i < faceCount; ++i) firstOf[i + 1] += firstOf[i];
  pairs.resize(byLater.size());
  for (const MeshModel::FacePair& pair : byLater) pairs[firstOf[pair.first]++] = pair;
}

/// The folder in which a model's textures are looked up: the one given, or else the model file's.
std::string textureFolder(const std::string& modelPath, const std::string& textureDirectory) {
  if (!textureDirectory.empty()) return textureDirectory;
  std::string directory;
  const std::size_t slash = modelPath.find_last_of("\\/");
  if (slash != std::string::npos) directory = modelPath.substr(0, slash);
  while (!directory.empty() && (directory.back() == '/' || directory.back() == '\\')) directory.pop_back();
  if (slash == 0) directory = "/";
  return directory;
}

/// Each material's diffuse texture, by material index: empty where the material names none, where
/// it is embedded in the model file, or where its file cannot be read or is too large (listed in
/// `failures`). Each file is decoded once, however many materials name it. `anyTexture` is set when
/// some material names one.
std::vector<ImageRGB> loadMaterialTextures(const ImportedModel& imported, const std::string& directory,
                                           bool& anyTexture, std::vector<MeshModel::TextureFailure>& failures) {
  std::vector<ImageRGB> textures(imported.materials.size());
  std::map<std::string, ImageRGB> decoded;
  for (std::size_t m = 0; m < imported.materials.size(); ++m) {
    const ImportedModel::Material& material = imported.materials[m];
    if (material.kind == ImportedModel::Material::None) continue;
    anyTexture = true;
    if (material.kind != ImportedModel::Material::File) continue;
    const std::string path = resolveTexturePath(directory, material.name);
    auto [known, isNew] = decoded.try_emplace(path);
    if (isNew) {
      MeshModel::TextureFailure failure{path};
      known->second = loadTextureImage(path, &failure.width, &failure.height);
      if (known->second.isEmpty()) failures.push_back(failure);
    }
    textures[m] = known->second;
  }
  return textures;
}

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
                          std::vector<MeshModel::FacePair>& pairs, std::uint64_t maxPairs) {
  pairs.clear();
  if (faces.size() >= GridCellTable::kNone) return false;
  if (maxPairs == 0) maxPairs = 8 * static_cast<std::uint64_t>(faces.size()) + (std::uint64_t{1} << 22);

  std::vector<std::uint32_t> positionOf;
  std::vector<Eigen::Vector3f> positions;
  numberPositions(vertices, faces, positionOf, positions);
  const RunLists facesAt = facesAtPositions(faces, positionOf, positions.size());

  // Distinct positions that crowd within the distance come only from tiny offsets in a file; their
  // work is bounded apart from the pairs.
  const std::uint64_t maxCrowding = 64 * static_cast<std::uint64_t>(positions.size()) + (std::uint64_t{1} << 22);
  RunLists nearby, facesNear;
  if (!findNearbyPositions(positions, nearby, maxCrowding)) return false;
  const bool crowded = !nearby.items.empty();
  if (crowded && !facesNearPositions(facesAt, nearby, maxCrowding, facesNear)) return false;

  std::vector<MeshModel::FacePair> byLater;
  if (!findPairsByLater(vertices, faces, positionOf, crowded ? facesNear : facesAt, maxPairs, byLater)) return false;
  orderByFirst(byLater, faces.size(), pairs);
  return true;
}

ImageRGB loadTextureImage(const std::string& path, std::uint32_t* width, std::uint32_t* height) {
  // Opening a pipe without a writer never returns, and a device may never end.
  std::error_code notFound;
  ImageRGB image;
  std::uint32_t w = 0, h = 0;
  // The size is read first, so that a small file of a huge picture is refused before it is decoded.
  if (std::filesystem::is_regular_file(path, notFound) && pictureSizeWithCodec(path, w, h)) {
    if (static_cast<std::uint64_t>(w) * h <= MeshModel::kMaxTexturePixels && w <= MeshModel::kMaxTextureSide &&
        h <= MeshModel::kMaxTextureSide) {
      image = loadImageRGBWithCodec(path, false);
    } else if (width != nullptr && height != nullptr) {
      *width = w;
      *height = h;
    }
  }
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

  const std::vector<ImageRGB> textures = loadMaterialTextures(
      imported, textureFolder(source.modelPath, textureDirectory), mHasTextures, mTextureFailures);

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
