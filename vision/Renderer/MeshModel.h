#pragma once
// The CAD model in memory: every mesh of a model file, placed by the nodes that name it, flattened
// into one vertex array, one triangle index array and one face array, with face normals, the centroid, the largest distance from it,
// the bounding box, the materials' diffuse textures and, on request, the pairs of faces that share
// an edge. A file that does not import, or that cannot be used (non-finite coordinates, too many
// faces on one edge), leaves the model in its initial, not-loaded state.
#include "Detection/CadModel.h"
#include "Image/Image.h"
#include "Renderer/ImportedModel.h"

#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Lumetra {

class MeshModel {
 public:
  struct Vertex {
    Eigen::Vector3f position = Eigen::Vector3f::Zero();  ///< scaled
    Eigen::Vector3f normal = Eigen::Vector3f::Zero();    ///< as the file gives it
    Eigen::Vector4f color = Eigen::Vector4f::Zero();     ///< red, green, blue, alpha
    Eigen::Vector2f texCoord = Eigen::Vector2f::Zero();  ///< (u, 1 - v)
  };
  struct Face {
    std::vector<std::uint32_t> indices;  ///< into mVertices
    Eigen::Vector3f normal = Eigen::Vector3f::Zero();
  };
  struct SubMesh {
    std::uint32_t firstIndex = 0;  ///< position of the mesh's first index in mIndices
    std::uint32_t indexCount = 0;
    ImageRGB texture;  ///< the material's diffuse texture; shared by the sub-meshes of one file
  };
  /// A diffuse texture left out: its file, and its size when it is too large (0 x 0: unreadable).
  struct TextureFailure {
    std::string path;
    std::uint32_t width = 0, height = 0;
  };
  /// Largest texture decoded, in pixels and per side: larger ones are left out as unreadable.
  static constexpr std::uint64_t kMaxTexturePixels = std::uint64_t{1} << 26;
  static constexpr std::uint32_t kMaxTextureSide = 16384;
  using FacePair = std::pair<std::uint64_t, std::uint64_t>;

  /// The initial, not-loaded model.
  MeshModel() = default;
  /// Loads the file named by the source (its path, and its copy stem). The textures are looked up in
  /// `textureDirectory`, or beside the model file when it is empty. Never throws.
  MeshModel(const CadModelSource& source, const std::string& textureDirectory, float scale, bool computeAdjacency);

  /// Whether some face has an area. A model whose faces all lack one (points, lines, collinear
  /// corners) has no surface to render. The area is taken in double precision, which neither
  /// overflows nor underflows for any pair of single-precision edges.
  bool hasArea() const;

  std::vector<Vertex> mVertices;
  std::vector<std::uint32_t> mIndices;  ///< the indices of every face of three or more vertices
  std::vector<Face> mFaces;             ///< faces of three or more vertices (points and lines are left out)
  std::vector<FacePair> mAdjacentFaces;  ///< (first, second), first < second, in ascending order
  std::vector<SubMesh> mSubMeshes;
  float mMaxDistance = 1.0f;
  Eigen::Vector3f mCentroid = Eigen::Vector3f::Zero();
  bool mHasVertexColors = false;
  bool mHasTextures = false;
  bool mLoaded = false;
  Eigen::Vector3f mBoundingBoxMin = Eigen::Vector3f::Constant(3.4028235e38f);
  Eigen::Vector3f mBoundingBoxMax = Eigen::Vector3f::Constant(-3.4028235e38f);
  /// Why the model is not loaded, in words that follow "could not be loaded: " (the importer's
  /// message, the import limit it ran into, what makes the imported model unusable); empty when
  /// loaded or not yet tried.
  std::string mLoadFailure;
  /// The diffuse textures named by the model that were left out, each file once.
  std::vector<TextureFailure> mTextureFailures;
  /// The model exported as OBJ for the target's copy (made only when the source names a copy stem
  /// and the file is not an OBJ file).
  ImportedModel::ObjExport mObjExport;

 private:
  bool load(const CadModelSource& source, const std::string& textureDirectory, float scale, bool computeAdjacency);
};

/// Largest distance at which two vertex positions count as one: the single-precision epsilon.
constexpr float kSharedVertexDistance = 1.1920929e-7f;

/// The indices of faceB's vertices (in faceB's order) that lie within kSharedVertexDistance of
/// some vertex of faceA.
std::vector<std::uint32_t> findSharedVertices(const MeshModel::Face& faceA, const MeshModel::Face& faceB,
                                              const MeshModel& model);

/// Every pair (i, j), i < j, of faces for which findSharedVertices(face i, face j) finds at least
/// two vertices, in ascending order of i, then j. Candidates are found through the faces at each
/// vertex position, so the work grows with the pairs found, not with the square of the face count
/// or of the faces around one vertex. False (and `pairs` empty) when the list would hold more than
/// `maxPairs` pairs (many faces on one edge; 0 chooses 8 pairs per face plus 2^22, the most that
/// the edge model built from them is meant to hold), or when distinct positions crowd so closely
/// that telling which of them lie within the distance would take more than 64 tests per position
/// plus 2^22.
bool computeFaceAdjacency(const std::vector<MeshModel::Vertex>& vertices, const std::vector<MeshModel::Face>& faces,
                          std::vector<MeshModel::FacePair>& pairs, std::uint64_t maxPairs = 0);

/// Reads a picture as 3-channel 8-bit pixels (no vertical flip) through the guarded codec path;
/// the empty image, with the log "Error loading image from {}.", when it cannot be read. Only
/// regular files are opened: a pipe, a device or a folder gives the empty image at once.
/// A picture of more than MeshModel::kMaxTexturePixels pixels or kMaxTextureSide a side is not
/// decoded: the empty image, with its size in `width` and `height` when given.
ImageRGB loadTextureImage(const std::string& path, std::uint32_t* width = nullptr, std::uint32_t* height = nullptr);

/// Whether the file names a model of the OBJ format (by its ending, in any case).
bool hasObjExtension(const std::string& path);

/// The file that a texture name inside a model stands for: the name joined to the directory, with
/// backslashes read as separators; when that file does not exist, each part of the name matched
/// without regard to case, and failing that the file name alone in the directory. The plain join
/// when nothing matches.
std::string resolveTexturePath(const std::string& directory, const std::string& name);

/// The source's cached model when it has one; otherwise a newly loaded model (scale from the
/// source's description), stored in the source when `cache` is set.
std::shared_ptr<MeshModel> loadSharedMeshModel(CadModelSource& source, bool cache, bool computeAdjacency);

}  // namespace Lumetra
