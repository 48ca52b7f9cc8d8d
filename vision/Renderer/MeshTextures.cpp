#include "Renderer/MeshTextures.h"

#include "Core/Log.h"
#include "Image/ImageIO.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <utility>

namespace Lumetra {

std::string textureFolder(const std::string& modelPath, const std::string& textureDirectory) {
  if (!textureDirectory.empty()) return textureDirectory;
  std::string directory;
  const std::size_t slash = modelPath.find_last_of("\\/");
  if (slash != std::string::npos) directory = modelPath.substr(0, slash);
  while (!directory.empty() && (directory.back() == '/' || directory.back() == '\\')) directory.pop_back();
  if (slash == 0) directory = "/";
  return directory;
}

MeshModel::TextureFailure textureLeftOut(const TextureFile& file) {
  MeshModel::TextureFailure failure{file.path, MeshModel::TextureFailure::Unreadable, 0, 0, file.target};
  if (file.status == TextureFile::Outside) failure.kind = MeshModel::TextureFailure::Outside;
  if (file.status == TextureFile::NotRegular) failure.kind = MeshModel::TextureFailure::NotRegular;
  return failure;
}

std::vector<ImageRGB> loadMaterialTextures(const ImportedModel& imported, TextureLookup& lookup, bool& anyTexture,
                                           std::vector<MeshModel::TextureFailure>& failures) {
  std::vector<ImageRGB> textures(imported.materials.size());
  std::map<std::pair<std::uint64_t, std::uint64_t>, ImageRGB> decoded;  // by device and inode
  std::set<std::string> leftOut;
  std::uint64_t pixelsLeft = MeshModel::kMaxTotalTexturePixels;
  for (std::size_t m = 0; m < imported.materials.size(); ++m) {
    const ImportedModel::Material& material = imported.materials[m];
    if (material.kind == ImportedModel::Material::None) continue;
    anyTexture = true;
    if (material.kind != ImportedModel::Material::File) continue;
    const TextureFile& file = lookup.find(material.name);
    if (file.status != TextureFile::Usable) {
      if (leftOut.insert(file.path).second) failures.push_back(textureLeftOut(file));
      continue;
    }
    auto [known, isNew] = decoded.try_emplace(std::make_pair(file.device, file.inode));
    if (isNew) {
      MeshModel::TextureFailure failure{file.path, MeshModel::TextureFailure::NotDecoded, 0, 0, {}};
      known->second = loadTextureImage(file.path, &failure.width, &failure.height,
                                       std::min(pixelsLeft, MeshModel::kMaxTexturePixels));
      const std::uint64_t pixels = std::uint64_t{failure.width} * failure.height;
      if (pixels > 0) {
        failure.kind = pixels > MeshModel::kMaxTexturePixels || failure.width > MeshModel::kMaxTextureSide ||
                               failure.height > MeshModel::kMaxTextureSide
                           ? MeshModel::TextureFailure::TooLarge
                           : MeshModel::TextureFailure::OverBudget;
      }
      pixelsLeft -= std::min(pixelsLeft, std::uint64_t{known->second.width} * known->second.height);
      if (known->second.isEmpty()) failures.push_back(failure);
    }
    textures[m] = known->second;
  }
  return textures;
}

ImageRGB loadTextureImage(const std::string& path, std::uint32_t* width, std::uint32_t* height,
                          std::uint64_t maxPixels) {
  // Opening a pipe without a writer never returns, and a device may never end.
  std::error_code notFound;
  ImageRGB image;
  std::uint32_t w = 0, h = 0;
  // The size is read first, so that a small file of a huge picture is refused before it is decoded.
  if (std::filesystem::is_regular_file(path, notFound) && pictureSizeWithCodec(path, w, h)) {
    if (static_cast<std::uint64_t>(w) * h <= maxPixels && w <= MeshModel::kMaxTextureSide &&
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

}  // namespace Lumetra
