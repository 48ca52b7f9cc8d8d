#include "ObjectTracker/Trainer/Image/TargetFolder.h"

#include "Constants.h"
#include "Core/Log.h"

#include <exception>
#include <system_error>

namespace Obrin {

namespace fs = std::filesystem;

fs::path targetFolderPath(const fs::path& outputDirectory, const std::string& targetName) {
  return outputDirectory / (TARGET_PREFIX + targetName);
}

bool prepareTargetFolder(const fs::path& outputDirectory, const std::string& targetName, fs::path& folder,
                         bool* created) {
  if (created != nullptr) *created = false;
  try {
    // The name becomes part of one folder name; separators or a NUL would put the files elsewhere.
    if (targetName.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
      OBRIN_LOG_ERROR("Target name {} cannot name a folder", targetName);
      return false;
    }
    const fs::path candidate = targetFolderPath(outputDirectory, targetName);
    std::error_code error;
    const bool made = fs::create_directories(candidate, error);
    if (!error && created != nullptr) *created = made;
    if (error || !fs::is_directory(candidate, error) || error) {
      OBRIN_LOG_ERROR("Cannot create the target folder {}", candidate.string());
      return false;
    }
    folder = candidate;
    return true;
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Cannot create the target folder: {}", e.what());
    return false;
  }
}

void removeEmptyTargetFolder(const fs::path& folder) {
  std::error_code error;
  if (fs::is_directory(folder, error) && fs::is_empty(folder, error) && !error) fs::remove(folder, error);
}

}  // namespace Obrin
