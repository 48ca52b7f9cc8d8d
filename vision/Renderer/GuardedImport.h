#pragma once
// Reading a model file through the import library without letting the file take the process down.
//
// The import library trusts some fields of damaged files: it can crash, run for ever or ask for
// more memory than the machine has. A file is therefore imported only in a child process, once,
// under an address-space and a time limit; the child sends what it made through a pipe
// (ImportedModel.h). The child only calls the import library and ends with _exit, so the
// parent's window-system, OpenGL and thread state is never touched by it. The child ends when the
// thread that started it ends (the parent killed, say), and holds a CPU-time limit of its own.
#include <cstdint>
#include <functional>
#include <string>

struct aiScene;
namespace Assimp {
class Importer;
}

namespace Lumetra {

struct ImportGuardLimits {
  bool enabled = true;                                ///< false: the work runs in this process
  std::uint64_t memoryBytes = std::uint64_t{4} << 30;  ///< address space the child may add
  std::uint64_t memoryBytesPerFileByte = 256;         ///< added to memoryBytes per byte of the file
  unsigned seconds = 5;                               ///< wall-clock time the child may take, at least
  double secondsPerMegabyte = 0.5;                    ///< added per MiB of the file, rounded up
};
// The time allowed follows the file's size, so that no small file holds a run for minutes. The rate
// was measured on the import of the densest files (binary STL, 20 MiB with 400,000 triangles: about
// 30 ms per MiB on a loaded 8-core machine; OBJ and PLY of 47 MiB about 20 ms per MiB; the
// importer's largest sample models, up to 2 MiB, about 16 ms per MiB): 0.5 s leaves a margin of
// more than 15 for slower machines and sanitizer builds.

/// The limits of every later guarded import (not thread-safe: set them before any work starts).
void setImportGuardLimits(const ImportGuardLimits& limits);
const ImportGuardLimits& importGuardLimits();

/// Refuses a file that modelFileIsSound refuses; reads the file without post-processing, checks what
/// the post-processing steps take for granted (arrays present, every face with at least one index,
/// indices and material indices in range), drops the meshes without faces (points the file gives
/// without faces, say: the steps refuse a mesh without primitive types), sets each mesh's primitive
/// types from its faces and then applies the post-processing steps.
/// `asRead`, when given, is called with the scene as read, before the checks and steps.
/// The scene (owned by the importer), or nullptr with `error` set; `droppedMeshes`, when given,
/// gets the number of meshes dropped.
const aiScene* importScene(Assimp::Importer& importer, const std::string& path, unsigned postProcessing,
                           std::string& error, unsigned* droppedMeshes = nullptr,
                           const std::function<void(aiScene&)>& asRead = nullptr);

/// The work of a guarded child on a file: true with its result in `output`, else false with
/// `error` set.
using GuardedWork = std::function<bool(std::string& error, std::string& output)>;

/// Whether `work` (calls of the import library on the file at `path`) succeeds in a child process
/// within the limits for the file, with the work's output received in `output`; `error` tells why
/// not, in words that follow "could not be loaded: " (the importer's message, the limit it ran
/// into, the signal that ended the child). The work runs in this process when the guard is
/// disabled. `passes` is the number of passes over the file the work makes (an import, an
/// export), each allowed the time of one import.
bool succeedsInChild(const std::string& path, const GuardedWork& work, std::string& error, std::string& output,
                     unsigned passes = 1);

}  // namespace Lumetra
