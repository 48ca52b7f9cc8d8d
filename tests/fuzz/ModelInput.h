#pragma once
// A fuzz input of the model loader as files in a folder: the first byte chooses the model file's
// ending (modulo 5: .obj, .ply, .stl, .3ds, .off); an OBJ input holds its material library after
// its first NUL byte, written beside it as "m.mtl" (empty without one). The fuzz target and the
// test suite's regression inputs both read their inputs this way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace FuzzSupport {

inline void writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) std::abort();
}

/// Writes the input's files into `folder` and returns the model's path ("" for an empty input).
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
