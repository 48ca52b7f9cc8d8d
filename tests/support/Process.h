#pragma once
// Runs the built executable in a child process and captures what it prints.
#include <filesystem>
#include <string>
#include <vector>

namespace TestSupport {

struct RunResult {
  std::string out;         // standard output
  std::string err;         // standard error
  int exitStatus = -1;     // 0..255 when the process exited normally
  int signal = 0;          // the signal that ended it, 0 when it exited
  bool coreDumped = false;
};

struct RunOptions {
  std::filesystem::path workingDirectory;  // empty: the current one
  long fileSizeLimit = -1;                 // RLIMIT_FSIZE in bytes, -1 for none (SIGXFSZ is ignored)
};

/// Runs the program with the arguments (argv[0] is set to the program path).
RunResult run(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

/// Runs the Formwright executable of this build.
RunResult runFormwright(const std::vector<std::string>& args, const RunOptions& options = {});

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

void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

/// Names of the entries of a folder, sorted.
std::vector<std::string> folderEntries(const std::filesystem::path& folder);

/// Every regular file below the folder with its content, keyed by relative path.
std::vector<std::pair<std::string, std::string>> snapshotTree(const std::filesystem::path& root);

}  // namespace TestSupport
