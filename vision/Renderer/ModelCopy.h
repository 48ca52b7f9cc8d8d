#pragma once
// The copy of a CAD model that a target keeps beside its templates, always as an OBJ file.
#include "Renderer/ImportedModel.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Lumetra {

/// A file of the model copy: its name in the target folder and its bytes, or the file whose bytes
/// it takes (`source`, when not empty).
struct ModelCopyFile {
  std::string name;
  std::string bytes;
  std::filesystem::path source;
};

/// The files of the copy of the model named `objName`. An OBJ file is copied as it is (its material
/// file is not read); any other format is copied as the export its import made (ImportedModel.h):
/// the OBJ file, the exporter's material file beside it under the copy's stem, and the textures
/// the material file names, those beside the model file looked up as the model's own textures are.
/// A texture that is not a readable file is left out and its path added to `unreadableTextures`.
/// Nothing when the model file cannot be read or was not exported. Never throws.
std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const std::filesystem::path& modelPath,
                                                         const std::string& objName,
                                                         const ImportedModel::ObjExport& exported,
                                                         std::vector<std::string>& unreadableTextures) noexcept;

}  // namespace Lumetra
