#include "Renderer/TextureFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <system_error>

namespace Lumetra {

namespace fs = std::filesystem;

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

/// Whether `path` is `folder` or lies below it (both absolute, without links or dot parts).
bool liesIn(const fs::path& path, const fs::path& folder) {
  auto at = path.begin();
  for (auto part = folder.begin(); part != folder.end(); ++part, ++at) {
    if (part->empty()) continue;  // the empty part after a trailing separator
    if (at == path.end() || *at != *part) return false;
  }
  return true;
}

}  // namespace

TextureLookup::TextureLookup(std::string folder) : mFolder(std::move(folder)) {
  std::error_code error;
  mRoot = fs::canonical(mFolder.empty() ? fs::path(".") : fs::path(mFolder), error);
  if (error) mRoot.clear();
}

const TextureFile& TextureLookup::find(const std::string& name) {
  static const TextureFile kNothing;
  try {
    auto [found, isNew] = mFound.try_emplace(name);
    if (isNew) found->second = examine(resolve(name));
    return found->second;
  } catch (const std::exception&) {
    return kNothing;
  }
}

const TextureLookup::Listing& TextureLookup::listing(const fs::path& folder) {
  // A folder is known by its device and inode: links may reach one folder under endless names.
  static const Listing kNone;
  struct stat status{};
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return kNone;
  const std::pair<std::uint64_t, std::uint64_t> identity{status.st_dev, status.st_ino};
  auto [known, isNew] = mListings.try_emplace(identity);
  if (!isNew) return known->second;
  std::error_code error;
  fs::directory_iterator it(folder, error), end;
  // The first entry of each spelling stands for it, as a scan in the folder's order finds it.
  for (; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    known->second.try_emplace(lowerCase(entry), entry);
  }
  return known->second;
}

std::string TextureLookup::resolve(const std::string& name) {
  std::string relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const fs::path plain = mFolder.empty() ? fs::path(relative) : fs::path(mFolder) / relative;
  std::error_code error;
  if (fs::exists(plain, error)) return plain.string();

  // Match each part of the name against the folder's entries without regard to case.
  const fs::path folder = mFolder.empty() ? fs::path(".") : fs::path(mFolder);
  const auto entryNamed = [this](const fs::path& in, const std::string& wanted, fs::path& found) {
    const Listing& entries = listing(in);
    const auto entry = entries.find(lowerCase(wanted));
    if (entry == entries.end()) return false;
    found = in / entry->second;
    return true;
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

TextureFile TextureLookup::examine(const std::string& path) const {
  TextureFile file;
  file.path = path;
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  if (error) return file;
  const fs::path real = fs::weakly_canonical(absolute, error);
  if (error) return file;
  if (real != absolute) file.target = real.string();
  if (mRoot.empty() || !liesIn(real, mRoot)) {
    file.status = TextureFile::Outside;
    return file;
  }
  struct stat status{};
  if (::stat(real.c_str(), &status) != 0) return file;
  if (!S_ISREG(status.st_mode)) {
    file.status = TextureFile::NotRegular;
    return file;
  }
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return file;
  ::close(fd);
  file.status = TextureFile::Usable;
  file.device = status.st_dev;
  file.inode = status.st_ino;
  return file;
}

}  // namespace Lumetra
