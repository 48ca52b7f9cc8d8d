#include "Core/AtomicFile.h"

#include "Core/FileWriting.h"
#include "Core/Log.h"
#include "Core/TerminatingSignals.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>

namespace Lumetra {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------------
// Why a write failed, in a user's words: the first failure of the current write is kept.

thread_local std::string tLastFailure;

std::string reasonFor(int error) {
  switch (error) {
    case EEXIST:
    case ENOTDIR:
    case EISDIR:
      return "a file of that name exists";
    case ENAMETOOLONG:
      return "the name is too long for its file system";
    case ELOOP:
      return "a symbolic link stands where a new file goes";
    case ENOENT:
      return "the folder was removed by another program while the run wrote it";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EIO:
    case EACCES:
    case EPERM:
    case EROFS:
      return "make room on its disk or allow writing there";
    default:
      return std::strerror(error);
  }
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.size() < 12 && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

namespace detail {

void clearFailure() { tLastFailure.clear(); }

void noteFailure(const std::string& reason) {
  if (tLastFailure.empty()) tLastFailure = reason;
}
void noteError(int error) { noteFailure(reasonFor(error)); }
std::string failedWith(int error) {
  noteError(error);
  return reasonFor(error);
}

bool produce(const PendingFile& file, const fs::path& path) {
  try {
    return file.produce && file.produce(path);
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to write {}: {}", path.string(), e.what());
    return false;
  }
}

bool isNumberPair(const std::string& rest) {
  const std::size_t dash = rest.find('-');
  return dash != std::string::npos && allDigits(rest.substr(0, dash)) && allDigits(rest.substr(dash + 1));
}

}  // namespace detail

using namespace detail;

namespace {

// ---------------------------------------------------------------------------------------------
// Temporary names.

/// ".tmp-<pid>-<n>", n counting the temporary names this process made.
std::string temporarySuffix() {
  static std::atomic<unsigned long> counter{0};
  const unsigned long n = counter.fetch_add(1, std::memory_order_relaxed);
  return ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(n);
}

/// The target folder name of a hidden staging folder name ".<base>.tmp-<pid>-<n>" or of an old
/// folder set aside, ".<base>.old-<pid>-<n>"; else empty.
std::string stagingBase(const std::string& name) {
  if (name.size() < 2 || name.front() != '.') return {};
  const std::size_t at = name.rfind('.');  // the number pair holds no dot
  if (at == std::string::npos || at < 2) return {};
  const std::string marker = name.substr(at, 5);
  if ((marker != ".tmp-" && marker != ".old-") || !isNumberPair(name.substr(at + 5))) return {};
  return name.substr(1, at - 1);
}

bool isAsideName(const std::string& name) { return name.compare(name.rfind('.'), 5, ".old-") == 0; }

/// Whether the run that set the old folder `aside` aside left its staging folder among `names`
/// too: it then ended before the new folder took the old one's place.
bool placedNothing(const std::string& aside, const std::vector<std::string>& names) {
  const std::size_t at = aside.rfind('.');
  const std::string run = aside.substr(0, at) + ".tmp-" + aside.substr(at + 5, aside.rfind('-') - at - 4);
  return std::any_of(names.begin(), names.end(), [&run](const std::string& name) { return name.rfind(run, 0) == 0; });
}

// ---------------------------------------------------------------------------------------------
// Leftovers of killed runs: the output folder is read once per process.

std::mutex gLeftoverMutex;
// Folder holding targets -> target folder name -> hidden staging folder names seen there.
std::map<std::string, std::map<std::string, std::vector<std::string>>> gLeftovers;

std::vector<std::string> takeLeftoverNames(const fs::path& parent, const std::string& base) {
  const std::lock_guard<std::mutex> lock(gLeftoverMutex);
  auto [folder, fresh] = gLeftovers.try_emplace(parent.string());
  if (fresh) {
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr) return {};
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (const std::string owner = stagingBase(name); !owner.empty()) folder->second[owner].push_back(name);
    }
    ::closedir(dir);
  }
  std::vector<std::string> names;
  if (const auto found = folder->second.find(base); found != folder->second.end()) {
    names = std::move(found->second);
    folder->second.erase(found);
  }
  return names;
}

}  // namespace

fs::path temporaryPathFor(const fs::path& path) {
  fs::path name = path.stem();
  name += temporarySuffix();
  name += path.extension();
  return path.parent_path() / name;
}

fs::path temporaryFolderFor(const fs::path& path) {
  return path.parent_path() / ("." + path.filename().string() + temporarySuffix());
}

