#include "Core/AtomicFile.h"

#include "Core/FileWriting.h"
#include "Core/Log.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <system_error>

namespace Lumetra {

namespace fs = std::filesystem;

using namespace detail;

namespace {

// ---------------------------------------------------------------------------------------------
// A deterministic stop for the tests of interrupted runs. FORMWRIGHT_TEST_STOP="<step>:<action>"
// makes a run that writes a target folder stop when it reaches the named step ("created",
// "written", "carried", "exchanged"). The action is a signal raised there (INT, TERM, HUP, QUIT or
// KILL), or "remove", which deletes the staging folder as another program might. Unset in use.

void stopForTest(const char* step, const fs::path& staging) {
  static const std::string setting = [] {
    const char* value = std::getenv("FORMWRIGHT_TEST_STOP");
    return std::string(value == nullptr ? "" : value);
  }();
  const std::size_t colon = setting.find(':');
  if (colon == std::string::npos || setting.compare(0, colon, step) != 0) return;
  const std::string action = setting.substr(colon + 1);
  static const std::map<std::string, int> signals = {
      {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"QUIT", SIGQUIT}, {"KILL", SIGKILL}};
  std::error_code ignored;
  if (action == "remove") fs::remove_all(staging, ignored);
  if (const auto found = signals.find(action); found != signals.end()) ::raise(found->second);
}

// ---------------------------------------------------------------------------------------------
// The temporary names that earlier versions left in target folders, and folder entries.

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

bool sameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

constexpr std::array<int, 4> kTerminatingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The folder being assembled, for the handler of the terminating signals: written before the
// handler is installed and cleared before it is removed, read only by the handler.
char gStagingPath[PATH_MAX];
volatile std::sig_atomic_t gStagingArmed = 0;
pid_t gStagingProcess = 0;
pthread_t gStagingThread;

bool isActiveStaging(const fs::path& folder) {
  return gStagingArmed != 0 && gStagingProcess == ::getpid() && folder.string() == gStagingPath;
}

/// Removes the files of the folder, then the folder. Only async-signal-safe calls: it runs in the
/// signal handler. Each pass starts over, since removing entries while reading the folder may skip
/// some; a folder inside is left, with its parent, for the next run of the target.
void removeFolderOfFiles(const char* folder) {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  alignas(dirent64) char buffer[4096];
  bool removed = true;
  for (int pass = 0; removed && pass < 16; ++pass) {
    removed = false;
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        removed = ::unlinkat(fd, name, 0) == 0 || removed;
      }
    }
  }
  ::close(fd);
  ::rmdir(folder);
}

/// A terminating signal while a folder is assembled: the staging thread removes it, then the
/// signal ends the process as it would have without the handler. Another thread hands the signal
/// to the staging thread, which is then stopped and cannot add a file behind the removal. A child
/// of the process (it inherits the handler) just ends.
extern "C" void onTerminatingSignal(int number) {
  const bool owner = ::getpid() == gStagingProcess;
  if (owner && ::pthread_equal(::pthread_self(), gStagingThread) == 0) {
    ::pthread_kill(gStagingThread, number);
    return;
  }
  if (owner && gStagingArmed != 0) removeFolderOfFiles(gStagingPath);
  ::signal(number, SIG_DFL);
  sigset_t unblocked;
  ::sigemptyset(&unblocked);
  ::sigaddset(&unblocked, number);
  ::pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
  ::raise(number);
}

/// While alive, the terminating signals wait: the steps that put a folder in place are not cut
/// in two by them. A signal that arrived meanwhile is handled when this goes.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    ::sigemptyset(&held);
    for (const int number : kTerminatingSignals) ::sigaddset(&held, number);
    ::pthread_sigmask(SIG_BLOCK, &held, &mPrevious);
  }
  ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &mPrevious, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t mPrevious;
};

