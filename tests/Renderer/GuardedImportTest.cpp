// Model files that broke the import library (kept from fuzzing), and the guard's limits.
#include "Renderer/GuardedImport.h"
#include "Renderer/ImportedModel.h"
#include "Renderer/MeshModel.h"

#include "../fuzz/FuzzSupport.h"
#include "Process.h"
#include "RendererTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;

/// Sets the guard's limits while alive.
struct GuardLimits {
  explicit GuardLimits(const Lumetra::ImportGuardLimits& limits) { Lumetra::setImportGuardLimits(limits); }
  ~GuardLimits() { Lumetra::setImportGuardLimits(Lumetra::ImportGuardLimits()); }
};

TEST(GuardedImport, RegressionInputsAreNotLoadedEvenInProcess) {
  TestSupport::TempDir scratch;
  std::vector<std::string> files = {rendertest::assimpModel("invalid/OutOfMemory.off")};
  for (const auto& entry : fs::directory_iterator(fs::path(FORMWRIGHT_SOURCE_DIR) / "tests/fuzz/corpus/fuzz_mesh_model"))
    if (entry.path().filename().string().rfind("regression-", 0) == 0) {
      const fs::path dir = scratch.path() / entry.path().filename();
      const std::string bytes = TestSupport::readFile(entry.path());
      fs::create_directory(dir);
      files.push_back(FuzzSupport::writeModelInput(dir.string(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    }
  ASSERT_GT(files.size(), 3u);
  // Without the child process a file that slipped past the checks would end this test with a signal.
  for (const bool guarded : {false, true}) {
    Lumetra::ImportGuardLimits limits;
    limits.enabled = guarded;
    GuardLimits set(limits);
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      EXPECT_FALSE(rendertest::loadModel(file).mLoaded);
    }
  }
}

TEST(GuardedImport, ChildOverItsLimitsIsANotLoadedModel) {
  TestSupport::TempDir scratch;
  {  // An 8 GB file (sparse) that the importer reads into memory whole, with 1 GB to do it in.
    const fs::path huge = scratch.path() / "huge.stl";
    std::ofstream(huge).close();
    fs::resize_file(huge, std::uint64_t{8} << 30);
    Lumetra::ImportGuardLimits limits;
    limits.memoryBytes = std::uint64_t{1} << 30;
    limits.memoryBytesPerFileByte = 0;
    GuardLimits set(limits);
    TestSupport::LogCapture log;
    EXPECT_FALSE(rendertest::loadModel(huge.string()).mLoaded);
    // Refused at once, not after reading 8 GB (which ends in the importer's own complaint).
    EXPECT_TRUE(log.contains("could not be loaded"));
    EXPECT_FALSE(log.contains("STL storage representation"));
  }
  // A pipe without a writer: opening it never returns.
  const fs::path pipe = scratch.path() / "model.obj";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  Lumetra::ImportGuardLimits limits;
  limits.seconds = 1;
  GuardLimits set(limits);
  TestSupport::LogCapture log;
  EXPECT_FALSE(rendertest::loadModel(pipe.string()).mLoaded);
  EXPECT_TRUE(log.contains("took longer than 1 s"));
}

TEST(GuardedImport, ChildEndsWithItsParent) {
  TestSupport::TempDir scratch;
  const fs::path pipe = scratch.path() / "model.obj";  // opening it waits for a writer, without a CPU limit
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const pid_t parent = ::fork();
  if (parent == 0) {
    std::string error;
    Lumetra::ImportedModel model;
    ::_exit(Lumetra::importModel(pipe.string(), 0, "", model, error) ? 0 : 1);
  }
  const std::string children = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
  pid_t child = 0;
  for (int wait = 0; wait < 1000 && child == 0; ++wait, ::usleep(10000)) std::ifstream(children) >> child;
  ::kill(parent, SIGKILL);
  ::waitpid(parent, nullptr, 0);
  ASSERT_GT(child, 0);
  // Gone, or a zombie that nobody reaps here, within seconds rather than at the parent's time limit.
  const auto state = [&] {
    std::string stat;
    std::getline(std::ifstream("/proc/" + std::to_string(child) + "/stat"), stat);
    return stat.empty() ? 'X' : stat[stat.rfind(')') + 2];
  };
  for (int wait = 0; wait < 300 && state() != 'X' && state() != 'Z'; ++wait) ::usleep(10000);
  EXPECT_TRUE(state() == 'X' || state() == 'Z');
  ::kill(child, SIGKILL);
}

}  // namespace
