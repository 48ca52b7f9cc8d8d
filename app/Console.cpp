#include "Console.h"

#include "Core/AtomicFile.h"

#include <iostream>
#include <system_error>

namespace {

// The lines the run has written on standard error, the first failure line it printed, and how
// many reasons came before that line (those belong to earlier targets of a batch).
std::size_t reasonsWritten = 0;
std::string firstFailure;
std::size_t reasonsBeforeFailure = 0;

void appendEscaped(std::string& out, char ch) {
  const auto byte = static_cast<unsigned char>(ch);
  if (byte >= 0x20 && byte != 0x7f) {
    out.push_back(ch);
  } else if (ch == '\n' || ch == '\r' || ch == '\t') {
    out += ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : "\\t";
  } else {
    const char* const digits = "0123456789abcdef";
    out += {'\\', 'x', digits[byte >> 4], digits[byte & 0xf]};
  }
}

}  // namespace

std::string quotePath(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 2);
  out.push_back('"');
  for (char ch : path) {
    if (ch == '"' || ch == '\\') out.push_back('\\');
    appendEscaped(out, ch);
  }
  out.push_back('"');
  return out;
}

std::string escapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) appendEscaped(out, ch);
  return out;
}

void printLine(const std::string& text) { std::cout << text << std::endl; }

void printReason(const std::string& text) {
  ++reasonsWritten;
  std::cerr << escapeControls(text) << std::endl;
}

void printFailure(const std::string& text) {
  // A line of several lines of text says what is wrong in its first.
  if (firstFailure.empty()) {
    firstFailure = text.substr(0, text.find('\n'));
    reasonsBeforeFailure = reasonsWritten;
  }
  printLine(text);
}

void explainFailure() {
  if (!firstFailure.empty() && reasonsWritten == reasonsBeforeFailure) {
    printReason(firstFailure);
  } else if (firstFailure.empty() && reasonsWritten == 0) {
    printReason("The run failed; standard output says where.");
  }
}

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
