#include "Program.h"

#include "Core/Profiler.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  // FORMWRIGHT_PROFILE=1 times the profiling blocks and lists their totals on standard error.
  const char* profile = std::getenv("FORMWRIGHT_PROFILE");
  const bool profiling = profile != nullptr && *profile != '\0' && *profile != '0';
  Lumetra::Profiler::setEnabled(profiling);
  const int status = runProgram(argc, argv);
  if (profiling) {
    for (const auto& block : Lumetra::Profiler::snapshot()) {
      std::fprintf(stderr, "%10.3f s %8llu x  %s\n", static_cast<double>(block.nanoseconds) * 1e-9,
                   static_cast<unsigned long long>(block.calls), block.name.c_str());
    }
  }
  return status;
}
