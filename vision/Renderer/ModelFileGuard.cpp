#include "Renderer/ModelFileGuard.h"

#include "Renderer/NodeExpansion.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace Lumetra {

namespace {

/// The header part that is checked: no valid file needs more than this before its data.
constexpr std::size_t kHeaderBytes = 1 << 20;

struct Head {
  std::string bytes;     ///< the first kHeaderBytes bytes at most
  std::uint64_t size = 0;  ///< the whole file's
};

bool readHead(const std::string& path, Head& head) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = std::fseek(file, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(file) : -1;
  ok = size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    head.size = static_cast<std::uint64_t>(size);
    head.bytes.resize(std::min<std::uint64_t>(head.size, kHeaderBytes));
    ok = std::fread(head.bytes.data(), 1, head.bytes.size(), file) == head.bytes.size();
  }
  std::fclose(file);
  return ok;
}

bool readWhole(const std::string& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

bool endsWithNoCase(const std::string& text, const std::string& ending) {
  if (text.size() < ending.size()) return false;
  return std::equal(ending.rbegin(), ending.rend(), text.rbegin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); });
}

/// The whitespace-separated words of the text.
std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const std::size_t start = i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

/// Whether the number that the word's leading digits make (as the import library reads a count)
/// exceeds the limit.
bool countExceeds(const std::string& word, std::uint64_t limit) {
  std::uint64_t value = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit) return true;
  }
  return false;
}

/// Byte size of a PLY scalar type; 0 for a name the import library does not know.
std::size_t plyTypeSize(const std::string& type) {
  static const char* const kNames[][2] = {{"char", "int8"},   {"uchar", "uint8"}, {"short", "int16"},   {"ushort", "uint16"},
                                          {"int", "int32"},   {"uint", "uint32"}, {"float", "float32"}, {"double", "float64"}};
  static const std::size_t kSizes[] = {1, 1, 2, 2, 4, 4, 4, 8};
  for (std::size_t i = 0; i < 8; ++i)
    if (type == kNames[i][0] || type == kNames[i][1]) return kSizes[i];
  return 0;
}

struct PlyProperty {
  std::size_t countSize = 0;  ///< byte size of a list's count; 0 for a scalar
  std::size_t valueSize = 0;
  bool countSigned = false;
};

struct PlyElement {
  std::string name;
  std::uint64_t count = 0;
  std::vector<PlyProperty> properties;
};

/// Reads a binary PLY list count of the given size and sign at `at`.
std::uint64_t binaryCount(const std::string& bytes, std::size_t at, std::size_t size, bool isSigned, bool bigEndian) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < size; ++k) {
    const std::size_t index = bigEndian ? at + k : at + size - 1 - k;
    value = (value << 8) | static_cast<unsigned char>(bytes[index]);
  }
  const std::uint64_t sign = std::uint64_t{1} << (8 * size - 1);
  return isSigned && (value & sign) != 0 ? std::numeric_limits<std::uint64_t>::max() : value;
}

