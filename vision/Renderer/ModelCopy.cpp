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

/// The model imported and exported as OBJ in this process. The copy is exported from the scene as
/// the file gives it, without the guard's repairs, so that it keeps every mesh of the file, those
/// without faces too.
std::optional<std::vector<ModelCopyFile>> exportedAsObj(const fs::path& modelPath, const std::string& objName) {
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
}

}  // namespace

std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const fs::path& modelPath,
                                                         const std::string& objName) noexcept {
  try {
    if (hasObjExtension(modelPath)) return copiedAsItIs(modelPath, objName);
    // The import library asserts on some scenes it imported itself when it copies them for the
    // export: the export runs in a guarded child first, and here only when it succeeded there.
    const GuardedWork exports = [&modelPath, &objName](std::string& error) {
      if (exportedAsObj(modelPath, objName)) return true;
      error = "its export to OBJ failed.";
      return false;
    };
    std::string error;
    if (!succeedsInChild(modelPath.string(), exports, error)) return std::nullopt;
    return exportedAsObj(modelPath, objName);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace Lumetra
