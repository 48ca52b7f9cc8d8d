// Copying one file of a model's copy into the target: only the very file that was found, and no
// more of it than its size.
#include "Renderer/ModelCopy.h"

#include "Process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using Lumetra::CopyOutcome;

TEST(ModelCopyFile, CopiesOnlyTheFileFoundAndNoMoreThanItsSize) {
  TestSupport::TempDir dir;
  TestSupport::writeFile(dir / "tex.png", std::string(200000, 'p'));
  TestSupport::writeFile(dir / "other.png", "q");
  const auto identity = [](const fs::path& path) {
    struct stat status{};
    ::stat(path.c_str(), &status);
    return std::make_pair(std::uint64_t{status.st_dev}, std::uint64_t{status.st_ino});
  };
  const auto tex = identity(dir / "tex.png");
  const struct {
    fs::path source;
    std::pair<std::uint64_t, std::uint64_t> found;  // the identity the file had when looked up
    CopyOutcome outcome;
  } rows[] = {{dir / "tex.png", tex, CopyOutcome::Copied},
              {dir / "other.png", tex, CopyOutcome::SourceUnreadable},  // another file under the name now
              {"/proc/self/status", identity("/proc/self/status"), CopyOutcome::SourceUnreadable}};  // size 0
  for (const auto& row : rows) {
    SCOPED_TRACE(row.source.string());
    const fs::path copy = dir / "copy";
    const Lumetra::ModelCopyFile file{"copy", {}, row.source, true, row.found.first, row.found.second};
    EXPECT_EQ(Lumetra::writeModelCopyFile(file, copy), row.outcome);
    EXPECT_EQ(fs::exists(copy) ? TestSupport::readFile(copy) : "none",
              row.outcome == CopyOutcome::Copied ? TestSupport::readFile(row.source) : "none");
    fs::remove(copy);
  }
}

}  // namespace
