// Writing under a temporary name and renaming into place.
#include "Core/AtomicFile.h"

#include "Process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using namespace TestSupport;

TEST(AtomicFile, TemporaryNameKeepsFolderAndExtension) {
  const fs::path target = fs::path("/some/folder") / "PICTURE.png";
  const fs::path a = Lumetra::temporaryPathFor(target);
  const fs::path b = Lumetra::temporaryPathFor(target);
  EXPECT_EQ(a.parent_path(), target.parent_path());
  EXPECT_EQ(a.extension(), ".png");
  EXPECT_NE(a, target);
  EXPECT_NE(a, b);
}

TEST(AtomicFile, ReplacesTheFileWhenComplete) {
  TempDir scratch;
  const fs::path target = scratch.path() / "data.dat";
  ASSERT_TRUE(Lumetra::writeFileAtomically(target, "first"));
  EXPECT_EQ(readFile(target), "first");
  ASSERT_TRUE(Lumetra::writeFileAtomically(target, std::string("sec\0nd", 6)));
  EXPECT_EQ(readFile(target), std::string("sec\0nd", 6));
  EXPECT_EQ(folderEntries(scratch.path()), std::vector<std::string>{"data.dat"});
}

TEST(AtomicFile, AFailedFileLeavesTheWholeSetUntouched) {
  TempDir scratch;
  const fs::path a = scratch.path() / "a.txt";
  const fs::path b = scratch.path() / "b.txt";
  writeFile(a, "old a");
  writeFile(b, "old b");

  std::vector<Lumetra::PendingFile> files = {
      {a, [](const fs::path& t) { return Lumetra::writeBytes(t, "new a"); }},
      {b, [](const fs::path& t) { return Lumetra::writeBytes(t, "half") && false; }},
  };
  EXPECT_FALSE(Lumetra::writeFilesAtomically(files));
  EXPECT_EQ(readFile(a), "old a");
  EXPECT_EQ(readFile(b), "old b");

  // A producer that throws is a failure too, not an escaping exception.
  files[1].produce = [](const fs::path&) -> bool { throw std::runtime_error("boom"); };
  EXPECT_FALSE(Lumetra::writeFilesAtomically(files));
  files[1].produce = nullptr;
  EXPECT_FALSE(Lumetra::writeFilesAtomically(files));
  EXPECT_EQ(folderEntries(scratch.path()), (std::vector<std::string>{"a.txt", "b.txt"}));

  files[1].produce = [](const fs::path& t) { return Lumetra::writeBytes(t, "new b"); };
  EXPECT_TRUE(Lumetra::writeFilesAtomically(files));
  EXPECT_EQ(readFile(a), "new a");
  EXPECT_EQ(readFile(b), "new b");
}

TEST(AtomicFile, FailuresToCreateOrRename) {
  TempDir scratch;
  // The folder does not exist: nothing can be created.
  EXPECT_FALSE(Lumetra::writeFileAtomically(scratch.path() / "missing" / "x.dat", "x"));
  EXPECT_FALSE(Lumetra::writeBytes(scratch.path() / "missing" / "x.dat", "x"));
  // The final name is taken by a folder: the rename fails and the temporary file goes.
  fs::create_directory(scratch.path() / "taken.dat");
  EXPECT_FALSE(Lumetra::writeFileAtomically(scratch.path() / "taken.dat", "x"));
  EXPECT_EQ(folderEntries(scratch.path()), std::vector<std::string>{"taken.dat"});
}

}  // namespace
