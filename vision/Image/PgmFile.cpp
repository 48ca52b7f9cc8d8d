#include "Image/ImageIO.h"

#include "Core/Log.h"
#include "Image/FileCloser.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace Lumetra {

namespace {

// Longest header line of a PGM file, without its line feed.
constexpr std::size_t kMaxHeaderLine = 254;

enum class LineStatus { Ok, TooLong };

/// Reads one line (up to a line feed or the end of the file) without the line feed.
LineStatus readLine(std::FILE* file, std::string& line) {
  line.clear();
  for (;;) {
    const int c = std::fgetc(file);
    if (c == EOF || c == '\n') return LineStatus::Ok;
    if (line.size() == kMaxHeaderLine) return LineStatus::TooLong;
    line.push_back(static_cast<char>(c));
  }
}

/// A file being written under a temporary name in the target's folder; `commit` moves it into
/// place, otherwise the destructor removes it, so a failed write leaves no partial file.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) : target_(target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      std::string name = target + ".part" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
      // Created exclusively, with the permissions the process's mask allows any new file.
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        path_ = std::move(name);
      } else if (errno != EEXIST) {
        break;
      }
    }
  }
  ~TemporaryFile() {
    if (!path_.empty() && !committed_) std::remove(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool valid() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  bool commit() {
    if (std::rename(path_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string target_;
  std::string path_;
  bool committed_ = false;
};

bool writePGMFile(const ImageGray& image, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fprintf(file, "P5\n") >= 0 && std::fflush(file) == 0;
  ok = ok && std::fprintf(file, "%u %u\n", image.width, image.height) >= 0 && std::fflush(file) == 0;
  ok = ok && std::fprintf(file, "255\n") >= 0 && std::fflush(file) == 0;
  // Rows are taken with the image's stride, so a view is written as its own pixels.
  for (std::uint32_t y = 0; ok && y < image.height; ++y) {
    ok = std::fwrite(image.row(y), 1, image.width, file) == image.width;
  }
  return (std::fclose(file) == 0) && ok;
}

ImageGray readPGMFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    LUMETRA_LOG_ERROR("Cannot open a file {}", path);
    return ImageGray();
  }
  FileCloser closer{file};
  auto cannotRead = [&path] {
    LUMETRA_LOG_ERROR("Cannot read a file {}", path);
    return ImageGray();
  };

  std::string line;
  if (readLine(file, line) != LineStatus::Ok) return cannotRead();
  if (line.compare(0, 2, "P5") != 0) {
    LUMETRA_LOG_ERROR("The file is not PGM, {}", path);
    return ImageGray();
  }
  do {
    if (readLine(file, line) != LineStatus::Ok) return cannotRead();
  } while (!line.empty() && line[0] == '#');

  // The width in C notation (a leading 0x is hexadecimal, a leading 0 octal), the height decimal.
  char* end = nullptr;
  errno = 0;
  const long width = std::strtol(line.c_str(), &end, 0);
  const long height = std::strtol(end, nullptr, 10);
  const bool rangeError = errno == ERANGE;
  if (readLine(file, line) != LineStatus::Ok) return cannotRead();  // maximum value, not used

  // Refuse sizes that are not positive, do not fit the image type, or that the file cannot hold,
  // before anything is allocated for them.
  if (rangeError || width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX ||
      static_cast<std::int64_t>(width) * height > INT32_MAX) {
    return cannotRead();
  }
  const std::int64_t count = static_cast<std::int64_t>(width) * height;
  const long dataStart = std::ftell(file);
  if (dataStart < 0 || std::fseek(file, 0, SEEK_END) != 0) return cannotRead();
  const long fileEnd = std::ftell(file);
  if (fileEnd < 0 || fileEnd - dataStart < count || std::fseek(file, dataStart, SEEK_SET) != 0) return cannotRead();

  ImageGray image;
  try {
    image.create(Vec2u(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)));
  } catch (const std::bad_alloc&) {
    return cannotRead();
  }
  if (std::fread(image.data, 1, static_cast<std::size_t>(count), file) != static_cast<std::size_t>(count)) {
    return cannotRead();
  }
  return image;
}

}  // namespace

ImageGray readPGM(const std::string& path) {
  try {
    return readPGMFile(path);
  } catch (const std::exception&) {
    LUMETRA_LOG_ERROR("Cannot read a file {}", path);
    return ImageGray();
  }
}

bool savePGM(const ImageGray& image, const std::string& path) {
  if (image.isEmpty()) return false;
  try {
    TemporaryFile temporary(path);
    if (temporary.valid() && writePGMFile(image, temporary.path()) && temporary.commit()) return true;
  } catch (const std::exception&) {
  }
  LUMETRA_LOG_ERROR("Cannot create a file {}", path);
  return false;
}

}  // namespace Lumetra
