#pragma once
// What stands at a path that should name a file to read, for the reasons a run gives.
#include <string>

namespace Lumetra {

/// "a folder", "a device", "a pipe" or "a socket" for what stands at the path (after following
/// links); the empty string for a regular file, for nothing at all and for a path that cannot be
/// looked at.
std::string describeNonRegularFile(const std::string& path);

}  // namespace Lumetra
