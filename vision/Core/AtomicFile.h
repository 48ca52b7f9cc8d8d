#pragma once
// Writing files so that a failed run never leaves a truncated file where a complete one stood:
// each file is first written under a temporary name in its own folder, checked, and only then
// renamed over its final name. A whole folder is written the same way (StagedFolder).
#include <signal.h>

#include <array>
#include <cstddef>
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

/// The most characters `temporaryFolderFor` adds to a folder's name: the dot, ".tmp-", a process
/// id of up to 10 digits, "-" and a counter of up to 20.
constexpr std::size_t kTemporaryFolderNameExtra = 1 + 5 + 10 + 1 + 20;
/// The most characters `temporaryPathFor` adds to a file's name: ".tmp-", the process id, "-" and
/// the counter.
constexpr std::size_t kTemporaryFileNameExtra = 5 + 10 + 1 + 20;

/// Removes, beside the folder `path`, the hidden staging folders named for it by
/// `temporaryFolderFor` that no run holds any more: what a killed run left. An old target folder
/// that a killed run had set aside (".<name>.old-<pid>-<n>") is put back where no folder `path`
/// stands, else removed. A run holds its staging folder (and an old folder it sets aside) by a lock
/// on it for as long as it lives, so those of live runs, in any process or container, stay. The
/// folder holding `path` is read once per process; later calls take their names from that reading.
/// Returns how many of these folders of the target live runs hold. Never throws.
int removeAbandonedTemporaryFolders(const std::filesystem::path& path);

/// Why the last write of this thread failed, in a user's words (for example "a file of that name
/// exists"); empty when no reason is known.
std::string lastWriteFailure();

/// Writes the bytes to a new file at `path`, created exclusively (a name that exists, a link
/// included, is never followed or reused), and reports whether they all reached it; a file left
/// incomplete is removed. Never throws.
bool writeBytes(const std::filesystem::path& path, const std::string& bytes);

/// Writes every file under a temporary name first; only when all of them were written completely
/// are they renamed over their final names, in order. On a failure the temporary files are
/// removed and the files already present under the final names stay as they were.
/// Returns true when every file is in place. Never throws.
bool writeFilesAtomically(const std::vector<PendingFile>& files);

/// The same for one file whose content is given.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes);

/// The same for one file of a library's own (not a target's folder): missing parent folders are
/// made first and removed again when the write fails. Never throws.
bool writeFileInNewFolders(const std::filesystem::path& path, const std::string& bytes);

/// Writes the files of one target into its folder, every target kind alike. The target is
/// assembled complete in a `StagedFolder` beside it (missing parents made first) and then takes the
/// folder's place in one step: whoever reads the folder sees the old complete target or the new
/// one. Entries of an old folder other than these files are carried over; a folder that is a
/// symbolic link is replaced, and what it points to is never written. Two runs of one target wait
/// for each other. When `folder` is the staging folder this process is assembling, the files are
/// written into it in place instead. An empty folder path means the current folder. Returns true
/// when every file is in place. Never throws.
bool writeTargetFiles(const std::filesystem::path& folder, const std::vector<PendingFile>& files);

/// A folder written all or nothing: it is assembled under a hidden name beside its final path
/// (`temporaryFolderFor`), held by a lock on it for its whole life, and put in place by `commit`
/// when every file is complete. Until then it is removed, through the folder that holds it (which
/// may be renamed meanwhile), when this object goes (a failed run, an exception) and when SIGINT,
/// SIGTERM, SIGHUP or SIGQUIT ends the process: the thread that made this object removes it, then
/// the process exits with 128 plus the signal's number (see TerminatingSignals.h). A signal the
/// process was started to ignore stays ignored. One staged folder at a time per process.
class StagedFolder {
 public:
  /// Names the staging folder for the final path `folder`; the folder itself is made by `create`.
  explicit StagedFolder(std::filesystem::path folder);
  ~StagedFolder();
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  /// Makes the staging folder, locks it and arms its removal on the terminating signals. Empty on
  /// success, else why it failed.
  std::string create();
  /// The staging folder, where the files go.
  const std::filesystem::path& path() const { return mStaging; }
  /// Puts the staging folder in place once it still holds every one of `files` (names inside it)
  /// and the folder holding it still has its path. A missing final path is taken at once; an
  /// existing folder or link is replaced when `replace` is set (else the commit fails): the old
  /// folder's other entries are carried over first and every file made durable, then the two are
  /// exchanged in one step. Where the file system cannot exchange two names, the old folder is set
  /// aside under a hidden name it stays locked by, the new one takes its place, and the old one
  /// goes; a run ended between the two steps leaves the old folder aside, which the next run of the
  /// target puts back. Empty on success, else why it failed.
  std::string commit(const std::vector<std::filesystem::path>& files, bool replace);

 private:
  std::string replaceExisting(const std::vector<std::filesystem::path>& files);
  std::string takePlaceOf();
  std::filesystem::path mFolder;
  std::string mFolderName;      ///< the final name in the folder holding both
  std::filesystem::path mStaging;
  std::string mName;            ///< the entry to remove: the staging folder, after a commit the old one
  int mParent = -1;             ///< the open folder holding the target
  int mLock = -1;               ///< the open staging folder, locked while this object lives
  bool mArmed = false;
  bool mCommitted = false;
  struct sigaction mPrevious[4]{};
  bool mInstalled[4]{};
};

}  // namespace Lumetra