namespace detail {

std::string asideFolderNameFor(const fs::path& path) {
  std::string suffix = temporarySuffix();
  suffix.replace(0, 5, ".old-");
  return "." + path.filename().string() + suffix;
}

int renameNoReplace(int fromParent, const char* from, int toParent, const char* to) {
  if (::renameat2(fromParent, from, toParent, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  struct stat existing {};
  if (::fstatat(toParent, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(fromParent, from, toParent, to) == 0 ? 0 : errno;
}

}  // namespace detail

int removeAbandonedTemporaryFolders(const fs::path& path) {
  int held = 0;
  try {
    const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    const std::vector<std::string> names = takeLeftoverNames(parent, path.filename().string());
    for (const std::string& name : names) {
      const fs::path leftover = parent / name;
      const int fd = ::open(leftover.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      struct stat info {};
      if (fd < 0 && isAsideName(name) && ::lstat(leftover.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // A link set aside by a run that ended before its new folder took the link's place goes
        // back; where a target stands again, it goes (what it points to is never touched).
        if (renameNoReplace(AT_FDCWD, leftover.c_str(), AT_FDCWD, path.c_str()) == EEXIST) ::unlink(leftover.c_str());
      }
      if (fd < 0) continue;  // gone meanwhile, or not a folder of ours
      // Held while it is handled, so that no run takes it meanwhile. An old target set aside by a
      // run that ended before the new one took its place is put back; where a target stands
      // again, it goes, as every staging folder does.
      int back = -1;  // held by a live run
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        back = isAsideName(name) ? renameNoReplace(AT_FDCWD, leftover.c_str(), AT_FDCWD, path.c_str()) : EEXIST;
      }
      if (back < 0) {
        ++held;
      } else if (back == EEXIST && !(isAsideName(name) && placedNothing(name, names))) {
        removeTree(AT_FDCWD, leftover.c_str());  // folders closed to writing included
        std::error_code error;
        fs::remove_all(leftover, error);  // what lies deeper than the tree removal goes
        if (error) OBRIN_LOG_ERROR("Cannot remove the abandoned folder {}: {}", leftover.string(), error.message());
      } else if (back == EEXIST) {
        // Its run ended before its new target took the old one's place, and a target stands there
        // again (made by someone else): the old folder, with the user's entries, stays beside it
        // under its name without the leading dot, which no run touches.
        const fs::path kept = parent / name.substr(1);
        if (const int error = renameNoReplace(AT_FDCWD, leftover.c_str(), AT_FDCWD, kept.c_str()); error != 0) {
          OBRIN_LOG_ERROR("Cannot keep the old folder {} as {}: {}", leftover.string(), kept.string(), std::strerror(error));
        }
      } else if (back != 0) {
        OBRIN_LOG_ERROR("Cannot put the old folder {} back: {}", leftover.string(), std::strerror(back));
      }
      ::close(fd);
    }
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Cannot look for abandoned folders beside {}: {}", path.string(), e.what());
  }
  return held;
}

std::string lastWriteFailure() { return tLastFailure; }

bool writeBytes(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    noteError(errno);
    OBRIN_LOG_ERROR("Cannot create a file {}: {}", path.string(), std::strerror(errno));
    return false;
  }
  const char* at = bytes.data();
  std::size_t left = bytes.size();
  int error = 0;
  while (left > 0 && error == 0) {
    const ssize_t wrote = ::write(fd, at, left);
    if (wrote > 0) {
      at += wrote;
      left -= static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno != EINTR) {
      error = errno;
    } else if (wrote == 0) {
      error = EIO;
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return true;
  noteError(error);
  OBRIN_LOG_ERROR("Failed to write {} bytes to {}: {}", bytes.size(), path.string(), std::strerror(error));
  ::unlink(path.c_str());
  return false;
}

bool writeFilesAtomically(const std::vector<PendingFile>& files) {
  std::vector<fs::path> staged;
  auto discardStaged = [&staged]() {
    std::error_code ignored;
    for (const fs::path& p : staged) fs::remove(p, ignored);
  };

  try {
    staged.reserve(files.size());
    for (const PendingFile& file : files) {
      staged.push_back(temporaryPathFor(file.path));
      if (!produce(file, staged.back())) {
        discardStaged();
        return false;
      }
    }
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to prepare files: {}", e.what());
    discardStaged();
    return false;
  }

  // Every file is complete: move them into place. Should a rename fail, the remaining
  // temporary files are dropped and the failure reported.
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (::rename(staged[i].c_str(), files[i].path.c_str()) != 0) {
      noteError(errno);
      OBRIN_LOG_ERROR("Failed to move {} to {}: {}", staged[i].string(), files[i].path.string(), std::strerror(errno));
      std::error_code ignored;
      for (std::size_t j = i; j < staged.size(); ++j) fs::remove(staged[j], ignored);
      return false;
    }
  }
  return true;
}

bool writeFileAtomically(const fs::path& path, const std::string& bytes) {
  try {
    tLastFailure.clear();
    std::vector<PendingFile> files;
    files.push_back({path, [&bytes](const fs::path& temporary) { return writeBytes(temporary, bytes); }});
    return writeFilesAtomically(files);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace Lumetra