/// Walks the body as the header describes it: every item present, every list within the file.
bool plyBodyFits(const std::string& bytes, std::size_t at, const std::vector<PlyElement>& elements,
                 const std::string& format) {
  if (format == "ascii") {
    // Every scalar and every list count is a word; a list's values are as many words as it counts.
    std::string word;
    auto next = [&]() {
      while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
      const std::size_t start = at;
      while (at < bytes.size() && !std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
      word.assign(bytes, start, at - start);
      return at > start;
    };
    for (const PlyElement& element : elements) {
      for (std::uint64_t item = 0; item < element.count; ++item) {
        for (const PlyProperty& property : element.properties) {
          if (!next()) return false;
          if (property.countSize == 0) continue;
          if (countExceeds(word, bytes.size())) return false;
          for (std::uint64_t k = std::strtoull(word.c_str(), nullptr, 10); k > 0; --k)
            if (!next()) return false;
        }
      }
    }
    return true;
  }
  const bool bigEndian = format == "binary_big_endian";
  for (const PlyElement& element : elements) {
    for (std::uint64_t item = 0; item < element.count; ++item) {
      for (const PlyProperty& property : element.properties) {
        if (property.countSize == 0) {
          if (bytes.size() - at < property.valueSize) return false;
          at += property.valueSize;
          continue;
        }
        if (bytes.size() - at < property.countSize) return false;
        const std::uint64_t count = binaryCount(bytes, at, property.countSize, property.countSigned, bigEndian);
        at += property.countSize;
        if (count > (bytes.size() - at) / property.valueSize) return false;
        at += static_cast<std::size_t>(count) * property.valueSize;
      }
    }
  }
  return true;
}

bool plyIsSound(const std::string& path, const Head& head, std::string& error) {
  std::vector<PlyElement> elements;
  std::string format;
  std::size_t at = 0;
  bool ended = false;
  while (at < head.bytes.size() && !ended) {
    std::size_t end = head.bytes.find('\n', at);
    if (end == std::string::npos) end = head.bytes.size();
    const std::vector<std::string> line = words(head.bytes.substr(at, end - at));
    at = end + 1;
    if (line.empty()) continue;
    // A line that starts with one of the header's words must be well formed (the library would read
    // it differently); other lines are skipped, as the library skips them.
    const std::string& key = line[0];
    const bool digits = line.size() == 3 && std::all_of(line[2].begin(), line[2].end(), [](char c) { return c >= '0' && c <= '9'; });
    if (key == "end_header" && line.size() == 1) {
      // The library looks for the line break after it and, at the end of the file, looks for ever.
      if (end == head.size) {
        error = "The PLY file ends in its end_header line, without a line break after it.";
        return false;
      }
      ended = true;
    } else if (key == "ply" && line.size() == 1 && elements.empty() && format.empty()) {
    } else if (key == "comment" || key == "obj_info") {
    } else if (key == "format" && line.size() == 3 && format.empty()) {
      format = line[1];
    } else if (key == "element" && digits) {
      if (countExceeds(line[2], head.size)) {
        error = "The PLY element " + line[1] + " counts more items than the file has bytes.";
        return false;
      }
      for (const PlyElement& element : elements) {
        if (element.name == line[1]) {
          error = "The PLY element " + line[1] + " is declared twice.";
          return false;
        }
      }
      elements.push_back(PlyElement{line[1], std::strtoull(line[2].c_str(), nullptr, 10), {}});
    } else if (key == "property" && !elements.empty() && (line.size() == 3 || (line.size() == 5 && line[1] == "list"))) {
      PlyProperty property;
      if (line.size() == 5) {
        property.countSize = plyTypeSize(line[2]);
        property.countSigned = line[2][0] != 'u';
        property.valueSize = plyTypeSize(line[3]);
      } else {
        property.valueSize = plyTypeSize(line[1]);
      }
      if (property.valueSize == 0 || (line.size() == 5 && property.countSize == 0)) {
        error = "The PLY file has a property of an unknown type.";
        return false;
      }
      elements.back().properties.push_back(property);
    } else if (key == "ply" || key == "format" || key == "element" || key == "property" || key == "end_header") {
      error = "The PLY header has a malformed " + key + " line.";
      return false;
    }
  }
  if (!ended) {
    error = "The PLY file has no end_header line.";
    return false;
  }
  if (format != "ascii" && format != "binary_little_endian" && format != "binary_big_endian") {
    error = "The PLY file's format is unknown.";
    return false;
  }
  std::string bytes;
  if (!readWhole(path, bytes) || bytes.size() < at) return true;
  if (!plyBodyFits(bytes, std::min(at, bytes.size()), elements, format)) {
    error = "The PLY file's data are shorter than its header declares.";
    return false;
  }
  return true;
}

/// Whether the word is a run of digits whose value is below the limit.
bool indexBelow(const std::string& word, std::uint64_t limit) {
  return !word.empty() && !countExceeds(word, limit - 1) &&
         std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool offIsSound(const std::string& path, const Head& head, std::string& error) {
  // The lines that are neither empty nor comments: the keyword (optional; the counts may follow it
  // on its line), the counts, a line per vertex, then a line per face: its corner count and corners.
  std::vector<std::vector<std::string>> lines;
  std::string bytes;
  if (!readWhole(path, bytes)) return true;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::vector<std::string> line = words(bytes.substr(at, end - at));
    at = end + 1;
    if (!line.empty() && line[0][0] != '#') lines.push_back(std::move(line));
  }
  if (lines.empty()) return true;
  // The counts' line: the first one when it starts with a number (the keyword is optional), else
  // the keyword's own when more words follow the keyword there, else the next one.
  const bool keyword = !(lines[0][0][0] >= '0' && lines[0][0][0] <= '9');
  const std::size_t first = !keyword || lines[0].size() >= 3 ? 0 : 1;
  if (lines.size() <= first) return true;
  std::vector<std::string> counts(lines[first].begin() + (keyword && first == 0 ? 1 : 0), lines[first].end());
  if (counts.size() < 2 || countExceeds(counts[0], head.size) || countExceeds(counts[1], head.size)) {
    error = "The OFF file counts more vertices or faces than it has bytes.";
    return false;
  }
  const std::uint64_t vertices = std::strtoull(counts[0].c_str(), nullptr, 10);
  const std::uint64_t faces = std::strtoull(counts[1].c_str(), nullptr, 10);
  for (std::uint64_t f = 0; f < faces && first + 1 + vertices + f < lines.size(); ++f) {
    const std::vector<std::string>& face = lines[first + 1 + vertices + f];
    bool sound = indexBelow(face[0], face.size());
    for (std::size_t k = 1; sound && k <= std::strtoull(face[0].c_str(), nullptr, 10); ++k)
      sound = indexBelow(face[k], vertices);
    if (!sound) {
      error = "The OFF file has a face with fewer corners than it counts, or a corner out of range.";
      return false;
    }
  }
  return true;
}

/// Whether every statement of the material library (beyond comments) follows a "newmtl": the
/// library sets a texture on the current material, which there is none of before the first one.
bool materialLibraryIsSound(const std::string& path) {
  std::string bytes;
  if (!readWhole(path, bytes)) return true;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t end = bytes.find_first_of("\r\n", at);
    if (end == std::string::npos) end = bytes.size();
    const std::vector<std::string> line = words(bytes.substr(at, end - at));
    at = end + 1;
    if (line.empty() || line[0][0] == '#') continue;
    return line[0] == "newmtl";
  }
  return true;
}

