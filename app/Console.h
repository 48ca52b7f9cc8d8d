#pragma once
// The only place that writes to the console: one line per outcome on standard output, and
// on standard error one line per reason a run failed or lost part of its work, each line
// followed by a flush.
#include <filesystem>
#include <string>

/// The path in double quotes, with a backslash before every double quote or backslash in it and
/// its control characters escaped as `escapeControls` does, so that a line naming it stays one line.
std::string quotePath(const std::string& path);
inline std::string quotePath(const std::filesystem::path& path) { return quotePath(path.string()); }

/// The text with every control character written as an escape: \n, \r, \t, or \x and two hex
/// digits for the others (a NUL is \x00).
std::string escapeControls(const std::string& text);

/// Writes the text and a line break to standard output and flushes.
void printLine(const std::string& text);

/// Writes the text, its control characters escaped, and a line break to standard error and
/// flushes: why a run failed or lost part of its work, in words the user can act on. A
/// successful run writes nothing there.
void printReason(const std::string& text);

/// Writes a line on standard output that ends the run as failed and says why. Unless the run
/// writes a reason of its own on standard error, `explainFailure` repeats the first such line there
/// (up to its first line break).
void printFailure(const std::string& text);

/// As a failed run ends: when nothing was written on standard error since the first line given to
/// `printFailure`, writes that line there, so that every failed run says why.
void explainFailure();

/// The reason for a write that failed: "Could not write <what> into <folder>: <why>.", why being
/// the cause the system gave for the last failed write (a file of that name exists, the name is
/// too long...) unless given, else "make room on its disk or allow writing there".
std::string cannotWrite(const std::string& what, const std::filesystem::path& folder, std::string why = {});

/// True when the path names an existing regular file; false also on any file-system error.
bool isRegularFile(const std::filesystem::path& path);
/// True when the path names an existing directory; false also on any file-system error.
bool isDirectory(const std::filesystem::path& path);