/// Gives the staging folder `to` the entries of the folder `from` other than the target's files
/// (and what earlier versions left beside them): files and links as hard links, folders as
/// copies. Empty on success, else why it failed.
std::string carryOtherEntries(int from, const fs::path& fromPath, int to, const fs::path& toPath,
                              const std::vector<fs::path>& files) {
  std::set<std::string> skipped;
  for (const fs::path& file : files) skipped.insert(file.string());
  const int listed = ::dup(from);
  DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
  if (dir == nullptr) {
    if (listed >= 0) ::close(listed);
    return failedWith(errno);
  }
  std::string why;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || skipped.count(name) != 0 || isFormerTemporaryName(name, files)) continue;
    struct stat info {};
    if (::fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    std::error_code error;
    if (S_ISDIR(info.st_mode)) {
      fs::copy(fromPath / name, toPath / name, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    } else if (::linkat(from, name.c_str(), to, name.c_str(), 0) != 0) {
      if (S_ISREG(info.st_mode)) fs::copy_file(fromPath / name, toPath / name, error);
      else error = std::error_code(errno, std::generic_category());
    }
    if (error) {
      why = "could not keep " + name + " of the old folder: " + error.message();
      noteFailure(why);
      break;
    }
  }
  ::closedir(dir);
  return why;
}

/// Makes the files and the folder durable before they replace a target that was complete.
void syncFolder(int folder, const std::vector<fs::path>& files) {
  for (const fs::path& file : files) {
    const int fd = ::openat(folder, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    ::fdatasync(fd);
    ::close(fd);
  }
  ::fsync(folder);
}

}  // namespace

StagedFolder::StagedFolder(fs::path folder) : mFolder(std::move(folder)), mStaging(temporaryFolderFor(mFolder)) {}

StagedFolder::~StagedFolder() {
  std::error_code ignored;
  if (!mCommitted && mLock >= 0) fs::remove_all(mStaging, ignored);
  if (mLock >= 0) ::close(mLock);
  if (!mArmed) return;
  gStagingArmed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  for (std::size_t i = 0; i < kTerminatingSignals.size(); ++i) {
    if (mInstalled[i]) ::sigaction(kTerminatingSignals[i], &mPrevious[i], nullptr);
  }
}

std::string StagedFolder::create() {
  clearFailure();
  // The name may be taken, or another process's clean-up may take a fresh folder before its lock is
  // held; another name then.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (attempt > 0) mStaging = temporaryFolderFor(mFolder);
    if (::mkdir(mStaging.c_str(), 0777) != 0) {
      if (errno == EEXIST) continue;  // a run of the same process id in another container
      return failedWith(errno);
    }
    mLock = ::open(mStaging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (mLock < 0 && errno != ENOENT) {  // not taken by a clean-up: the folder just made cannot be held
      const int error = errno;
      ::rmdir(mStaging.c_str());
      return failedWith(error);
    }
    struct stat held {};
    struct stat named {};
    if (mLock >= 0 && ::flock(mLock, LOCK_EX | LOCK_NB) == 0 && ::fstat(mLock, &held) == 0 && held.st_nlink > 0 &&
        ::lstat(mStaging.c_str(), &named) == 0 && sameEntry(held, named)) {
      break;
    }
    if (mLock >= 0) ::close(mLock);
    mLock = -1;
  }
  if (mLock < 0) return failedWith(EEXIST);

  const std::string text = mStaging.string();
  if (text.size() < sizeof gStagingPath) {  // else left to the next run of the target
    std::memcpy(gStagingPath, text.c_str(), text.size() + 1);
    gStagingProcess = ::getpid();
    gStagingThread = ::pthread_self();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gStagingArmed = 1;
    mArmed = true;
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    for (const int number : kTerminatingSignals) ::sigaddset(&action.sa_mask, number);
    for (std::size_t i = 0; i < kTerminatingSignals.size(); ++i) {
      mInstalled[i] = ::sigaction(kTerminatingSignals[i], nullptr, &mPrevious[i]) == 0 &&
                      mPrevious[i].sa_handler != SIG_IGN && ::sigaction(kTerminatingSignals[i], &action, nullptr) == 0;
    }
  }
  stopForTest("created", mStaging);
  return {};
}

