// Where the texture names of a model lead, and which files may be used: one row per name.
#include "Renderer/TextureFiles.h"

#include "Process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using Lumetra::TextureFile;

TEST(TextureLookup, UsesOnlyRegularFilesInsideTheModelsFolderEachKnownByItsIdentity) {
  TestSupport::TempDir dir;
  fs::create_directories(dir / "model/sub");
  TestSupport::writeFile(dir / "model/tex.png", "picture");
  TestSupport::writeFile(dir / "secret.txt", "key");
  fs::create_symlink("tex.png", dir / "model/inside.png");
  fs::create_symlink("../secret.txt", dir / "model/outside.png");
  ASSERT_EQ(::mkfifo((dir / "model/pipe.png").c_str(), 0600), 0);
  const struct {
    std::string name;
    TextureFile::Status status;
    bool sameAsTex;  // the file of "tex.png"
  } rows[] = {{"tex.png", TextureFile::Usable, true},
              {"./sub/../TEX.PNG", TextureFile::Usable, true},  // matched without regard to case
              {"inside.png", TextureFile::Usable, true},
              {"outside.png", TextureFile::Outside, false},
              {"../secret.txt", TextureFile::Outside, false},
              {(dir / "secret.txt").string(), TextureFile::Outside, false},
              {"../model/tex.png", TextureFile::Usable, true},
              {"sub", TextureFile::NotRegular, false},
              {"pipe.png", TextureFile::NotRegular, false},
              {"missing.png", TextureFile::Unreadable, false}};
  Lumetra::TextureLookup lookup((dir / "model").string());
  const TextureFile tex = lookup.find("tex.png");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const TextureFile& file = lookup.find(row.name);
    EXPECT_EQ(file.status, row.status);
    EXPECT_EQ(file.status == TextureFile::Usable && file.sameFile(tex), row.sameAsTex);
  }
}

// Links may give one folder endless names (a link to its own folder, repeated in a name): the
// folder is read once, under the first name that reaches it, and every other name answers from
// that reading, so a file put there afterwards is not seen through a link.
TEST(TextureLookup, ReadsAFolderOnceWhateverNameLinksGiveIt) {
  TestSupport::TempDir dir;
  fs::create_directories(dir / "model/sub");
  fs::create_symlink(".", dir / "model/sub/again");
  Lumetra::TextureLookup lookup((dir / "model").string());
  EXPECT_EQ(lookup.find("SUB/late.png").status, TextureFile::Unreadable);
  TestSupport::writeFile(dir / "model/sub/late.png", "picture");
  EXPECT_EQ(lookup.find("SUB/AGAIN/late.png").status, TextureFile::Unreadable);
  EXPECT_EQ(lookup.find("sub/late.png").status, TextureFile::Usable);  // the plain name is not listed
}

}  // namespace
