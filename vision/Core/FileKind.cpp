#include "Core/FileKind.h"

#include <filesystem>
#include <system_error>

namespace Lumetra {

std::string describeNonRegularFile(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  switch (fs::status(path, error).type()) {
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::character:
    case fs::file_type::block:
      return "a device";
    case fs::file_type::fifo:
      return "a pipe";
    case fs::file_type::socket:
      return "a socket";
    default:
      return std::string();
  }
}

}  // namespace Lumetra
