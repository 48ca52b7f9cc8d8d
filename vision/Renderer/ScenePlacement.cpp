#include "Renderer/ScenePlacement.h"

#include "Renderer/NodeExpansion.h"

#include <assimp/scene.h>

#include <Eigen/Core>
#include <Eigen/LU>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

namespace Lumetra {

namespace {

/// Vertices and faces that nodes naming a mesh more than once may add to the file's own: about
/// 200 MB of placed vertices, and faces that take about half a gigabyte and a few seconds to hold
/// and pair up even when they all meet at a few positions.
constexpr std::uint64_t kMaxRepeatedVertices = std::uint64_t{1} << 22;
constexpr std::uint64_t kMaxRepeatedFaces = std::uint64_t{1} << 20;

/// The sizes, in metres, between which a model's float coordinates, their differences and the
/// products that give its face normals keep their precision, with a margin for parts far smaller
/// than the whole.
constexpr double kSmallestSize = 1e-6, kLargestSize = 1e6;

/// The triangles a mesh's faces become (a point or a line counted as one).
std::uint64_t triangles(const aiMesh& mesh) {
  std::uint64_t count = 0;
  for (unsigned f = 0; mesh.mFaces != nullptr && f < mesh.mNumFaces; ++f)
    count += mesh.mFaces[f].mNumIndices >= 3 ? mesh.mFaces[f].mNumIndices - 2 : 1;
  return count;
}

Eigen::Matrix4d toEigen(const aiMatrix4x4& m) {
  Eigen::Matrix4d result;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) result(r, c) = m[r][c];
  return result;
}

/// The largest side of the box around the placed vertices (finite ones only), 0 when there are none.
double placedSize(const aiScene& scene, const std::vector<std::vector<aiMatrix4x4>>& placements) {
  Eigen::Vector3d low = Eigen::Vector3d::Constant(INFINITY), high = -low;
  for (unsigned m = 0; scene.mMeshes != nullptr && m < scene.mNumMeshes; ++m) {
    const aiMesh* mesh = scene.mMeshes[m];
    if (mesh == nullptr || mesh->mVertices == nullptr) continue;
    for (const aiMatrix4x4& placement : placements[m]) {
      const Eigen::Matrix4d transform = toEigen(placement);
      for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
        const aiVector3D& p = mesh->mVertices[v];
        const Eigen::Vector3d q = transform.topLeftCorner<3, 3>() * Eigen::Vector3d(p.x, p.y, p.z) +
                                  transform.topRightCorner<3, 1>();
        if (!q.allFinite()) continue;
        low = low.cwiseMin(q);
        high = high.cwiseMax(q);
      }
    }
  }
  return (high.array() >= low.array()).all() ? (high - low).maxCoeff() : 0.0;
}

/// The text of the `meter` attribute of the first `<unit` element in the file's first megabyte,
/// or empty (a zipped file, say).
std::string unitText(const std::string& path) {
  std::string head(1 << 20, '\0');
  std::FILE* file = std::fopen(path.c_str(), "rb");
  head.resize(file != nullptr ? std::fread(head.data(), 1, head.size(), file) : 0);
  if (file != nullptr) std::fclose(file);
  for (std::size_t at = head.find("<unit"); at != std::string::npos; at = head.find("<unit", at + 1)) {
    const std::size_t end = head.find('>', at);
    if (end == std::string::npos || std::isalnum(static_cast<unsigned char>(head[at + 5]))) continue;
    return xmlAttribute(head.substr(at, end - at), "meter");
  }
  return {};
}

/// Whether the unit's text is wholly a number (a decimal comma read as a point, as the library
/// reads it) that gives the library's `unit`. Text the library cannot read leaves its unit at one
/// metre, whatever the text meant.
bool readsAsUnit(std::string text, double unit) {
  const std::size_t comma = text.find(',');
  if (comma != std::string::npos) text[comma] = '.';
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (!std::isfinite(value) || !std::isfinite(unit)) return true;  // refused as not a finite length
  return std::abs(value - unit) <= 1e-6 * std::abs(value);
}

}  // namespace

