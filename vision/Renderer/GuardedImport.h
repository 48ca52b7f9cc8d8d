#pragma once
// Reading a model file through the import library without letting the file take the process down.
//
// The import library trusts some fields of damaged files: it can crash, run for ever or ask for
// more memory than the machine has. A file is therefore imported once in a child process first,
// under an address-space and a time limit; only when the child imported it cleanly is it imported
// again in this process. The child only calls the import library and ends with _exit, so the
// parent's window-system, OpenGL and thread state is never touched by it.
#include <cstdint>
#include <string>

struct aiScene;
namespace Assimp {
class Importer;
}

namespace Lumetra {

struct ImportGuardLimits {
  bool enabled = true;                                ///< false: import in this process only
  std::uint64_t memoryBytes = std::uint64_t{4} << 30;  ///< address space the child may add
  std::uint64_t memoryBytesPerFileByte = 256;         ///< added to memoryBytes per byte of the file
  unsigned seconds = 120;                             ///< wall-clock time the child may take
};

/// The limits of every later guarded import (not thread-safe: set them before any work starts).
void setImportGuardLimits(const ImportGuardLimits& limits);
const ImportGuardLimits& importGuardLimits();

/// Refuses a file that modelFileIsSound refuses; reads the file without post-processing, checks what the post-processing steps take for granted
/// (arrays present, every face with at least one index, indices and material indices in range),
/// sets each mesh's primitive types from its faces and then applies the post-processing steps.
/// The scene (owned by the importer), or nullptr with `error` set.
const aiScene* importScene(Assimp::Importer& importer, const std::string& path, unsigned postProcessing,
                           std::string& error);

/// Whether importScene succeeds on the file in a child process within the limits; `error` tells why
/// not (the importer's message, the signal that ended the child, the limit it ran into). True
/// without a child when the guard is disabled.
bool importsInChild(const std::string& path, unsigned postProcessing, std::string& error);

}  // namespace Lumetra
