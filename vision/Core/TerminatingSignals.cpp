#include "Core/TerminatingSignals.h"

#include "Core/FileWriting.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace Lumetra::detail {

namespace {

constexpr int kTerminatingSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kDeepestFolder = 64;

// The folder being assembled, for the handler: written with the handler unable to read it (before
// it is armed, or with the signals held), read only by the handler.
char gStagingPath[PATH_MAX];
char gStagingName[NAME_MAX + 1];
int gStagingParent = -1;
volatile std::sig_atomic_t gStagingArmed = 0;
pid_t gStagingProcess = 0;
pthread_t gStagingThread;
std::atomic<bool> gWholeProcess{false};

/// Whether the entry is gone.
bool removeTreeBelow(int parent, const char* name, int depth) {
  if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return true;
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat folder {};
  // A folder closed to writing (a target folder or a sub-folder kept so) is opened up first, as it
  // goes anyway; else its entries would stay.
  if (fd >= 0 && ::fstat(fd, &folder) == 0 && (folder.st_mode & S_IRWXU) != S_IRWXU) {
    ::fchmod(fd, (folder.st_mode & 07777) | S_IRWXU);
  }
  if (fd >= 0 && depth < kDeepestFolder) {
    // Each pass starts over, since removing entries while reading the folder may skip some.
    alignas(dirent64) char buffer[2048];
    bool removed = true;
    for (int pass = 0; removed && pass < 16; ++pass) {
      removed = false;
      ::lseek(fd, 0, SEEK_SET);
      for (ssize_t got; (got = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
          const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
          at += entry->d_reclen;
          if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
          removed = removeTreeBelow(fd, entry->d_name, depth + 1) || removed;
        }
      }
    }
  }
  if (fd >= 0) ::close(fd);
  return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

/// A terminating signal: the thread assembling a folder removes it, then the process exits with
/// 128 plus the signal's number, whatever process it is. Another thread hands the signal to the
/// assembling one, which is then stopped and cannot add a file behind the removal. A child of the
/// process (it inherits the handler) just exits.
extern "C" void onTerminatingSignal(int number) {
  const bool owner = gStagingArmed != 0 && ::getpid() == gStagingProcess;
  if (owner && ::pthread_equal(::pthread_self(), gStagingThread) == 0) {
    ::pthread_kill(gStagingThread, number);
    return;
  }
  if (owner) {
    // A file still open in the folder is only renamed on unlinking by several FUSE file systems,
    // and the folder then cannot go: the files go first, and the removal is tried again while the
    // file system lets go of them.
    ::close_range(3, static_cast<unsigned>(gStagingParent) - 1, 0);
    ::close_range(static_cast<unsigned>(gStagingParent) + 1, ~0U, 0);
    struct stat left {};
    for (int attempt = 0; attempt < 20 && ::fstatat(gStagingParent, gStagingName, &left, AT_SYMLINK_NOFOLLOW) == 0;
         ++attempt) {
      if (attempt > 0) {
        const struct timespec pause {0, 10'000'000};
        ::nanosleep(&pause, nullptr);
      }
      removeTree(gStagingParent, gStagingName);
    }
  }
  ::_exit(128 + number);
}

}  // namespace

bool endsOnTerminatingSignals() { return gWholeProcess.load(); }

void installTerminatingHandlers(struct sigaction (&previous)[4], bool (&installed)[4]) {
  struct sigaction action {};
  action.sa_handler = onTerminatingSignal;
  action.sa_flags = SA_RESTART;
  ::sigemptyset(&action.sa_mask);
  for (const int number : kTerminatingSignals) ::sigaddset(&action.sa_mask, number);
  for (std::size_t i = 0; i < std::size(kTerminatingSignals); ++i) {
    installed[i] = ::sigaction(kTerminatingSignals[i], nullptr, &previous[i]) == 0 &&
                   previous[i].sa_handler != SIG_IGN && ::sigaction(kTerminatingSignals[i], &action, nullptr) == 0;
  }
}

void restoreTerminatingHandlers(const struct sigaction (&previous)[4], const bool (&installed)[4]) {
  for (std::size_t i = 0; i < std::size(kTerminatingSignals); ++i) {
    if (installed[i]) ::sigaction(kTerminatingSignals[i], &previous[i], nullptr);
  }
}

bool armStaging(int parent, const std::string& name, const std::string& path) {
  if (path.size() >= sizeof gStagingPath || name.size() >= sizeof gStagingName) return false;
  std::memcpy(gStagingPath, path.c_str(), path.size() + 1);
  std::memcpy(gStagingName, name.c_str(), name.size() + 1);
  gStagingParent = parent;
  gStagingProcess = ::getpid();
  gStagingThread = ::pthread_self();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gStagingArmed = 1;
  return true;
}

void renameStaging(const std::string& name) {
  if (name.size() < sizeof gStagingName) std::memcpy(gStagingName, name.c_str(), name.size() + 1);
}

void disarmStaging() {
  gStagingArmed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

bool isActiveStaging(const std::string& folder) {
  return gStagingArmed != 0 && gStagingProcess == ::getpid() && folder == gStagingPath;
}

void removeTree(int parent, const char* name) { removeTreeBelow(parent, name, 0); }

SignalsHeld::SignalsHeld() {
  sigset_t held;
  ::sigemptyset(&held);
  for (const int number : kTerminatingSignals) ::sigaddset(&held, number);
  ::pthread_sigmask(SIG_BLOCK, &held, &mPrevious);
}

SignalsHeld::~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &mPrevious, nullptr); }

}  // namespace Lumetra::detail

namespace Lumetra {

void endOnTerminatingSignals() {
  if (detail::gWholeProcess.exchange(true)) return;
  struct sigaction previous[4];
  bool installed[4];
  detail::installTerminatingHandlers(previous, installed);
  detail::stopForTest("started", -1, "");
}

}  // namespace Lumetra
