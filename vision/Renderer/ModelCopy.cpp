#include "Renderer/ModelCopy.h"

#include "Renderer/MeshModel.h"
#include "Renderer/MeshTextures.h"

#include <exception>
#include <fstream>

namespace Lumetra {

namespace fs = std::filesystem;

namespace {

/// The file to copy as it is, when it can be opened (it is copied file to file, never held here).
std::optional<std::vector<ModelCopyFile>> copiedAsItIs(const fs::path& modelPath, const std::string& objName) {
  std::error_code error;
  if (!fs::is_regular_file(modelPath, error) || std::ifstream(modelPath, std::ios::binary).fail()) return std::nullopt;
  return std::vector<ModelCopyFile>{{objName, {}, modelPath}};
}

}  // namespace

std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const fs::path& modelPath, const std::string& objName,
                                                         const ImportedModel::ObjExport& exported,
                                                         std::vector<std::string>& unreadableTextures) noexcept {
  try {
    if (hasObjExtension(modelPath.string())) return copiedAsItIs(modelPath, objName);
    if (!exported.made) return std::nullopt;
    std::vector<ModelCopyFile> files{{objName, exported.obj, {}}};
    if (!exported.mtl.empty()) files.push_back({fs::path(objName).stem().string() + ".mtl", exported.mtl, {}});
    const std::string directory = modelPath.parent_path().string();
    for (const ImportedModel::ExportedTexture& texture : exported.textures) {
      if (texture.embedded) {
        files.push_back({texture.fileName, texture.source, {}});
        continue;
      }
      const std::string path = resolveTexturePath(directory, texture.source);
      std::error_code error;
      if (fs::is_regular_file(path, error) && !std::ifstream(path, std::ios::binary).fail()) {
        files.push_back({texture.fileName, {}, path});
      } else {
        unreadableTextures.push_back(path);
      }
    }
    return files;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace Lumetra
