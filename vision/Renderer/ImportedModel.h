#pragma once
// A model file as the guarded child imports it (GuardedImport.h) and hands it to this process:
// the file's meshes placed by their nodes, the materials' diffuse texture names and, when asked
// for, the file exported as OBJ with the textures that export names. The import library runs
// only in the child, once per file; this process reads what the child sent, checked for length
// and range, and never calls the library itself (unless the guard is disabled).
#include <cstdint>
#include <string>
#include <vector>

namespace Lumetra {

struct ImportedModel {
  /// A mesh placed by one node that names it (a mesh named by two nodes is here twice).
  struct Mesh {
    std::uint32_t material = 0;
    std::vector<float> positions;          ///< x, y, z per vertex, placed by the node
    std::vector<float> normals;            ///< x, y, z per vertex (turned with the node), or empty
    std::vector<float> texCoords;          ///< u, v per vertex as the file gives them, or empty
    std::vector<float> colors;             ///< red, green, blue, alpha per vertex, or empty
    std::vector<std::uint32_t> faceSizes;  ///< corner count per face
    std::vector<std::uint32_t> indices;    ///< the corners of every face, face after face
    std::uint32_t vertexCount() const { return static_cast<std::uint32_t>(positions.size() / 3); }
  };
  /// A material's diffuse texture.
  struct Material {
    enum Kind : std::uint8_t { None, File, Embedded, Unnamed };
    Kind kind = None;  ///< Unnamed: the material has one whose name could not be read
    std::string name;  ///< as the file gives it (File)
  };
  /// A texture the OBJ export names: its name in the export's material file, and either the name
  /// the model file gives it (a file beside the model) or the picture file's bytes (embedded).
  struct ExportedTexture {
    std::string fileName;
    bool embedded = false;
    std::string source;
  };
  /// The model file exported as OBJ (`made` false when not asked for, or when the export failed).
  struct ObjExport {
    bool made = false;
    std::string obj, mtl;  ///< mtl empty when the exporter wrote no material file
    std::vector<ExportedTexture> textures;
  };

  std::vector<Mesh> meshes;
  std::vector<Material> materials;
  std::uint32_t droppedMeshes = 0;  ///< meshes without faces left out
  ObjExport exported;
};

/// Imports the file in the guarded child (in this process when the guard is disabled) with the
/// post-processing steps given and the checks and repairs of importScene. The meshes come mesh
/// after mesh in the file's order, each once per node that names it (in the order of a depth-first
/// walk of the nodes), placed by the node's transform and its parents'; a mesh that no node names
/// is left out, and one placed by the identity keeps its coordinates bit for bit. A file whose
/// nodes repeat its meshes into more than 4194304 vertices or 1048576 faces beyond its own is
/// refused (ScenePlacement.h). A COLLADA file (whose declared unit the library applies, giving
/// metres) is scaled to millimetres; one whose unit is not a positive length, or makes the model
/// smaller than a micrometre or larger than a thousand kilometres, is refused. When
/// `exportStem` is not empty the file is also exported as OBJ (from the scene as read, before the
/// repairs and steps, in a process of its own), its material file named `exportStem`.mtl and each
/// texture it names renamed to `exportStem`_<its own file name> (an embedded one without a file
/// name: `exportStem`_texture<n>.<its format>). False with `error` set (in words that follow "could
/// not be loaded: ") when the file cannot be imported; a failed export only leaves `exported.made`
/// false.
bool importModel(const std::string& path, unsigned postProcessing, const std::string& exportStem,
                 ImportedModel& model, std::string& error);

}  // namespace Lumetra
