#pragma once
// Collects the library's log messages while alive (from any thread) and shows them on standard
// error when the test has failed by the time it ends.
#include "Core/Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

class LogCapture {
 public:
  LogCapture() {
    messages().clear();
    Lumetra::setLogSink([](Lumetra::LogLevel, const char*, const std::string& m) {
      static std::mutex mutex;
      const std::lock_guard<std::mutex> lock(mutex);
      messages().push_back(m);
    });
  }
  ~LogCapture() {
    Lumetra::setLogSink(nullptr);
    if (::testing::Test::HasFailure())
      for (const std::string& m : messages()) std::fprintf(stderr, "log: %s\n", m.c_str());
  }
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
