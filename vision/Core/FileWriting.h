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

}  // namespace Lumetra::detail
