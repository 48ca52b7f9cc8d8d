#pragma once
// The loaders under fuzzing take a path: each input is written to a file of this process's own
// (in $TMPDIR, else /tmp) before the call, and the file is removed when the process exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace FuzzSupport {

class ScratchFile {
 public:
  /// `suffix` is the file name's ending (loadImage chooses its reader by it).
  explicit ScratchFile(const char* suffix) {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    std::string pattern = std::string(dir) + "/formwright-fuzz-XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemps(name.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0) {
      std::perror("mkstemps");
      std::abort();
    }
    ::close(fd);
    path_ = name.data();
  }
  ~ScratchFile() { ::unlink(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  /// Replaces the file's content with the input and returns its path.
  const std::string& write(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    if (std::fclose(file) != 0) std::abort();
    return path_;
  }

 private:
  std::string path_;
};

/// Stops the run with a crash report when a property of the result does not hold.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (false)

}  // namespace FuzzSupport
