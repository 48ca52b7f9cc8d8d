#include "Renderer/MeshTextures.h"

#include "Core/Log.h"
#include "Image/ImageIO.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <system_error>

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

std::vector<ImageRGB> loadMaterialTextures(const ImportedModel& imported, const std::string& directory,
                                           bool& anyTexture, std::vector<MeshModel::TextureFailure>& failures) {
  std::vector<ImageRGB> textures(imported.materials.size());
  std::map<std::string, ImageRGB> decoded;
  for (std::size_t m = 0; m < imported.materials.size(); ++m) {
    const ImportedModel::Material& material = imported.materials[m];
    if (material.kind == ImportedModel::Material::None) continue;
    anyTexture = true;
    if (material.kind != ImportedModel::Material::File) continue;
    const std::string path = resolveTexturePath(directory, material.name);
    auto [known, isNew] = decoded.try_emplace(path);
    if (isNew) {
      MeshModel::TextureFailure failure{path};
      known->second = loadTextureImage(path, &failure.width, &failure.height);
      if (known->second.isEmpty()) failures.push_back(failure);
    }
    textures[m] = known->second;
  }
  return textures;
}

ImageRGB loadTextureImage(const std::string& path, std::uint32_t* width, std::uint32_t* height) {
  // Opening a pipe without a writer never returns, and a device may never end.
  std::error_code notFound;
  ImageRGB image;
  std::uint32_t w = 0, h = 0;
  // The size is read first, so that a small file of a huge picture is refused before it is decoded.
  if (std::filesystem::is_regular_file(path, notFound) && pictureSizeWithCodec(path, w, h)) {
    if (static_cast<std::uint64_t>(w) * h <= MeshModel::kMaxTexturePixels && w <= MeshModel::kMaxTextureSide &&
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

std::string resolveTexturePath(const std::string& directory, const std::string& name) {
  namespace fs = std::filesystem;
  std::string relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const fs::path plain = directory.empty() ? fs::path(relative) : fs::path(directory) / relative;
  std::error_code error;
  if (fs::exists(plain, error)) return plain.string();

  // Match each part of the name against the folder's entries without regard to case.
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const fs::path folder = directory.empty() ? fs::path(".") : fs::path(directory);
  auto entryNamed = [&](const fs::path& in, const std::string& wanted, fs::path& found) {
    fs::directory_iterator it(in, error), end;
    for (; !error && it != end; it.increment(error)) {
      if (lower(it->path().filename().string()) == lower(wanted)) {
        found = it->path();
        return true;
      }
    }
    return false;
  };
  fs::path found = folder;
  bool matched = true;
  for (const fs::path& part : fs::path(relative).lexically_normal()) {
    if (part.empty() || part == ".") continue;
    matched = matched && entryNamed(found, part.string(), found);
  }
  if (matched) return found.string();
  // A name with folders of the machine it was made on: the file name alone, beside the model.
  if (entryNamed(folder, fs::path(relative).filename().string(), found)) return found.string();
  return plain.string();
}

}  // namespace Lumetra
