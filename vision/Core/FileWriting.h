#pragma once
// What the file writers share: why the current write of this thread failed (the first failure is
// kept, and read back by lastWriteFailure), running the producer of one file, and the number pair
// that ends every temporary name.
#include "Core/AtomicFile.h"

#include <filesystem>
#include <string>

namespace Lumetra::detail {

/// Forgets the reason of an earlier write: called where a write starts.
void clearFailure();
/// Keeps the reason unless the current write already has one.
void noteFailure(const std::string& reason);
/// Keeps the reason for the error number unless the current write already has one.
void noteError(int error);
/// Keeps the reason for the error number as `noteError` does, and returns it.
std::string failedWith(int error);
/// Runs the producer of one file, catching what it throws.
bool produce(const PendingFile& file, const std::filesystem::path& path);
/// Whether `rest` is "<digits>-<digits>".
bool isNumberPair(const std::string& rest);

/// The name under which the old folder `path` stands aside while a file system that cannot
/// exchange two names puts the new one in place: ".<name>.old-<pid>-<n>", as long as a staging
/// folder's name.
std::string asideFolderNameFor(const std::filesystem::path& path);
/// Renames `from` to `to` (entries of the open folders given) unless `to` exists; 0 or the error
/// number. Where the file system cannot refuse to replace, it looks first, then renames.
int renameNoReplace(int fromParent, const char* from, int toParent, const char* to);

/// A deterministic stop for the tests of interrupted runs, unused otherwise:
/// FORMWRIGHT_TEST_STOP="<step>:<action>[,<step>:<action>...]" acts when a run reaches a named step
/// ("started", "made", "created", "listed", "flushed", "written", "carried", "exchange", "aside",
/// "exchanged"). The action is a signal raised there by another thread (INT, TERM, HUP, QUIT or KILL); "remove",
/// which deletes the entry `name` of the open folder `parent` (the staging folder) as another
/// program might; "move", which renames the folder `parent` to its name and "-moved"; or an error
/// name (EIO, EINVAL), which is returned: the step then fails with that error. Returns 0 otherwise.
int stopForTest(const char* step, int parent, const std::string& name);

}  // namespace Lumetra::detail
