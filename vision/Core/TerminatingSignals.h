#pragma once
// SIGINT, SIGTERM, SIGHUP and SIGQUIT end a run the same way wherever the process runs, also as
// the first process of a PID namespace (a container's), where the kernel ignores every signal
// whose action is the default: the folder being assembled is removed, then the process exits
// with 128 plus the signal's number.
#include <signal.h>

#include <string>

namespace Lumetra {

/// Installs the handlers of the terminating signals for the rest of the process; a signal the
/// process was started to ignore stays ignored. A program calls it first thing, so that a signal
/// at any step of a run (a model import included) ends it. Never throws.
void endOnTerminatingSignals();

namespace detail {

/// Whether `endOnTerminatingSignals` installed the handlers for the whole process.
bool endsOnTerminatingSignals();

/// Installs the handlers of the terminating signals that the process does not ignore, keeping
/// the actions they replace in `previous` (one per signal, in the order SIGINT, SIGTERM, SIGHUP,
/// SIGQUIT) and which were replaced in `installed`.
void installTerminatingHandlers(struct sigaction (&previous)[4], bool (&installed)[4]);
/// Puts back the actions that `installTerminatingHandlers` replaced.
void restoreTerminatingHandlers(const struct sigaction (&previous)[4], const bool (&installed)[4]);

/// Names the folder that a terminating signal removes before the process ends: the entry `name` of
/// the open folder `parent`, which the calling thread assembles. Only this thread removes it;
/// another thread that takes the signal hands it on. `path` is the folder's path, for
/// `isActiveStaging`. False when the name does not fit (the folder is then left to the next run).
bool armStaging(int parent, const std::string& name, const std::string& path);
/// Gives the armed folder another name in the same parent (call with the signals held).
void renameStaging(const std::string& name);
/// No folder is removed on a signal any more.
void disarmStaging();
/// Whether `folder` is the path of the folder this process assembles.
bool isActiveStaging(const std::string& folder);

/// Removes the entry `name` of the open folder `parent` with all it holds, through folder handles
/// (a parent renamed meanwhile changes nothing), never following a link. Folders nested deeper
/// than 64 levels are left. Only async-signal-safe calls.
void removeTree(int parent, const char* name);

/// While alive, the terminating signals wait: the steps that put a folder in place are not cut
/// in two by them. A signal that arrived meanwhile is handled when this goes.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t mPrevious;
};

}  // namespace detail
}  // namespace Lumetra
