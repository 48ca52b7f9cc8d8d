#pragma once
// The files that the texture names inside a model stand for. A model may name any path, and one
// file under many spellings; a texture is used only when its name leads (links followed) to a
// regular file in the model's folder or below it, and a file is known by its device and inode,
// so that each one is read once however it is spelled.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

namespace Lumetra {

/// Where one texture name leads, and whether its file may be used.
struct TextureFile {
  enum Status : std::uint8_t {
    Usable,      ///< a readable regular file inside the folder
    Unreadable,  ///< nothing there, or a file that cannot be opened
    Outside,     ///< it lies outside the folder (by its name or through a link)
    NotRegular,  ///< a folder, a device, a pipe or a socket
  };
  Status status = Unreadable;
  std::string path;    ///< the file the name stands for, as looked up in the folder
  std::string target;  ///< where `path` leads when that differs from it (a link, "..")
  std::uint64_t device = 0, inode = 0;  ///< the file's identity (Usable)
  bool sameFile(const TextureFile& other) const { return device == other.device && inode == other.inode; }
};

/// Looks up the textures of one model in its folder. Each folder's entries are read at most once,
/// and each name is looked up once; later calls answer from what was read. Never throws.
class TextureLookup {
 public:
  /// `folder` is the model's folder ("" for the current one).
  explicit TextureLookup(std::string folder);

  /// The file that the texture name stands for: the name joined to the folder, with backslashes
  /// read as separators; when that file does not exist, each part of the name matched without
  /// regard to case, and failing that the file name alone in the folder. The plain join when
  /// nothing matches.
  const TextureFile& find(const std::string& name);

  const std::string& folder() const { return mFolder; }

 private:
  using Listing = std::unordered_map<std::string, std::string>;  // lower-case name -> entry name
  std::string resolve(const std::string& name);
  const Listing& listing(const std::filesystem::path& folder);
  TextureFile examine(const std::string& path) const;

  std::string mFolder;
  std::filesystem::path mRoot;  ///< the folder with its links resolved; empty when it cannot be
  std::map<std::pair<std::uint64_t, std::uint64_t>, Listing> mListings;  ///< by device and inode
  std::map<std::string, TextureFile> mFound;  ///< by the name the model gives
};

}  // namespace Lumetra
