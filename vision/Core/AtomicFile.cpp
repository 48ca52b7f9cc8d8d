#include "Core/AtomicFile.h"

#include "Core/Log.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <system_error>

namespace Lumetra {

namespace fs = std::filesystem;

namespace {

void removeQuietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

/// ".tmp-<pid>-<n>", n counting the temporary names this process made.
std::string temporarySuffix() {
  static std::atomic<unsigned long> counter{0};
  const unsigned long n = counter.fetch_add(1, std::memory_order_relaxed);
  return ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(n);
}

/// The process id of a temporary name "<base>.tmp-<pid>-<n>" (with or without a leading dot),
/// or 0 when the name is not one of `base`.
long temporaryNameOwner(std::string name, const std::string& base) {
  if (!name.empty() && name.front() == '.') name.erase(0, 1);
  const std::string prefix = base + ".tmp-";
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  const std::string rest = name.substr(prefix.size());
  const std::size_t dash = rest.find('-');
  const auto digits = [](const std::string& text) {
    return !text.empty() && text.size() < 12 && text.find_first_not_of("0123456789") == std::string::npos;
  };
  if (dash == std::string::npos || !digits(rest.substr(0, dash)) || !digits(rest.substr(dash + 1))) return 0;
  return std::strtol(rest.c_str(), nullptr, 10);
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

void removeAbandonedTemporaryFolders(const fs::path& path) {
  try {
    const std::string base = path.filename().string();
    const fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::error_code error;
    std::vector<fs::path> abandoned;
    for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
      const long owner = temporaryNameOwner(it->path().filename().string(), base);
      if (owner > 0 && owner != ::getpid() && ::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
        abandoned.push_back(it->path());
      }
    }
    for (const fs::path& folder : abandoned) {
      fs::remove_all(folder, error);
      if (error) OBRIN_LOG_ERROR("Cannot remove the abandoned folder {}: {}", folder.string(), error.message());
    }
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Cannot look for abandoned folders beside {}: {}", path.string(), e.what());
  }
}

bool writeBytes(const fs::path& path, const std::string& bytes) {
  try {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
      OBRIN_LOG_ERROR("Cannot create a file {}", path.string());
      return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    const bool written = out.good();
    out.close();
    if (!written || out.fail()) {
      OBRIN_LOG_ERROR("Failed to write {} bytes to {}", bytes.size(), path.string());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to write {}: {}", path.string(), e.what());
    return false;
  }
}

bool writeFilesAtomically(const std::vector<PendingFile>& files) {
  std::vector<fs::path> staged;
  auto discardStaged = [&staged]() {
    for (const fs::path& p : staged) removeQuietly(p);
  };

  try {
    staged.reserve(files.size());
    for (const PendingFile& file : files) {
      const fs::path temporary = temporaryPathFor(file.path);
      staged.push_back(temporary);
      bool produced = false;
      try {
        produced = file.produce && file.produce(temporary);
      } catch (const std::exception& e) {
        OBRIN_LOG_ERROR("Failed to write {}: {}", temporary.string(), e.what());
        produced = false;
      }
      if (!produced) {
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
    std::error_code error;
    fs::rename(staged[i], files[i].path, error);
    if (error) {
      OBRIN_LOG_ERROR("Failed to move {} to {}: {}", staged[i].string(), files[i].path.string(), error.message());
      for (std::size_t j = i; j < staged.size(); ++j) removeQuietly(staged[j]);
      return false;
    }
  }
  return true;
}

bool writeFileAtomically(const fs::path& path, const std::string& bytes) {
  try {
    std::vector<PendingFile> files;
    files.push_back({path, [&bytes](const fs::path& temporary) { return writeBytes(temporary, bytes); }});
    return writeFilesAtomically(files);
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

/// A target folder that does not exist yet is assembled whole under a hidden name and renamed into
/// place when every file is complete, so that no run, failed or killed, leaves a half-written
/// target under the target's name. What killed runs of the target left beside it goes first.
bool writeNewTargetFolder(const fs::path& folder, const std::vector<PendingFile>& files) {
  std::error_code error;
  if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), error);
  removeAbandonedTemporaryFolders(folder);
  StagedFolder staged(folder);
  std::string why = error ? error.message() : staged.create();
  if (why.empty()) {
    std::vector<PendingFile> inFolder;
    inFolder.reserve(files.size());
    for (const PendingFile& file : files) inFolder.push_back({staged.path() / file.path, file.produce});
    why = writeFilesAtomically(inFolder) ? staged.commit() : "a file could not be written";
  }
  if (why.empty()) return true;
  OBRIN_LOG_ERROR("Failed to write the target folder {}: {}", folder.string(), why);
  return false;
}

}  // namespace

bool writeTargetFiles(const fs::path& givenFolder, const std::vector<PendingFile>& files) {
  try {
    const fs::path folder = givenFolder.empty() ? fs::path(".") : givenFolder;
    std::error_code error;
    // A missing path also sets the error; only other errors mean the folder cannot be inspected.
    const fs::file_status status = fs::symlink_status(folder, error);
    if (status.type() == fs::file_type::not_found) return writeNewTargetFolder(folder, files);
    if (error) {
      OBRIN_LOG_ERROR("Cannot inspect the target folder {}: {}", folder.string(), error.message());
      return false;
    }
    if (!fs::is_directory(folder, error) || error) {
      OBRIN_LOG_ERROR("The target folder {} is not a folder", folder.string());
      return false;
    }
    std::vector<PendingFile> inFolder;
    inFolder.reserve(files.size());
    for (const PendingFile& file : files) inFolder.push_back({folder / file.path, file.produce});
    if (writeFilesAtomically(inFolder)) return true;
    OBRIN_LOG_ERROR("Failed to write the target files into {}", folder.string());
    return false;
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to write the target files into {}: {}", givenFolder.string(), e.what());
    return false;
  }
}

namespace {

constexpr std::array<int, 2> kTerminatingSignals{SIGINT, SIGTERM};

// The folder being assembled, for the handler of SIGINT and SIGTERM: written before the handler is
// installed and cleared before it is removed, read only by the handler.
char gStagingPath[PATH_MAX];
volatile std::sig_atomic_t gStagingArmed = 0;
pid_t gStagingProcess = 0;
pthread_t gStagingThread;

/// Removes the files of the folder, then the folder. Only async-signal-safe calls: it runs in the
/// signal handler. The folder holds files only; each pass starts over, since removing entries
/// while reading the folder may skip some.
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

/// SIGINT and SIGTERM while a folder is assembled: the staging thread removes it, then the signal
/// ends the process as it would have without the handler. Another thread hands the signal to the
/// staging thread, which is then stopped and cannot add a file behind the removal. A child of the
/// process (it inherits the handler) just ends.
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

}  // namespace

StagedFolder::StagedFolder(fs::path folder) : mFolder(std::move(folder)), mStaging(temporaryFolderFor(mFolder)) {
  const std::string text = mStaging.string();
  if (text.size() >= sizeof gStagingPath) return;  // left to the next run of the target
  std::memcpy(gStagingPath, text.c_str(), text.size() + 1);
  gStagingProcess = ::getpid();
  gStagingThread = ::pthread_self();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gStagingArmed = 1;
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

StagedFolder::~StagedFolder() {
  std::error_code ignored;
  if (!mCommitted) fs::remove_all(mStaging, ignored);
  gStagingArmed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  for (std::size_t i = 0; i < kTerminatingSignals.size(); ++i) {
    if (mInstalled[i]) ::sigaction(kTerminatingSignals[i], &mPrevious[i], nullptr);
  }
}

std::string StagedFolder::create() {
  std::error_code error;
  if (fs::create_directory(mStaging, error) && !error) return {};
  return error ? error.message() : std::strerror(EEXIST);
}

std::string StagedFolder::commit() {
  if (::renameat2(AT_FDCWD, mStaging.c_str(), AT_FDCWD, mFolder.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return std::strerror(errno);
    // The file system cannot refuse to replace: check, then rename.
    std::error_code error;
    if (fs::exists(fs::symlink_status(mFolder, error))) return std::strerror(EEXIST);
    fs::rename(mStaging, mFolder, error);
    if (error) return error.message();
  }
  mCommitted = true;
  return {};
}

}  // namespace Lumetra
