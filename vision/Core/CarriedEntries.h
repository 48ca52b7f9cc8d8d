#pragma once
// What a re-trained target folder takes over from the folder it replaces: the user's own entries,
// carried without copying their data, and the files made durable before the exchange.
#include <filesystem>
#include <string>
#include <vector>

namespace Lumetra::detail {

/// Gives the open folder `to` the entries of the open folder `from` other than the target's
/// `files` (and the temporary names earlier versions left beside them): every kind of file as a
/// hard link, folders made anew with their permission bits and their entries carried the same way.
/// A folder of `from` named as one of `files` is refused. Nothing of `from` changes. Empty on
/// success, else why it failed, in a user's words.
std::string carryOtherEntries(int from, int to, const std::vector<std::filesystem::path>& files);

/// Makes the `files` of the open folder and the folder itself durable. Empty on success, else why
/// it failed.
std::string flushFolder(int folder, const std::vector<std::filesystem::path>& files);

}  // namespace Lumetra::detail
