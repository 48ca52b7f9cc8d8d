#include "Core/CarriedEntries.h"

#include "Core/FileWriting.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Lumetra::detail {

namespace fs = std::filesystem;

namespace {

/// Whether `name` is a temporary name that earlier versions of this trainer left inside a target
/// folder beside one of `files`: "<stem>.tmp-<pid>-<n><extension>", either of them followed by
/// ".part<pid>_<n>".
bool isFormerTemporaryName(std::string name, const std::vector<fs::path>& files) {
  if (const std::size_t part = name.rfind(".part"); part != std::string::npos) {
    std::string rest = name.substr(part + 5);
    std::replace(rest.begin(), rest.end(), '_', '-');
    if (isNumberPair(rest)) name.erase(part);
  }
  for (const fs::path& file : files) {
    const std::string stem = file.stem().string() + ".tmp-";
    const std::string extension = file.extension().string();
    if (name == file.string() ||
        (name.size() > stem.size() + extension.size() && name.compare(0, stem.size(), stem) == 0 &&
         name.compare(name.size() - extension.size(), extension.size(), extension) == 0 &&
         isNumberPair(name.substr(stem.size(), name.size() - stem.size() - extension.size())))) {
      return true;
    }
  }
  return false;
}

std::string noted(const std::string& why) {
  noteFailure(why);
  return why;
}

std::string cannotFlush(int error) {
  return noted("the new files could not be flushed to disk (" + std::string(std::strerror(error)) +
               "); check its disk and free space");
}

std::string cannotKeep(const std::string& entry, int error) {
  return noted("could not keep " + entry + " of the old target folder (" + std::strerror(error) +
               "); move it out of the target folder");
}

/// The names in the open folder, "." and ".." left out; 0 or the error number of a failed read.
int listFolder(int folder, std::vector<std::string>& names) {
  const int listed = ::dup(folder);
  DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
  if (dir == nullptr) {
    const int error = errno;
    if (listed >= 0) ::close(listed);
    return error;
  }
  ::rewinddir(dir);  // the copy shares its reading position with `folder`
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  }
  ::closedir(dir);
  return error;
}

/// `files` is null below the target folder itself; `shown` names `from` relative to it.
std::string carryFolder(int from, int to, const std::string& shown, const std::vector<fs::path>* files) {
  std::vector<std::string> names;
  int error = listFolder(from, names);
  if (error == 0 && files != nullptr) error = stopForTest("listed", -1, "");
  if (error != 0) {
    return noted("the old target folder could not be read (" + std::string(std::strerror(error)) +
                 "); check its disk");
  }
  for (const std::string& name : names) {
    struct stat info {};
    if (::fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone meanwhile
      return cannotKeep(shown + name, errno);
    }
    if (files != nullptr && std::find(files->begin(), files->end(), fs::path(name)) != files->end()) {
      if (!S_ISDIR(info.st_mode)) continue;  // the old target's own file
      return noted("the target folder holds a folder named " + name +
                   " where a target file goes; move that folder out of the target folder");
    }
    if (files != nullptr && isFormerTemporaryName(name, *files)) continue;
    if (!S_ISDIR(info.st_mode)) {
      // Hard links share the data: nothing is copied, whatever kind of file it is.
      if (::linkat(from, name.c_str(), to, name.c_str(), 0) != 0) return cannotKeep(shown + name, errno);
      continue;
    }
    if (::mkdirat(to, name.c_str(), 0700) != 0) return cannotKeep(shown + name, errno);
    const int inner = ::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    error = inner < 0 ? errno : 0;
    const int made = ::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (error == 0 && made < 0) error = errno;
    std::string why = error != 0 ? cannotKeep(shown + name, error) : carryFolder(inner, made, shown + name + "/", nullptr);
    // Its permission bits once it is filled, so that a folder closed to writing is carried too.
    if (why.empty() && ::fchmod(made, info.st_mode & 07777) != 0) why = cannotKeep(shown + name, errno);
    if (why.empty() && ::fsync(made) != 0 && errno != EINVAL) why = cannotFlush(errno);
    if (inner >= 0) ::close(inner);
    if (made >= 0) ::close(made);
    if (!why.empty()) return why;
  }
  return {};
}

}  // namespace

std::string carryOtherEntries(int from, int to, const std::vector<fs::path>& files) {
  return carryFolder(from, to, "", &files);
}

std::string flushFolder(int folder, const std::vector<fs::path>& files) {
  int error = 0;
  for (const fs::path& file : files) {
    const int fd = ::openat(folder, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fdatasync(fd) != 0) error = errno;
    if (fd >= 0) ::close(fd);
    if (error != 0) break;
  }
  // A file system that cannot flush a folder says EINVAL: its entries are then as durable as it
  // makes them.
  if (error == 0 && ::fsync(folder) != 0 && errno != EINVAL) error = errno;
  if (error == 0) error = stopForTest("flushed", -1, "");
  return error == 0 ? std::string() : cannotFlush(error);
}

}  // namespace Lumetra::detail
