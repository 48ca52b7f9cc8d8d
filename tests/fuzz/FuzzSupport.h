#pragma once
// What the fuzz targets share. The loaders under fuzzing take a path: each input is written to a
// file in a folder of this process's own (in $TMPDIR, else /tmp), removed with its files when the
// process exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <stdlib.h>

namespace FuzzSupport {

/// Writes the bytes as the file's whole content; a failure ends the run.
inline void writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) std::abort();
}

struct ScratchFolder {
  ScratchFolder() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/formwright-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~ScratchFolder() { std::filesystem::remove_all(path); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  /// Replaces the content of the folder's file `name` with the input and returns the file's path.
  /// The name's ending matters: loadImage chooses its reader by it.
  std::string write(const char* name, const std::uint8_t* data, std::size_t size) const {
    const std::string file = path + "/" + name;
    writeWholeFile(file, data, size);
    return file;
  }

  std::string path;
};

/// Fills the next 64 KiB of the stack and a few freed heap blocks with a pattern (no three bytes in
/// a row zero), so that a picture made from memory the decoder never wrote differs between two
/// loads of the same file with different patterns before them, and does not come out black.
__attribute__((noinline)) inline void scribble(std::uint8_t pattern) {
  volatile std::uint8_t stack[64 * 1024];
  for (std::size_t i = 0; i < sizeof(stack); ++i) stack[i] = static_cast<std::uint8_t>(pattern + i);
  for (std::size_t size : {64u, 1024u, 65536u}) {
    void* block = std::malloc(size);
    std::memset(block, pattern, size);
    std::free(block);
  }
}

/// Stops the run with a crash report when a property of the result does not hold.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (false)

/// A fuzz input of the model loader as files in a folder: the first byte chooses the model file's
/// ending (modulo 5: .obj, .ply, .stl, .3ds, .off); an OBJ input holds its material library after
/// its first NUL byte, written beside it as "m.mtl" (empty without one). The fuzz target and the
/// test suite's regression inputs both read their inputs this way. Returns the model's path ("" for
/// an empty input).
inline std::string writeModelInput(const std::string& folder, const std::uint8_t* data, std::size_t size) {
  if (size == 0) return "";
  static const char* const kNames[] = {"/model.obj", "/model.ply", "/model.stl", "/model.3ds", "/model.off"};
  const std::string path = folder + kNames[data[0] % 5];
  const bool obj = data[0] % 5 == 0;
  ++data;
  --size;
  const auto* nul = obj ? static_cast<const std::uint8_t*>(std::memchr(data, 0, size)) : nullptr;
  const std::size_t modelSize = nul != nullptr ? static_cast<std::size_t>(nul - data) : size;
  if (obj) writeWholeFile(folder + "/m.mtl", data + modelSize + (nul != nullptr), size - modelSize - (nul != nullptr));
  writeWholeFile(path, data, modelSize);
  return path;
}

}  // namespace FuzzSupport
