#include "Renderer/ModelCopy.h"

#include "Core/AtomicFile.h"
#include "Core/FileWriting.h"
#include "Renderer/MeshTextures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fstream>
#include <map>
#include <set>
#include <utility>

namespace Lumetra {

namespace fs = std::filesystem;

namespace {

/// The file to copy as it is, when it can be opened (it is copied file to file, never held here).
std::optional<std::vector<ModelCopyFile>> copiedAsItIs(const fs::path& modelPath, const std::string& objName) {
  std::error_code error;
  if (!fs::is_regular_file(modelPath, error) || std::ifstream(modelPath, std::ios::binary).fail()) return std::nullopt;
  return std::vector<ModelCopyFile>{{objName, {}, modelPath}};
}

/// A name of at most `longest` bytes for the file `name` of the copy, not yet `taken`: its start
/// kept, its middle cut and ended by "~<n>", its extension kept.
std::string shortName(const std::string& name, const std::string& prefix, std::size_t longest,
                      const std::set<std::string>& taken) {
  std::string extension = fs::path(name).extension().string();
  if (extension.size() > 16) extension.clear();
  const std::size_t start = name.rfind(prefix, 0) == 0 ? prefix.size() : 0;
  const std::string head = name.substr(0, start), middle = name.substr(start, name.size() - start - extension.size());
  for (unsigned n = 1;; ++n) {
    const std::string tag = "~" + std::to_string(n);
    const std::size_t fixed = head.size() + tag.size() + extension.size();
    const std::string candidate = head + middle.substr(0, longest > fixed ? longest - fixed : 0) + tag + extension;
    if (taken.count(candidate) == 0) return candidate;
  }
}

/// The material file with each texture name of `renamed` replaced by its new name.
std::string renameInMaterials(const std::string& mtl, const std::map<std::string, std::string>& renamed) {
  std::string out;
  out.reserve(mtl.size());
  for (std::size_t start = 0; start < mtl.size();) {
    const std::size_t end = std::min(mtl.find('\n', start), mtl.size());
    std::string line = mtl.substr(start, end - start);
    const std::size_t space = line.find_last_of(" \t");
    if (space != std::string::npos && line.rfind("newmtl", 0) != 0) {
      const auto name = renamed.find(line.substr(space + 1));
      if (name != renamed.end()) line = line.substr(0, space + 1) + name->second;
    }
    out += line;
    if (end < mtl.size()) out += '\n';
    start = end + 1;
  }
  return out;
}

/// Writes all the bytes to the file; false (with the reason noted) when some did not reach it.
bool writeAll(int fd, const char* at, std::size_t left) {
  while (left > 0) {
    const ssize_t wrote = ::write(fd, at, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      detail::noteError(wrote < 0 ? errno : EIO);
      return false;
    }
    at += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

std::optional<std::vector<ModelCopyFile>> modelCopyFiles(const fs::path& modelPath, const std::string& objName,
                                                         const ImportedModel::ObjExport& exported,
                                                         TextureLookup& textures, std::size_t longestName,
                                                         std::vector<MeshModel::TextureFailure>& leftOut) noexcept {
  try {
    if (hasObjExtension(modelPath.string())) return copiedAsItIs(modelPath, objName);
    if (!exported.made) return std::nullopt;
    const std::string stem = fs::path(objName).stem().string();
    std::vector<ModelCopyFile> files{{objName, exported.obj, {}}};
    if (!exported.mtl.empty()) files.push_back({stem + ".mtl", exported.mtl, {}});
    std::set<std::string> taken = {files.front().name, stem + ".mtl"}, reported;
    for (const ImportedModel::ExportedTexture& texture : exported.textures) taken.insert(texture.fileName);
    std::map<std::string, std::string> renamed;  // the export's name -> the copy's
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> copied;  // a file -> its name in the copy
    for (const ImportedModel::ExportedTexture& texture : exported.textures) {
      ModelCopyFile file{texture.fileName, texture.source, {}, true};
      if (!texture.embedded) {
        const TextureFile& found = textures.find(texture.source);
        if (found.status != TextureFile::Usable) {
          if (reported.insert(found.path).second) leftOut.push_back(textureLeftOut(found));
          continue;
        }
        const auto known = copied.find({found.device, found.inode});
        if (known != copied.end()) {
          renamed[texture.fileName] = known->second;
          continue;
        }
        file = {texture.fileName, {}, found.path, true, found.device, found.inode};
      }
      if (file.name.size() > longestName) {
        file.name = shortName(file.name, stem + "_", longestName, taken);
        taken.insert(file.name);
        renamed[texture.fileName] = file.name;
      }
      if (file.inode != 0) copied[{file.device, file.inode}] = file.name;
      files.push_back(std::move(file));
    }
    if (!renamed.empty() && !exported.mtl.empty()) files[1].bytes = renameInMaterials(files[1].bytes, renamed);
    return files;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

CopyOutcome writeModelCopyFile(const ModelCopyFile& file, const fs::path& destination) noexcept {
  if (file.source.empty()) return writeBytes(destination, file.bytes) ? CopyOutcome::Copied : CopyOutcome::NotWritten;
  const int in = ::open(file.source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat status{};
  if (in < 0 || ::fstat(in, &status) != 0 || !S_ISREG(status.st_mode) ||
      (file.texture && (status.st_dev != file.device || status.st_ino != file.inode))) {
    if (in >= 0) ::close(in);
    return CopyOutcome::SourceUnreadable;
  }
  const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (out < 0) {
    detail::noteError(errno);
    ::close(in);
    return CopyOutcome::NotWritten;
  }
  CopyOutcome outcome = CopyOutcome::Copied;
  // No more than the size the file had when opened: a file of the kernel's (whose size reads 0)
  // may give bytes without end, and one that grows is not the file that was found.
  auto left = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
  char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(in, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) outcome = CopyOutcome::SourceUnreadable;
    if (got <= 0) break;
    if (static_cast<std::uint64_t>(got) > left) {
      outcome = CopyOutcome::SourceUnreadable;
      break;
    }
    left -= static_cast<std::uint64_t>(got);
    if (!writeAll(out, block, static_cast<std::size_t>(got))) {
      outcome = CopyOutcome::NotWritten;
      break;
    }
  }
  if (::close(out) != 0 && outcome == CopyOutcome::Copied) {
    detail::noteError(errno);
    outcome = CopyOutcome::NotWritten;
  }
  ::close(in);
  if (outcome != CopyOutcome::Copied) ::unlink(destination.c_str());
  return outcome;
}

}  // namespace Lumetra
