#pragma once
// Closing a C file on every path out of the scope that opened it.
#include <cstdio>

namespace Lumetra {

/// Closes the file on every path.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
};

}  // namespace Lumetra