std::string StagedFolder::commit(const std::vector<fs::path>& files, bool replace) {
  // The folder must still be the one this run made and locked, holding every file it wrote.
  struct stat held {};
  struct stat named {};
  bool intact = mLock >= 0 && ::fstat(mLock, &held) == 0 && held.st_nlink > 0 &&
                ::lstat(mStaging.c_str(), &named) == 0 && sameEntry(held, named);
  for (const fs::path& file : files) {
    struct stat info {};
    intact = intact && ::fstatat(mLock, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
  }
  if (!intact) return failedWith(ENOENT);

  for (int attempt = 0; attempt < 64; ++attempt) {
    struct stat existing {};
    if (::lstat(mFolder.c_str(), &existing) != 0) {
      if (errno != ENOENT) return failedWith(errno);
      const SignalsHeld waiting;
      if (::renameat2(AT_FDCWD, mStaging.c_str(), AT_FDCWD, mFolder.c_str(), RENAME_NOREPLACE) == 0) {
        mCommitted = true;
        return {};
      }
      if (errno == EINVAL || errno == ENOSYS) {
        // The file system cannot refuse to replace: check, then rename.
        if (::lstat(mFolder.c_str(), &existing) == 0) continue;
        if (::rename(mStaging.c_str(), mFolder.c_str()) != 0) return failedWith(errno);
        mCommitted = true;
        return {};
      }
      if (errno != EEXIST) return failedWith(errno);
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
  const int old = ::open(mFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0 && errno != ELOOP && errno != ENOTDIR) return errno == ENOENT ? "again" : failedWith(errno);
  struct CloseOnExit {
    int fd;
    ~CloseOnExit() {
      if (fd >= 0) ::close(fd);
    }
  } closer{old};
  if (old >= 0) {
    struct stat held {};
    struct stat named {};
    if (::flock(old, LOCK_EX) != 0) return failedWith(errno);
    if (::fstat(old, &held) != 0 || held.st_nlink == 0 || ::lstat(mFolder.c_str(), &named) != 0 ||
        !sameEntry(held, named)) {
      return "again";  // another run replaced it meanwhile
    }
    if (std::string why = carryOtherEntries(old, mFolder, mLock, mStaging, files); !why.empty()) return why;
    ::fchmod(mLock, held.st_mode & 07777);
    syncFolder(mLock, files);
    stopForTest("carried", mStaging);
  }
  {
    const SignalsHeld waiting;
    if (::renameat2(AT_FDCWD, mStaging.c_str(), AT_FDCWD, mFolder.c_str(), RENAME_EXCHANGE) == 0) {
      mCommitted = true;
      stopForTest("exchanged", mStaging);
    } else if (errno != EINVAL && errno != ENOSYS) {
      return failedWith(errno);
    }
  }
  if (mCommitted) {
    // The old folder or link now has the staging name, still locked: it goes.
    std::error_code error;
    fs::remove_all(mStaging, error);
    if (error) OBRIN_LOG_ERROR("Cannot remove the replaced folder {}: {}", mStaging.string(), error.message());
    return {};
  }
  // The file system cannot exchange two names: the files are moved over the old ones one by one,
  // with the signals held, or the link is replaced by the folder.
  OBRIN_LOG_WARN("The file system of {} cannot exchange two folders; the files are replaced one by one",
                 mFolder.string());
  const SignalsHeld waiting;
  if (old < 0) {
    if (::unlink(mFolder.c_str()) != 0 && errno != ENOENT) return failedWith(errno);
    if (::rename(mStaging.c_str(), mFolder.c_str()) != 0) return failedWith(errno);
    mCommitted = true;
    return {};
  }
  for (const fs::path& file : files) {
    if (::renameat(mLock, file.c_str(), old, file.c_str()) != 0) return failedWith(errno);
  }
  return {};  // the staging folder, with the carried entries, goes with this object
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
  if (why.empty()) {
    stopForTest("written", staged.path());
    why = staged.commit(names, true);
  }
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
    if (isActiveStaging(folder) || last.empty() || last == "." || last == "..") {
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
    if (isActiveStaging(path.parent_path())) made.clear();
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
