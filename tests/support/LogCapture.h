#pragma once
// Collects the library's log messages while alive.
#include "Core/Log.h"

#include <string>
#include <vector>

namespace TestSupport {

class LogCapture {
 public:
  LogCapture() {
    messages().clear();
    Lumetra::setLogSink([](Lumetra::LogLevel, const char*, const std::string& m) { messages().push_back(m); });
  }
  ~LogCapture() { Lumetra::setLogSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  static std::vector<std::string>& messages() {
    static std::vector<std::string> all;
    return all;
  }
  bool contains(const std::string& text) const {
    for (const std::string& m : messages())
      if (m.find(text) != std::string::npos) return true;
    return false;
  }
};

}  // namespace TestSupport
