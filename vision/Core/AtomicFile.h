#pragma once
// Writing files so that a failed run never leaves a truncated file where a complete one stood:
// each file is first written under a temporary name in its own folder, checked, and only then
// renamed over its final name. A whole folder is written the same way (StagedFolder).
#include <signal.h>

#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace Lumetra {

/// Writes one file's content to the given (temporary) path; returns true when the whole content
/// reached the file.
using FileProducer = std::function<bool(const std::filesystem::path& temporaryPath)>;

struct PendingFile {
  std::filesystem::path path;  ///< final name
  FileProducer produce;
};

/// A temporary name beside `path` that keeps its extension, so that writers choosing a format by
/// extension still see it: "<stem>.tmp-<pid>-<n><extension>".
std::filesystem::path temporaryPathFor(const std::filesystem::path& path);

/// A temporary name beside the folder `path` for assembling it: ".<name>.tmp-<pid>-<n>". The
/// leading dot keeps a half-built folder from looking like a finished one to anything that lists
/// folders by the start of their names.
std::filesystem::path temporaryFolderFor(const std::filesystem::path& path);

/// Removes, beside the folder `path`, the temporary folders named for it by `temporaryFolderFor`
/// (or by `temporaryPathFor`) whose process no longer runs: what a killed run left. Those of
/// running processes stay. Never throws.
void removeAbandonedTemporaryFolders(const std::filesystem::path& path);

/// Writes the bytes to the file opened at `path` (created or truncated) and reports whether they
/// all reached it: the stream is flushed and closed and every step is checked. Never throws.
bool writeBytes(const std::filesystem::path& path, const std::string& bytes);

/// Writes every file under a temporary name first; only when all of them were written completely
/// are they renamed over their final names, in order. On a failure the temporary files are
/// removed and the files already present under the final names stay as they were.
/// Returns true when every file is in place. Never throws.
bool writeFilesAtomically(const std::vector<PendingFile>& files);

/// The same for one file whose content is given.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes);

/// Writes the files of one target into its folder, every target kind alike, as
/// `writeFilesAtomically` does, each `path` being a name inside the folder. A folder that is
/// missing is assembled whole as a `StagedFolder` (its missing parents made first) and appears
/// under its name only with every file complete, so that a failed or killed run leaves no trace.
/// An empty folder path means the current folder. Returns true when every file is in place.
/// Never throws.
bool writeTargetFiles(const std::filesystem::path& folder, const std::vector<PendingFile>& files);

/// A folder written all or nothing, the counterpart of `writeTargetFiles` for a whole folder: it is
/// assembled under a hidden temporary name beside its final path (`temporaryFolderFor`) and renamed
/// into place only when every file is complete. Until `commit` succeeds it is removed when this
/// object goes (a failed run, an exception) and when SIGINT or SIGTERM ends the process: the thread
/// that made this object removes it, then the signal ends the process as it would have without the
/// handler. A signal the process was started to ignore stays ignored. The folder is to hold files
/// only; one staged folder at a time per process.
class StagedFolder {
 public:
  /// Names the temporary folder for the final path `folder` and arms its removal on SIGINT and
  /// SIGTERM; the folder itself is made by `create`.
  explicit StagedFolder(std::filesystem::path folder);
  ~StagedFolder();
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  /// Makes the temporary folder. Empty on success, else why it failed.
  std::string create();
  /// The temporary folder, where the files go.
  const std::filesystem::path& path() const { return mStaging; }
  /// Renames the temporary folder to the final path unless an entry of that name has appeared
  /// meanwhile; it is then kept. Empty on success, else why it failed.
  std::string commit();

 private:
  std::filesystem::path mFolder;
  std::filesystem::path mStaging;
  bool mCommitted = false;
  std::array<struct sigaction, 2> mPrevious{};
  std::array<bool, 2> mInstalled{};
};

}  // namespace Lumetra
