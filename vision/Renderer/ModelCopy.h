#pragma once
// The copy of a CAD model that a target keeps beside its templates, always as an OBJ file.
#include "Renderer/ImportedModel.h"
#include "Renderer/MeshModel.h"
#include "Renderer/TextureFiles.h"

#include <cstddef>
#include <cstdint>
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
  bool texture = false;                 ///< a texture: left out of the copy alone when it cannot be read
  std::uint64_t device = 0, inode = 0;  ///< a texture file's identity: only that very file is copied
};

/// The files of the copy of the model named `objName`. An OBJ file is copied as it is (its material
/// file is not read); any other format is copied as the export its import made (ImportedModel.h):
/// the OBJ file, the exporter's material file beside it under the copy's stem, and the textures
/// the material file names, those beside the model file found by `textures`. Each texture file is
/// copied once, however many names the model gives it: the material file then names that one copy.
/// A name longer than `longestName` bytes is shortened to a name of its own in the copy, and the
/// material file names it so. A texture that the lookup does not find usable is left out and added
/// to `leftOut`. Nothing when the model file cannot be read or was not exported. Never throws.
std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const std::filesystem::path& modelPath,
                                                         const std::string& objName,
                                                         const ImportedModel::ObjExport& exported,
                                                         TextureLookup& textures, std::size_t longestName,
                                                         std::vector<MeshModel::TextureFailure>& leftOut) noexcept;

/// How the copy of one file ended.
enum class CopyOutcome { Copied, SourceUnreadable, NotWritten };

/// Writes the file of the copy to the new file `destination` (never through an existing name): its
/// bytes, or its source's a block at a time. A texture's source must still be the regular file it
/// was found as. A file left incomplete is removed. Never throws.
CopyOutcome writeModelCopyFile(const ModelCopyFile& file, const std::filesystem::path& destination) noexcept;

}  // namespace Lumetra
