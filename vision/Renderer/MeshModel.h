#pragma once
// The CAD model in memory: every mesh of a model file, placed by the nodes that name it, flattened
// into one vertex array, one triangle index array and one face array, with face normals, the centroid, the largest distance from it,
// the bounding box, the materials' diffuse textures and, on request, the pairs of faces that share
// an edge. A file that does not import, or that cannot be used (non-finite coordinates, too many
// faces on one edge), leaves the model in its initial, not-loaded state.
#include "Detection/CadModel.h"
#include "Image/Image.h"
#include "Renderer/ImportedModel.h"
#include "Renderer/TextureFiles.h"

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
  /// A texture left out: its file, why, and its size when it is too large.
  struct TextureFailure {
    enum Kind : std::uint8_t {
      Unreadable,  ///< nothing there, or it cannot be opened: left out of training and copy
      Outside,     ///< it lies outside the model's folder: left out of training and copy
      NotRegular,  ///< not a regular file: left out of training and copy
      NotDecoded,  ///< damaged or not a picture: left out of training (the copy keeps the file)
      TooLarge,    ///< more pixels than kMaxTexturePixels or kMaxTextureSide: left out of training
      OverBudget,  ///< more pixels than the textures before it left of kMaxTotalTexturePixels: the same
    };
    std::string path;
    Kind kind = Unreadable;
    std::uint32_t width = 0, height = 0;  ///< TooLarge, OverBudget
    std::string target;                   ///< where the path leads, when elsewhere (Outside)
  };
  /// Largest texture decoded, in pixels and per side: larger ones are left out as unreadable.
  static constexpr std::uint64_t kMaxTexturePixels = std::uint64_t{1} << 26;
  static constexpr std::uint32_t kMaxTextureSide = 16384;
  /// Largest sum of the pixels of all texture files decoded (each file once), four of the largest.
  static constexpr std::uint64_t kMaxTotalTexturePixels = 4 * kMaxTexturePixels;
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
  /// The diffuse textures named by the model that were left out of training, each file once.
  std::vector<TextureFailure> mTextureFailures;
  /// The texture files the model names, as looked up beside it; the copy takes its textures from
  /// the same lookup.
  std::shared_ptr<TextureLookup> mTextureFiles;
  /// The model exported as OBJ for the target's copy (made only when the source names a copy stem
  /// and the file is not an OBJ file).
  ImportedModel::ObjExport mObjExport;

 private:
  bool load(const CadModelSource& source, const std::string& textureDirectory, float scale, bool computeAdjacency);
};

/// Whether the file names a model of the OBJ format (by its ending, in any case).
bool hasObjExtension(const std::string& path);

/// The source's cached model when it has one; otherwise a newly loaded model (scale from the
/// source's description), stored in the source when `cache` is set.
std::shared_ptr<MeshModel> loadSharedMeshModel(CadModelSource& source, bool cache, bool computeAdjacency);

}  // namespace Lumetra
