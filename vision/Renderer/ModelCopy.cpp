#include "Renderer/ModelCopy.h"

#include "Renderer/GuardedImport.h"

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <cctype>
#include <exception>
#include <fstream>
#include <sstream>

namespace Lumetra {

namespace fs = std::filesystem;

namespace {

bool hasObjExtension(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".obj";
}

std::optional<std::vector<ModelCopyFile>> copiedAsItIs(const fs::path& modelPath, const std::string& objName) {
  std::ifstream in(modelPath, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in || !bytes) return std::nullopt;
  return std::vector<ModelCopyFile>{{objName, bytes.str()}};
}

}  // namespace

std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const fs::path& modelPath,
                                                         const std::string& objName) noexcept {
  try {
    if (hasObjExtension(modelPath)) return copiedAsItIs(modelPath, objName);
    // The file is imported in this process only after a child imported it cleanly. The copy is
    // exported from the scene as the file gives it, without the guard's repairs, so that it keeps
    // every mesh of the file, those without faces too.
    std::string error;
    if (!importsInChild(modelPath.string(), 0, error)) return std::nullopt;
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(modelPath.string(), 0);
    if (scene == nullptr) return std::nullopt;
    Assimp::Exporter exporter;
    const aiExportDataBlob* blob = exporter.ExportToBlob(scene, "obj");
    if (blob == nullptr || blob->data == nullptr) return std::nullopt;
    std::vector<ModelCopyFile> files{{objName, std::string(static_cast<const char*>(blob->data), blob->size)}};
    const std::string materialFile = fs::path(objName).stem().string() + ".mtl";
    for (const aiExportDataBlob* next = blob->next; next != nullptr; next = next->next) {
      if (next->data == nullptr || std::string(next->name.C_Str()) != "mtl") continue;
      files.push_back({materialFile, std::string(static_cast<const char*>(next->data), next->size)});
      // The exporter names the material file after its in-memory file.
      std::string& obj = files.front().bytes;
      const std::string placeholder = "mtllib $blobfile.mtl";
      const std::size_t at = obj.find(placeholder);
      if (at != std::string::npos) obj.replace(at, placeholder.size(), "mtllib " + materialFile);
    }
    return files;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace Lumetra
