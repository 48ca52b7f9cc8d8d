#pragma once
// A model's diffuse textures: where a texture name inside a model file points, and reading the
// pictures within the size limits of MeshModel.
#include "Image/Image.h"
#include "Renderer/ImportedModel.h"
#include "Renderer/MeshModel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Lumetra {

/// The folder in which a model's textures are looked up: the one given, or else the model file's.
std::string textureFolder(const std::string& modelPath, const std::string& textureDirectory);

/// Each material's diffuse texture, by material index: empty where the material names none, where
/// it is embedded in the model file, or where its file cannot be read or is too large (listed in
/// `failures`). Each file is decoded once, however many materials name it. `anyTexture` is set when
/// some material names one.
std::vector<ImageRGB> loadMaterialTextures(const ImportedModel& imported, const std::string& directory,
                                           bool& anyTexture, std::vector<MeshModel::TextureFailure>& failures);

/// Reads a picture as 3-channel 8-bit pixels (no vertical flip) through the guarded codec path;
/// the empty image, with the log "Error loading image from {}.", when it cannot be read. Only
/// regular files are opened: a pipe, a device or a folder gives the empty image at once.
/// A picture of more than MeshModel::kMaxTexturePixels pixels or kMaxTextureSide a side is not
/// decoded: the empty image, with its size in `width` and `height` when given.
ImageRGB loadTextureImage(const std::string& path, std::uint32_t* width = nullptr, std::uint32_t* height = nullptr);

/// The file that a texture name inside a model stands for: the name joined to the directory, with
/// backslashes read as separators; when that file does not exist, each part of the name matched
/// without regard to case, and failing that the file name alone in the directory. The plain join
/// when nothing matches.
std::string resolveTexturePath(const std::string& directory, const std::string& name);

}  // namespace Lumetra
