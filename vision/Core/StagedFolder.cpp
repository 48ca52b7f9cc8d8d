#include "Core/AtomicFile.h"

#include "Core/CarriedEntries.h"
#include "Core/FileWriting.h"
#include "Core/Log.h"
#include "Core/TerminatingSignals.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <map>
#include <system_error>
#include <thread>

namespace Lumetra {

namespace fs = std::filesystem;

using namespace detail;

namespace detail {

int stopForTest(const char* step, int parent, const std::string& name) {
  static const std::string setting = [] {
    const char* value = std::getenv("FORMWRIGHT_TEST_STOP");
    return std::string(value == nullptr ? "" : value);
  }();
  const std::string key = std::string(step) + ":";
  std::string action;
  for (std::size_t at = 0; at < setting.size() && action.empty();) {
    const std::size_t end = std::min(setting.find(',', at), setting.size());
    if (setting.compare(at, key.size(), key) == 0) action = setting.substr(at + key.size(), end - at - key.size());
    at = end + 1;
  }
  static const std::map<std::string, int> signals = {
      {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"QUIT", SIGQUIT}, {"KILL", SIGKILL}};
  static const std::map<std::string, int> errors = {{"EIO", EIO}, {"EINVAL", EINVAL}};
  if (action == "remove") removeTree(parent, name.c_str());
  if (action == "move") {
    std::error_code ignored;
    const fs::path held = fs::read_symlink("/proc/self/fd/" + std::to_string(parent), ignored);
    fs::rename(held, held.string() + "-moved", ignored);
  }
  if (const auto found = signals.find(action); found != signals.end()) {
    // Taken by another thread that does not hold it, as a signal sent to the process may be.
    std::thread([number = found->second] {
      sigset_t one;
      ::sigemptyset(&one);
      ::sigaddset(&one, number);
      ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      ::raise(number);
    }).join();
  }
  const auto error = errors.find(action);
  return error == errors.end() ? 0 : error->second;
}

}  // namespace detail

namespace {

bool sameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

/// Whether the entry `name` of the open folder `parent` is the open `held`, still linked.
bool stillNamed(int held, int parent, const char* name) {
  struct stat opened {};
  struct stat named {};
  return held >= 0 && ::fstat(held, &opened) == 0 && opened.st_nlink > 0 &&
         ::fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameEntry(opened, named);
}

fs::path parentOf(const fs::path& folder) { return folder.has_parent_path() ? folder.parent_path() : fs::path("."); }

/// Removes the entry `name` of the open folder `parent` whole; true when it is gone. Folders nested
/// deeper than the tree removal reaches go by their path through the open folder.
bool removeWhole(int parent, const std::string& name) {
  removeTree(parent, name.c_str());
  struct stat left {};
  if (::fstatat(parent, name.c_str(), &left, AT_SYMLINK_NOFOLLOW) != 0) return true;
  std::error_code error;
  fs::remove_all(fs::path("/proc/self/fd") / std::to_string(parent) / name, error);
  return ::fstatat(parent, name.c_str(), &left, AT_SYMLINK_NOFOLLOW) != 0;
}

}  // namespace

StagedFolder::StagedFolder(fs::path folder)
    : mFolder(std::move(folder)), mFolderName(mFolder.filename().string()), mStaging(temporaryFolderFor(mFolder)) {}

StagedFolder::~StagedFolder() {
  if (!mCommitted && stillNamed(mLock, mParent, mName.c_str())) removeWhole(mParent, mName);
  if (mArmed) {
    disarmStaging();
    restoreTerminatingHandlers(mPrevious, mInstalled);
  }
  if (mLock >= 0) ::close(mLock);
  if (mParent >= 0) ::close(mParent);
}

std::string StagedFolder::create() {
  clearFailure();
  // The folder that holds the target, held open: the staging folder is reached through it, also
  // when it is renamed meanwhile.
  mParent = ::open(parentOf(mFolder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mParent < 0) return failedWith(errno);
  // The folder is armed for removal before it is made, with the terminating signals held by this
  // thread: one taken by another thread meanwhile is handed here and waits, so that a signal never
  // leaves the folder behind. A folder that cannot be armed is left to the next run of the target.
  const SignalsHeld waiting;
  bool armed = false;
  const auto failed = [&armed](int error) {
    if (armed) disarmStaging();
    return failedWith(error);
  };
  // The name may be taken, or another process's clean-up may take a fresh folder before its lock is
  // held; another name then.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (attempt > 0) mStaging = temporaryFolderFor(mFolder);
    mName = mStaging.filename().string();
    armed = armStaging(mParent, mName, mStaging.string());
    if (::mkdirat(mParent, mName.c_str(), 0777) != 0) {
      if (errno == EEXIST) continue;  // a run of the same process id in another container
      return failed(errno);
    }
    stopForTest("made", mParent, mName);
    mLock = ::openat(mParent, mName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (mLock < 0 && errno != ENOENT) {  // not taken by a clean-up: the folder just made cannot be held
      const int error = errno;
      ::unlinkat(mParent, mName.c_str(), AT_REMOVEDIR);
      return failed(error);
    }
    if (mLock >= 0 && ::flock(mLock, LOCK_EX | LOCK_NB) == 0 && stillNamed(mLock, mParent, mName.c_str())) break;
    if (mLock >= 0) ::close(mLock);
    mLock = -1;
  }
  if (mLock < 0) return failed(EEXIST);

  // A program that did not install the handlers for its whole life has them while this lives.
  mArmed = armed;
  if (mArmed && !endsOnTerminatingSignals()) installTerminatingHandlers(mPrevious, mInstalled);
  stopForTest("created", mParent, mName);
  return {};
}

std::string StagedFolder::commit(const std::vector<fs::path>& files, bool replace) {
  stopForTest("written", mParent, mName);
  struct stat heldParent {};
  struct stat namedParent {};
  if (mParent < 0 || ::fstat(mParent, &heldParent) != 0 || ::stat(parentOf(mFolder).c_str(), &namedParent) != 0 ||
      !sameEntry(heldParent, namedParent)) {
    const std::string why = "the output folder was moved or removed by another program while the run wrote it";
    noteFailure(why);
    return why;
  }
  // The folder must still be the one this run made and locked, holding every file it wrote.
  bool intact = stillNamed(mLock, mParent, mName.c_str());
  for (const fs::path& file : files) {
    struct stat info {};
    intact = intact && ::fstatat(mLock, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
  }
  if (!intact) return failedWith(ENOENT);

  for (int attempt = 0; attempt < 64; ++attempt) {
    struct stat existing {};
    if (::fstatat(mParent, mFolderName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return failedWith(errno);
      const SignalsHeld waiting;
      const int error = renameNoReplace(mParent, mName.c_str(), mParent, mFolderName.c_str());
      if (error == 0) {
        mCommitted = true;
        return {};
      }
      if (error != EEXIST) return failedWith(error);
      continue;  // appeared meanwhile
    }
    if (!replace) return failedWith(EEXIST);
    if (!S_ISDIR(existing.st_mode) && !S_ISLNK(existing.st_mode)) return failedWith(EEXIST);
    const std::string why = replaceExisting(files);
    if (why != "again") return why;
  }
  return failedWith(EBUSY);
}

/// Exchanges the staging folder with the existing folder or link at the final path, while holding
/// the old folder's lock, so that a second run of the target waits for the first. "again" when
/// the final path changed meanwhile.
std::string StagedFolder::replaceExisting(const std::vector<fs::path>& files) {
  const int old = ::openat(mParent, mFolderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0 && errno != ELOOP && errno != ENOTDIR) return errno == ENOENT ? "again" : failedWith(errno);
  struct CloseOnExit {
    int fd;
    ~CloseOnExit() {
      if (fd >= 0) ::close(fd);
    }
  } closer{old};
  if (old >= 0) {
    struct stat held {};
    if (::flock(old, LOCK_EX) != 0) return failedWith(errno);
    if (!stillNamed(old, mParent, mFolderName.c_str())) return "again";  // another run replaced it meanwhile
    if (::fstat(old, &held) != 0) return failedWith(errno);
    if (std::string why = carryOtherEntries(old, mLock, files); !why.empty()) return why;
    if (::fchmod(mLock, held.st_mode & 07777) != 0) return failedWith(errno);
    if (std::string why = flushFolder(mLock, files); !why.empty()) return why;
    stopForTest("carried", mParent, mName);
  }
  std::string why;
  {
    const SignalsHeld waiting;
    int error = stopForTest("exchange", mParent, mName);
    if (error == 0 && ::renameat2(mParent, mName.c_str(), mParent, mFolderName.c_str(), RENAME_EXCHANGE) != 0) {
      error = errno;
    }
    if (error == 0) {
      mCommitted = true;  // the old folder or link now has the staging name
    } else if (error == EINVAL || error == ENOSYS) {
      why = takePlaceOf();
    } else {
      return failedWith(error);
    }
    if (mCommitted) stopForTest("exchanged", mParent, mName);
  }
  if (!mCommitted) return why;
  // The old folder or link, still locked, goes.
  if (!removeWhole(mParent, mName)) {
    OBRIN_LOG_ERROR("Cannot remove all of the replaced folder {}", (parentOf(mFolder) / mName).string());
  }
  return {};
}

/// Where the file system cannot exchange two names (several network and FUSE file systems), the
/// old folder (still locked) or link steps aside and the new one takes its name; the signals are
/// held. A run ended between the two leaves the old one aside, for the next run to put back; what
/// a link points to stays as it is.
std::string StagedFolder::takePlaceOf() {
  OBRIN_LOG_WARN("The file system of {} cannot exchange two folders; the old one is set aside first",
                 mFolder.string());
  std::string aside = asideFolderNameFor(mFolder);
  if (const int error = renameNoReplace(mParent, mFolderName.c_str(), mParent, aside.c_str()); error == ENOENT) {
    aside.clear();  // gone meanwhile
  } else if (error != 0) {
    return failedWith(error);
  }
  stopForTest("aside", mParent, mName);
  if (const int error = renameNoReplace(mParent, mName.c_str(), mParent, mFolderName.c_str()); error != 0) {
    if (!aside.empty() && renameNoReplace(mParent, aside.c_str(), mParent, mFolderName.c_str()) != 0) {
      OBRIN_LOG_ERROR("Cannot put the old folder {} back; the next run of the target does", mFolder.string());
    }
    return failedWith(error);
  }
  mCommitted = true;
  if (!aside.empty()) {
    mName = aside;
    renameStaging(aside);
  }
  return {};
}

namespace {

/// A target folder assembled whole beside its final path and put in its place.
bool writeStagedTargetFolder(const fs::path& folder, const std::vector<PendingFile>& files) {
  std::error_code error;
  if (folder.has_parent_path()) {
    fs::create_directories(folder.parent_path(), error);
    if (error) noteError(error.value());
  }
  removeAbandonedTemporaryFolders(folder);
  StagedFolder staged(folder);
  std::string why = error ? error.message() : staged.create();
  std::vector<fs::path> names;
  for (const PendingFile& file : files) {
    if (!why.empty()) break;
    names.push_back(file.path);
    if (!produce(file, staged.path() / file.path)) why = "a file could not be written";
  }
  if (why.empty()) why = staged.commit(names, true);
  if (why.empty()) return true;
  OBRIN_LOG_ERROR("Failed to write the target folder {}: {}", folder.string(), why);
  return false;
}

}  // namespace

bool writeTargetFiles(const fs::path& givenFolder, const std::vector<PendingFile>& files) {
  try {
    const fs::path folder = givenFolder.empty() ? fs::path(".") : givenFolder;
    clearFailure();
    const std::string last = folder.filename().string();
    if (isActiveStaging(folder.string()) || last.empty() || last == "." || last == "..") {
      std::vector<PendingFile> inFolder;
      inFolder.reserve(files.size());
      for (const PendingFile& file : files) inFolder.push_back({folder / file.path, file.produce});
      return writeFilesAtomically(inFolder);
    }
    return writeStagedTargetFolder(folder, files);
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to write the target files into {}: {}", givenFolder.string(), e.what());
    return false;
  }
}

bool writeFileInNewFolders(const fs::path& path, const std::string& bytes) {
  try {
    // The outermost folder that is missing: it and what it holds go again on a failure.
    fs::path made;
    for (fs::path folder = path.parent_path(); !folder.empty() && !fs::exists(fs::symlink_status(folder));
         folder = folder.parent_path()) {
      made = folder;
      if (folder == folder.parent_path()) break;
    }
    std::error_code error;
    // The staging folder of this process is never made again: one that vanished fails the write.
    if (isActiveStaging(path.parent_path().string())) made.clear();
    if (!made.empty() && !fs::create_directories(path.parent_path(), error) && error) {
      noteError(error.value());
      return false;
    }
    if (writeFileAtomically(path, bytes)) return true;
    if (!made.empty()) fs::remove_all(made, error);
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace Lumetra