/// Checks the material libraries that the OBJ file names (beside it), and the one of its own name
/// that the library falls back on.
bool objIsSound(const std::string& path, std::string& error) {
  std::string bytes;
  if (!readWhole(path, bytes)) return true;
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::vector<std::string> libraries;
  if (path.size() >= 3) libraries.push_back(path.substr(0, path.size() - 3) + "mtl");
  for (std::size_t at = bytes.find("mtllib"); at != std::string::npos; at = bytes.find("mtllib", at + 6)) {
    if (at > 0 && bytes[at - 1] != '\n' && bytes[at - 1] != '\r' && bytes[at - 1] != ' ' && bytes[at - 1] != '\t') continue;
    std::size_t end = bytes.find_first_of("\r\n", at);
    if (end == std::string::npos) end = bytes.size();
    std::string name = bytes.substr(at + 6, end - at - 6);
    const std::size_t first = name.find_first_not_of(" \t"), last = name.find_last_not_of(" \t");
    if (first == std::string::npos) continue;
    name = name.substr(first, last - first + 1);
    libraries.push_back(folder + name);
    const std::vector<std::string> parts = words(name);
    if (!parts.empty()) libraries.push_back(folder + parts[0]);
  }
  for (const std::string& library : libraries) {
    if (!materialLibraryIsSound(library)) {
      error = "The material library " + library + " has statements before its first newmtl.";
      return false;
    }
  }
  return true;
}

std::uint32_t littleEndian(const std::string& bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t k = size; k-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
  return value;
}

/// Whether the chunks in [begin, end) of a 3DS file nest soundly where the library trusts them: the
/// main chunk, the keyframer and its node chunks hold nothing but chunks, each within its parent;
/// an animation track (flags, two words, a key count, keys of at least six bytes) holds no more
/// keys than it has room for (the library allocates for the count first).
bool chunksAreSound(const std::string& bytes, std::size_t begin, std::size_t end, int depth) {
  for (std::size_t at = begin; at + 6 <= end;) {
    const std::uint32_t id = littleEndian(bytes, at, 2), length = littleEndian(bytes, at + 2, 4);
    if (length < 6 || length > end - at) return false;
    const bool container = id == 0x4D4D || id == 0xB000 || (id >= 0xB001 && id <= 0xB007);
    if (container && depth < 4 && !chunksAreSound(bytes, at + 6, at + length, depth + 1)) return false;
    if (id >= 0xB020 && id <= 0xB029) {
      if (length < 20) return false;
      if (littleEndian(bytes, at + 16, 4) > (length - 20) / 6) return false;
    }
    at += length;
  }
  return true;
}

/// The first word of the text, lower-cased.
std::string firstWord(const std::string& bytes) {
  const std::vector<std::string> first = words(bytes.substr(0, 64));
  std::string word = first.empty() ? std::string() : first[0];
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word;
}

}  // namespace

bool modelFileIsSound(const std::string& path, std::string& error) {
  Head head;
  if (!readHead(path, head)) return true;
  const std::string first = firstWord(head.bytes);
  if (endsWithNoCase(path, ".ply") || first == "ply") return plyIsSound(path, head, error);
  const bool offKeyword = first.size() >= 3 && first.compare(first.size() - 3, 3, "off") == 0;
  if (endsWithNoCase(path, ".off") || offKeyword) return offIsSound(path, head, error);
  if (endsWithNoCase(path, ".obj")) return objIsSound(path, error);
  const NodeFormat format = nodeFormat(path, head.bytes);
  if (format != NodeFormat::None) {
    std::string bytes;
    const std::string reason = readWhole(path, bytes) ? repeatedNodes(format, std::move(bytes)) : std::string();
    if (!reason.empty()) {
      error = reason;
      return false;
    }
  }
  if (endsWithNoCase(path, ".3ds") && head.bytes.size() >= 6 && littleEndian(head.bytes, 0, 2) == 0x4D4D) {
    std::string bytes;
    if (readWhole(path, bytes) && !chunksAreSound(bytes, 0, bytes.size(), 0)) {
      error = "The 3DS file's keyframe chunks do not fit in their parents.";
      return false;
    }
  }
  return true;
}

bool isColladaFile(const std::string& path) {
  Head head;
  return endsWithNoCase(path, ".zae") || (readHead(path, head) && nodeFormat(path, head.bytes) == NodeFormat::Collada);
}

}  // namespace Lumetra
