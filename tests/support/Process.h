#pragma once
// Runs the built executable in a child process and captures what it prints; the scratch folder,
// file helpers and file-size limit that every test binary shares.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace TestSupport {

struct RunResult {
  std::string out;         // standard output
  std::string err;         // standard error
  int exitStatus = -1;     // 0..255 when the process exited normally
  int signal = 0;          // the signal that ended it, 0 when it exited
};

/// Runs the program with the arguments (argv[0] is set to the program path) in the working
/// directory (empty: the current one).
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::filesystem::path& workingDirectory = {});

/// Runs the Formwright executable of this build.
RunResult runFormwright(const std::vector<std::string>& args, const std::filesystem::path& workingDirectory = {});

/// The path as the program prints it: in double quotes, with '"' and '\\' escaped by a backslash.
std::string quoted(const std::string& path);

/// A fresh directory, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// While alive, files of this process cannot grow beyond `bytes`: a longer write is cut short
/// (SIGXFSZ is ignored, so the write fails with EFBIG instead of ending the process).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved_;
    limited.rlim_cur = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limited);  // without it the run writes its files and the test fails
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  struct rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
};

void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

/// Names of the entries of a folder, sorted.
std::vector<std::string> folderEntries(const std::filesystem::path& folder);

/// Every regular file below the folder with its content, keyed by relative path.
std::vector<std::pair<std::string, std::string>> snapshotTree(const std::filesystem::path& root);

}  // namespace TestSupport
