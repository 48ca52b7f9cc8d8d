#include "Console.h"

#include "Core/AtomicFile.h"

#include <iostream>
#include <system_error>

std::string quotePath(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 2);
  out.push_back('"');
  for (char ch : path) {
    if (ch == '"' || ch == '\\') out.push_back('\\');
    out.push_back(ch);
  }
  out.push_back('"');
  return out;
}

void printLine(const std::string& text) { std::cout << text << std::endl; }

void printReason(const std::string& text) { std::cerr << text << std::endl; }

std::string cannotWrite(const std::string& what, const std::filesystem::path& folder, std::string why) {
  if (why.empty()) why = Lumetra::lastWriteFailure();
  if (why.empty()) why = "make room on its disk or allow writing there";
  return "Could not write " + what + " into " + quotePath(folder) + ": " + why + ".";
}

bool isRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  const bool result = std::filesystem::is_regular_file(path, ec);
  return result && !ec;
}

bool isDirectory(const std::filesystem::path& path) {
  std::error_code ec;
  const bool result = std::filesystem::is_directory(path, ec);
  return result && !ec;
}
