#pragma once
// A model's diffuse textures: the pictures its materials name, read within the size limits of
// MeshModel.
#include "Image/Image.h"
#include "Renderer/ImportedModel.h"
#include "Renderer/MeshModel.h"
#include "Renderer/TextureFiles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Lumetra {

/// The folder in which a model's textures are looked up: the one given, or else the model file's.
std::string textureFolder(const std::string& modelPath, const std::string& textureDirectory);

/// Each material's diffuse texture, by material index: empty where the material names none, where
/// it is embedded in the model file, or where its file is left out (listed in `failures`, each file
/// once): a file the lookup does not find usable, or one that cannot be decoded or is too large,
/// alone or with the files decoded before it (MeshModel::kMaxTotalTexturePixels). Each file is
/// decoded once, however many materials name it and however they spell it.
/// `anyTexture` is set when some material names one.
std::vector<ImageRGB> loadMaterialTextures(const ImportedModel& imported, TextureLookup& lookup, bool& anyTexture,
                                           std::vector<MeshModel::TextureFailure>& failures);

/// Why a texture the lookup did not find usable is left out.
MeshModel::TextureFailure textureLeftOut(const TextureFile& file);

/// Reads a picture as 3-channel 8-bit pixels (no vertical flip) through the guarded codec path;
/// the empty image, with the log "Error loading image from {}.", when it cannot be read. Only
/// regular files are opened: a pipe, a device or a folder gives the empty image at once.
/// A picture of more than `maxPixels` pixels or MeshModel::kMaxTextureSide a side is not decoded:
/// the empty image, with its size in `width` and `height` when given.
ImageRGB loadTextureImage(const std::string& path, std::uint32_t* width = nullptr, std::uint32_t* height = nullptr,
                          std::uint64_t maxPixels = MeshModel::kMaxTexturePixels);

}  // namespace Lumetra
