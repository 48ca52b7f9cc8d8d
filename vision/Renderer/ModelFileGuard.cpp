#include "Renderer/ModelFileGuard.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
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

bool plyIsSound(const Head& head, std::string& error) {
  std::vector<std::string> elements;
  std::size_t at = 0;
  while (at < head.bytes.size()) {
    std::size_t end = head.bytes.find('\n', at);
    if (end == std::string::npos) end = head.bytes.size();
    const std::vector<std::string> line = words(head.bytes.substr(at, end - at));
    at = end + 1;
    if (line.empty()) continue;
    if (line[0] == "end_header") return true;
    if (line[0] == "element" && line.size() >= 3 && countExceeds(line[2], head.size)) {
      error = "The PLY element " + line[1] + " counts more items than the file has bytes.";
      return false;
    }
    if (line[0] == "element" && line.size() >= 2) {
      if (std::find(elements.begin(), elements.end(), line[1]) != elements.end()) {
        error = "The PLY element " + line[1] + " is declared twice.";
        return false;
      }
      elements.push_back(line[1]);
    }
  }
  error = "The PLY file has no end_header line.";
  return false;
}

bool offIsSound(const Head& head, std::string& error) {
  // The counts are the first two numbers after the keyword, past comment lines.
  std::string text;
  std::size_t at = 0;
  while (at < head.bytes.size() && text.size() < 4096) {
    std::size_t end = head.bytes.find('\n', at);
    if (end == std::string::npos) end = head.bytes.size();
    const std::string line = head.bytes.substr(at, end - at);
    if (line.find_first_not_of(" \t\r") != std::string::npos && line[line.find_first_not_of(" \t\r")] != '#')
      text += line + "\n";
    at = end + 1;
  }
  const std::vector<std::string> all = words(text);
  for (std::size_t i = 1; i < std::min<std::size_t>(all.size(), 3); ++i) {
    if (countExceeds(all[i], head.size)) {
      error = "The OFF file counts more vertices or faces than it has bytes.";
      return false;
    }
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
  if (endsWithNoCase(path, ".ply") || first == "ply") return plyIsSound(head, error);
  const bool offKeyword = first.size() >= 3 && first.compare(first.size() - 3, 3, "off") == 0;
  if (endsWithNoCase(path, ".off") || offKeyword) return offIsSound(head, error);
  return true;
}

}  // namespace Lumetra