std::vector<std::vector<aiMatrix4x4>> meshPlacements(const aiScene& scene) {
  std::vector<std::vector<aiMatrix4x4>> placements(scene.mNumMeshes);
  if (scene.mRootNode == nullptr) return placements;
  std::vector<std::pair<const aiNode*, aiMatrix4x4>> pending{{scene.mRootNode, aiMatrix4x4()}};
  while (!pending.empty()) {
    const auto [node, parent] = pending.back();
    pending.pop_back();
    const aiMatrix4x4 placed = parent * node->mTransformation;
    for (unsigned k = 0; node->mMeshes != nullptr && k < node->mNumMeshes; ++k)
      if (node->mMeshes[k] < scene.mNumMeshes) placements[node->mMeshes[k]].push_back(placed);
    for (unsigned c = node->mChildren != nullptr ? node->mNumChildren : 0; c-- > 0;)
      if (node->mChildren[c] != nullptr) pending.emplace_back(node->mChildren[c], placed);
  }
  return placements;
}

std::string repeatedMeshes(const aiScene& scene, const std::vector<std::vector<aiMatrix4x4>>& placements) {
  std::uint64_t ownVertices = 0, placedVertices = 0, ownFaces = 0, placedFaces = 0;
  for (unsigned m = 0; scene.mMeshes != nullptr && m < scene.mNumMeshes; ++m) {
    if (scene.mMeshes[m] == nullptr) continue;
    const std::uint64_t vertices = scene.mMeshes[m]->mNumVertices, faces = triangles(*scene.mMeshes[m]);
    ownVertices += vertices;
    placedVertices += placements[m].size() * vertices;
    ownFaces += faces;
    placedFaces += placements[m].size() * faces;
  }
  const auto refusal = [](std::uint64_t placed, const char* what, std::uint64_t own, std::uint64_t bound) {
    return fmt::format("its nodes repeat its meshes into {} {}, more than its own {} plus {}: have its nodes place "
                       "fewer copies of its meshes.", placed, what, own, bound);
  };
  if (placedVertices > ownVertices + kMaxRepeatedVertices)
    return refusal(placedVertices, "vertices", ownVertices, kMaxRepeatedVertices);
  if (placedFaces > ownFaces + kMaxRepeatedFaces) return refusal(placedFaces, "faces", ownFaces, kMaxRepeatedFaces);
  return {};
}

std::string unusableColladaUnit(const aiScene& scene, const std::vector<std::vector<aiMatrix4x4>>& placements,
                                const std::string& path) {
  if (scene.mRootNode == nullptr) return {};
  // The library scales the root node by the unit and turns it to the Y axis up: the turn keeps
  // lengths, and its determinant is 1.
  const Eigen::Matrix3d root = toEigen(scene.mRootNode->mTransformation).topLeftCorner<3, 3>();
  const double length = root.col(0).norm(), unit = root.determinant() < 0 ? -length : length;
  const std::string declared = unitText(path);
  const bool readable = declared.empty() || readsAsUnit(declared, unit);
  if (unit == 1.0 && readable) return {};
  // The file's own text when it is short and printable, else the value the library read.
  std::string text = declared;
  if (text.empty() || text.size() > 32 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return std::isprint(static_cast<unsigned char>(c)); })) {
    text = fmt::format("{}", static_cast<float>(unit));
  }
  const std::string named = "its unit <unit meter=\"" + text + "\"/>";
  if (!readable) {
    return named + " is not a plain number of metres: write meter as a number alone, such as 0.001 for millimetres.";
  }
  if (!(std::isfinite(unit) && unit > 0.0)) {
    return named + " is not a finite positive length: set meter to the length of the file's unit in metres (0.001 for "
                   "millimetres).";
  }
  const double size = placedSize(scene, placements);
  if (size == 0.0 || (size >= kSmallestSize && size <= kLargestSize)) return {};
  return fmt::format("{} makes the model {:.3g} m across, outside the {:g} m to {:g} m that training can use: set "
                     "meter to the length of the file's unit in metres (0.001 for millimetres).",
                     named, size, kSmallestSize, kLargestSize);
}

}  // namespace Lumetra
