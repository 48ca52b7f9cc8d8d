#include "Renderer/ImportedModel.h"

#include "Renderer/GuardedImport.h"
#include "Renderer/ModelFileGuard.h"
#include "Renderer/ScenePlacement.h"

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/scene.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <Eigen/Core>
#include <Eigen/LU>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <map>
#include <set>
#include <utility>

namespace Lumetra {

namespace {

constexpr char kMagic[8] = {'F', 'W', 'M', 'O', 'D', 'E', 'L', '1'};

/// Appends numbers, arrays and texts to the bytes sent through the pipe.
struct Writer {
  std::string bytes;
  template <typename T>
  void put(const T& value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  template <typename T>
  void putArray(const T* values, std::uint64_t count) {
    put(count);
    if (count > 0) bytes.append(reinterpret_cast<const char*>(values), count * sizeof(T));
  }
  void putText(const std::string& text) { putArray(text.data(), text.size()); }
};

/// Reads what Writer wrote; every read is checked against the bytes left.
struct Reader {
  const std::string& bytes;
  std::size_t at = 0;
  template <typename T>
  bool get(T& value) {
    if (bytes.size() - at < sizeof value) return false;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    at += sizeof value;
    return true;
  }
  template <typename T>
  bool getArray(std::vector<T>& values) {
    std::uint64_t count = 0;
    if (!get(count) || count > (bytes.size() - at) / sizeof(T)) return false;
    values.resize(count);
    if (count > 0) std::memcpy(values.data(), bytes.data() + at, count * sizeof(T));
    at += count * sizeof(T);
    return true;
  }
  bool getText(std::string& text) {
    std::uint64_t count = 0;
    if (!get(count) || count > bytes.size() - at) return false;
    text.assign(bytes, at, count);
    at += count;
    return true;
  }
};

/// The file name at the end of a texture name, kept to letters, digits, '.', '-' and '_'.
std::string safeFileName(const std::string& name) {
  std::string base = name.substr(name.find_last_of("\\/") + 1);
  for (char& c : base)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  return base;
}

/// A picture file's bytes for an embedded texture: its own file when compressed, else its pixels
/// as a binary PPM (the alpha channel left out).
std::string embeddedPictureBytes(const aiTexture& texture) {
  if (texture.mHeight == 0) return std::string(reinterpret_cast<const char*>(texture.pcData), texture.mWidth);
  std::string bytes = "P6\n" + std::to_string(texture.mWidth) + " " + std::to_string(texture.mHeight) + "\n255\n";
  const std::size_t count = static_cast<std::size_t>(texture.mWidth) * texture.mHeight;
  bytes.reserve(bytes.size() + 3 * count);
  for (std::size_t i = 0; i < count; ++i) {
    const aiTexel& texel = texture.pcData[i];
    bytes += static_cast<char>(texel.r);
    bytes += static_cast<char>(texel.g);
    bytes += static_cast<char>(texel.b);
  }
  return bytes;
}

/// Renames every texture of every material to `stem`_<its file name> (one name per texture, made
/// unique with a number where two differ only in folders) and lists them for the copy.
std::vector<ImportedModel::ExportedTexture> renameTextures(aiScene& scene, const std::string& stem) {
  std::vector<ImportedModel::ExportedTexture> textures;
  std::map<std::string, std::string> newNames;  // by the name the file gives
  std::set<std::string> taken;
  for (unsigned m = 0; m < scene.mNumMaterials; ++m) {
    aiMaterial* material = scene.mMaterials[m];
    if (material == nullptr) continue;
    for (int type = aiTextureType_DIFFUSE; type <= AI_TEXTURE_TYPE_MAX; ++type) {
      const aiTextureType kind = static_cast<aiTextureType>(type);
      for (unsigned k = 0; k < material->GetTextureCount(kind); ++k) {
        aiString name;
        if (material->GetTexture(kind, k, &name) != aiReturn_SUCCESS || name.length == 0) continue;
        auto [named, isNew] = newNames.try_emplace(name.C_Str());
        if (isNew) {
          const auto [embedded, index] = scene.GetEmbeddedTextureAndIndex(name.C_Str());
          std::string base = embedded != nullptr ? safeFileName(embedded->mFilename.C_Str()) : safeFileName(name.C_Str());
          if (embedded != nullptr && (base.empty() || base.find('.') == std::string::npos)) {
            const std::string hint = embedded->mHeight == 0 ? safeFileName(embedded->achFormatHint) : "ppm";
            base = "texture" + std::to_string(index) + "." + (hint.empty() ? "bin" : hint);
          }
          std::string fileName = stem + "_" + base;
          for (int n = 1; !taken.insert(fileName).second; ++n) fileName = stem + "_" + std::to_string(n) + "_" + base;
          named->second = fileName;
          textures.push_back({fileName, embedded != nullptr,
                              embedded != nullptr ? embeddedPictureBytes(*embedded) : std::string(name.C_Str())});
        }
        const aiString renamed(named->second);
        material->AddProperty(&renamed, AI_MATKEY_TEXTURE(kind, k));
      }
    }
  }
  return textures;
}

/// The scene as read, exported as OBJ with its textures renamed for the copy.
ImportedModel::ObjExport exportObj(aiScene& scene, const std::string& stem) {
  ImportedModel::ObjExport result;
  result.textures = renameTextures(scene, stem);
  Assimp::Exporter exporter;
  const aiExportDataBlob* blob = exporter.ExportToBlob(&scene, "obj");
  if (blob == nullptr || blob->data == nullptr) return {};
  result.obj.assign(static_cast<const char*>(blob->data), blob->size);
  for (const aiExportDataBlob* next = blob->next; next != nullptr; next = next->next) {
    if (next->data == nullptr || std::string(next->name.C_Str()) != "mtl") continue;
    result.mtl.assign(static_cast<const char*>(next->data), next->size);
    // The exporter names the material file after its in-memory file.
    const std::string placeholder = "mtllib $blobfile.mtl";
    const std::size_t at = result.obj.find(placeholder);
    if (at != std::string::npos) result.obj.replace(at, placeholder.size(), "mtllib " + stem + ".mtl");
  }
  result.made = true;
  return result;
}

void writeExport(const ImportedModel::ObjExport& exported, Writer& out) {
  out.put(static_cast<std::uint8_t>(exported.made));
  out.putText(exported.obj);
  out.putText(exported.mtl);
  out.put(static_cast<std::uint64_t>(exported.textures.size()));
  for (const ImportedModel::ExportedTexture& texture : exported.textures) {
    out.putText(texture.fileName);
    out.put(static_cast<std::uint8_t>(texture.embedded));
    out.putText(texture.source);
  }
}

bool readExport(Reader& in, ImportedModel::ObjExport& exported) {
  std::uint8_t made = 0;
  std::uint64_t textures = 0;
  if (!in.get(made) || !in.getText(exported.obj) || !in.getText(exported.mtl) || !in.get(textures) ||
      textures > in.bytes.size()) {
    return false;
  }
  exported.made = made != 0;
  exported.textures.resize(textures);
  for (ImportedModel::ExportedTexture& texture : exported.textures) {
    std::uint8_t embedded = 0;
    if (!in.getText(texture.fileName) || !in.get(embedded) || !in.getText(texture.source)) return false;
    texture.embedded = embedded != 0;
  }
  return true;
}

/// The export run in a process of its own, forked from the importing child: the library asserts
/// on some scenes it imported itself when it copies them for the export, and such a file must
/// still train (its copy alone fails). Nothing made when that process fails.
ImportedModel::ObjExport exportApart(aiScene& scene, const std::string& stem) {
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) return {};
  const pid_t parent = ::getpid();
  const pid_t exporter = ::fork();
  if (exporter == 0) {
    ::close(channel[0]);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(1);
    Writer out;
    try {
      writeExport(exportObj(scene, stem), out);
    } catch (...) {
      ::_exit(1);
    }
    for (std::size_t at = 0; at < out.bytes.size();) {
      const ssize_t written = ::write(channel[1], out.bytes.data() + at, out.bytes.size() - at);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) ::_exit(1);
      at += static_cast<std::size_t>(written);
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string bytes;
  char buffer[65536];
  for (ssize_t got = 0; exporter > 0 && (got = ::read(channel[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) bytes.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  ::close(channel[0]);
  int status = 0;
  while (exporter > 0 && ::waitpid(exporter, &status, 0) < 0 && errno == EINTR) {
  }
  ImportedModel::ObjExport exported;
  Reader in{bytes};
  if (exporter > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && readExport(in, exported) &&
      in.at == bytes.size()) {
    return exported;
  }
  return {};
}

/// Each material's diffuse texture as the file names it.
void writeMaterials(const aiScene& scene, Writer& out) {
  out.put(static_cast<std::uint32_t>(scene.mNumMaterials));
  for (unsigned m = 0; m < scene.mNumMaterials; ++m) {
    const aiMaterial* material = scene.mMaterials[m];
    ImportedModel::Material::Kind kind = ImportedModel::Material::None;
    aiString name;
    if (material != nullptr && aiGetMaterialTextureCount(material, aiTextureType_DIFFUSE) > 0) {
      kind = aiGetMaterialTexture(material, aiTextureType_DIFFUSE, 0, &name) != aiReturn_SUCCESS
                 ? ImportedModel::Material::Unnamed
             : scene.GetEmbeddedTexture(name.C_Str()) != nullptr ? ImportedModel::Material::Embedded
                                                                  : ImportedModel::Material::File;
    }
    out.put(static_cast<std::uint8_t>(kind));
    out.putText(kind == ImportedModel::Material::File ? std::string(name.C_Str()) : std::string());
  }
}

/// One mesh placed by `placement`: the identity copies the coordinates as they are; any other
/// transform is applied in double precision, to the normals through its inverse transpose.
void writeMesh(const aiMesh& mesh, const aiMatrix4x4& placement, Writer& out) {
  const std::uint64_t n = mesh.mNumVertices;
  out.put(static_cast<std::uint32_t>(mesh.mMaterialIndex));
  Eigen::Matrix4d transform;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) transform(r, c) = placement[r][c];
  Eigen::Matrix3d turn = transform.topLeftCorner<3, 3>();
  if (turn.determinant() != 0.0) turn = turn.inverse().transpose().eval();
  const auto place = [&](const aiVector3D* vectors, bool isNormal) {
    std::vector<float> placed(3 * n);
    for (std::uint64_t v = 0; v < n; ++v) {
      const Eigen::Vector3d p(vectors[v].x, vectors[v].y, vectors[v].z);
      const Eigen::Vector3d q = isNormal ? (turn * p).eval() : (transform.topLeftCorner<3, 3>() * p +
                                                                transform.topRightCorner<3, 1>()).eval();
      for (int axis = 0; axis < 3; ++axis) placed[3 * v + axis] = static_cast<float>(q[axis]);
    }
    out.putArray(placed.data(), placed.size());
  };
  const bool identity = placement == aiMatrix4x4();
  if (n == 0) out.putArray<float>(nullptr, 0);
  else if (identity) out.putArray(&mesh.mVertices[0].x, 3 * n);
  else place(mesh.mVertices, false);
  if (!mesh.HasNormals()) out.putArray<float>(nullptr, 0);
  else if (identity) out.putArray(&mesh.mNormals[0].x, 3 * n);
  else place(mesh.mNormals, true);
  std::vector<float> values;
  if (mesh.HasTextureCoords(0)) {
    for (std::uint64_t v = 0; v < n; ++v) values.insert(values.end(), {mesh.mTextureCoords[0][v].x, mesh.mTextureCoords[0][v].y});
  }
  out.putArray(values.data(), values.size());
  if (mesh.HasVertexColors(0)) out.putArray(&mesh.mColors[0][0].r, 4 * n);
  else out.putArray<float>(nullptr, 0);
  std::vector<std::uint32_t> sizes(mesh.mNumFaces), indices;
  for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
    sizes[f] = mesh.mFaces[f].mNumIndices;
    indices.insert(indices.end(), mesh.mFaces[f].mIndices, mesh.mFaces[f].mIndices + sizes[f]);
  }
  out.putArray(sizes.data(), sizes.size());
  out.putArray(indices.data(), indices.size());
}

/// The child's work: import, export when asked for, and the model as bytes.
bool importToBytes(const std::string& path, unsigned postProcessing, const std::string& exportStem,
                   std::string& error, std::string& bytes) {
  Writer out;
  out.bytes.append(kMagic, sizeof kMagic);
  ImportedModel::ObjExport exported;
  std::string refused;
  const auto asRead = [&](aiScene& scene) {
    const std::vector<std::vector<aiMatrix4x4>> placements = meshPlacements(scene);
    refused = repeatedMeshes(scene, placements);
    const bool collada = scene.mRootNode != nullptr && isColladaFile(path);
    if (refused.empty() && collada) refused = unusableColladaUnit(scene, placements, path);
    if (!refused.empty()) return;
    // The library gives a COLLADA model in metres, its declared unit applied.
    if (collada) {
      aiMatrix4x4 toMillimetres;
      aiMatrix4x4::Scaling(aiVector3D(1000.0f), toMillimetres);
      scene.mRootNode->mTransformation = toMillimetres * scene.mRootNode->mTransformation;
    }
    writeMaterials(scene, out);
    if (exportStem.empty()) return;
    // A failed export leaves the copy undone, not the import. Without the guard it runs here.
    if (importGuardLimits().enabled) {
      exported = exportApart(scene, exportStem);
    } else {
      try {
        exported = exportObj(scene, exportStem);
      } catch (const std::exception&) {
        exported = ImportedModel::ObjExport();
      }
    }
  };
  Assimp::Importer importer;
  unsigned dropped = 0;
  const aiScene* scene = importScene(importer, path, postProcessing, error, &dropped, asRead);
  if (scene == nullptr) return false;
  out.put(static_cast<std::uint32_t>(dropped));
  if (!refused.empty()) {
    error = refused;
    return false;
  }
  const std::vector<std::vector<aiMatrix4x4>> placements = meshPlacements(*scene);
  std::uint64_t instances = 0;
  for (const auto& placed : placements) instances += placed.size();
  out.put(instances);
  for (unsigned m = 0; m < scene->mNumMeshes; ++m)
    for (const aiMatrix4x4& placement : placements[m]) writeMesh(*scene->mMeshes[m], placement, out);
  writeExport(exported, out);
  bytes = std::move(out.bytes);
  return true;
}

bool decodeMesh(Reader& in, ImportedModel::Mesh& mesh) {
  if (!in.get(mesh.material) || !in.getArray(mesh.positions) || !in.getArray(mesh.normals) ||
      !in.getArray(mesh.texCoords) || !in.getArray(mesh.colors) || !in.getArray(mesh.faceSizes) ||
      !in.getArray(mesh.indices)) {
    return false;
  }
  const std::uint64_t n = mesh.positions.size() / 3;
  if (mesh.positions.size() % 3 != 0 || n > UINT32_MAX || (!mesh.normals.empty() && mesh.normals.size() != 3 * n) ||
      (!mesh.texCoords.empty() && mesh.texCoords.size() != 2 * n) || (!mesh.colors.empty() && mesh.colors.size() != 4 * n)) {
    return false;
  }
  std::uint64_t corners = 0;
  for (const std::uint32_t size : mesh.faceSizes) corners += size;
  return corners == mesh.indices.size() &&
         std::all_of(mesh.indices.begin(), mesh.indices.end(), [n](std::uint32_t i) { return i < n; });
}

bool decode(const std::string& bytes, ImportedModel& model) {
  Reader in{bytes};
  std::uint32_t materials = 0;
  if (bytes.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) return false;
  in.at = sizeof kMagic;
  if (!in.get(materials) || materials > bytes.size()) return false;
  model.materials.resize(materials);
  for (ImportedModel::Material& material : model.materials) {
    std::uint8_t kind = 0;
    if (!in.get(kind) || kind > ImportedModel::Material::Unnamed || !in.getText(material.name)) return false;
    material.kind = static_cast<ImportedModel::Material::Kind>(kind);
  }
  std::uint64_t meshes = 0;
  if (!in.get(model.droppedMeshes) || !in.get(meshes) || meshes > bytes.size()) return false;
  model.meshes.resize(meshes);
  for (ImportedModel::Mesh& mesh : model.meshes)
    if (!decodeMesh(in, mesh)) return false;
  return readExport(in, model.exported) && in.at == bytes.size();
}

}  // namespace

bool importModel(const std::string& path, unsigned postProcessing, const std::string& exportStem,
                 ImportedModel& model, std::string& error) {
  const GuardedWork work = [&](std::string& why, std::string& bytes) {
    return importToBytes(path, postProcessing, exportStem, why, bytes);
  };
  std::string bytes;
  if (!succeedsInChild(path, work, error, bytes, exportStem.empty() ? 1 : 2)) return false;
  model = ImportedModel();
  if (decode(bytes, model)) return true;
  model = ImportedModel();
  error = "its import ended in a malformed result.";
  return false;
}

}  // namespace Lumetra
