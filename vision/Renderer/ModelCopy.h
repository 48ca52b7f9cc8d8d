#pragma once
// The copy of a CAD model that a target keeps beside its templates, always as an OBJ file.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Lumetra {

/// A file of the model copy: its name in the target folder and its bytes.
struct ModelCopyFile {
  std::string name;
  std::string bytes;
};

/// The files of the copy of the model named `objName`. An OBJ file is copied as it is (its material
/// file is not read); any other format is imported and exported as OBJ, in a guarded child first
/// (GuardedImport.h), with the exporter's material file beside it under the copy's stem. Nothing
/// when the file cannot be read, imported or exported. Never throws.
std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const std::filesystem::path& modelPath,
                                                         const std::string& objName) noexcept;

}  // namespace Lumetra
