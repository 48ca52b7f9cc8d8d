#pragma once
// The folder that receives one target's files: the output directory joined with the target
// prefix followed by the target's name.
#include <filesystem>
#include <string>

namespace Obrin {

/// The target folder's path for the name (not touching the file system).
std::filesystem::path targetFolderPath(const std::filesystem::path& outputDirectory, const std::string& targetName);

/// Makes sure the target folder exists (creating missing parents) and gives its path. Returns false
/// when the name would not stay a single folder inside the output directory, or when the folder
/// cannot be created or is not a directory. `created` (when given) tells whether this call made the
/// folder, so that a caller whose files then fail can take it away again. Never throws.
bool prepareTargetFolder(const std::filesystem::path& outputDirectory, const std::string& targetName,
                         std::filesystem::path& folder, bool* created = nullptr);

/// Removes the target folder when it is empty (a folder that `prepareTargetFolder` made for files
/// that could not be written). Never throws.
void removeEmptyTargetFolder(const std::filesystem::path& folder);

}  // namespace Obrin
