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

#include <cstring>
#include <fstream>
#include <functional>

namespace {

namespace fs = std::filesystem;

/// Sets the guard's limits while alive.
struct GuardLimits {
  explicit GuardLimits(const Lumetra::ImportGuardLimits& limits) { Lumetra::setImportGuardLimits(limits); }
  ~GuardLimits() { Lumetra::setImportGuardLimits(Lumetra::ImportGuardLimits()); }
};

/// Runs `body` in a child process of the test, so that neither a crash nor a hang inside it can take
/// the test down or hold it: "exit 0" when the body returned true, "exit 1" when false, else how
/// the child ended ("signal N", or "still running after N s", when it is killed).
std::string inChild(const std::function<bool()>& body, unsigned seconds = 15) {
  const pid_t child = ::fork();
  if (child < 0) return "no child process";
  if (child == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  for (unsigned waited = 0; waited < 100 * seconds; ++waited, ::usleep(10000)) {
    if (::waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                               : "signal " + std::to_string(WTERMSIG(status));
    }
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  return "still running after " + std::to_string(seconds) + " s";
}

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
  // Without the guard's child process, a file that slipped past the checks would crash the import
  // or run it for ever: each is imported in a child of the test, within a time of its own.
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    EXPECT_EQ(inChild([&file] {
                Lumetra::ImportGuardLimits limits;
                limits.enabled = false;
                GuardLimits set(limits);
                return !rendertest::loadModel(file).mLoaded;
              }),
              "exit 0");
    EXPECT_FALSE(rendertest::loadModel(file).mLoaded);
  }
}

/// A binary PLY of a tetrahedron's four corners and two of its faces, whose face lists count with
/// `countType` (of `countBytes` bytes), in the given byte order.
std::string binaryPly(bool bigEndian, const std::string& countType, int countBytes) {
  std::string bytes = std::string("ply\nformat ") + (bigEndian ? "binary_big_endian" : "binary_little_endian") +
                      " 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
                      "element face 2\nproperty list " + countType + " int vertex_indices\nend_header\n";
  const auto put = [&](std::uint32_t value, int size) {
    for (int k = 0; k < size; ++k) bytes += static_cast<char>(value >> (8 * (bigEndian ? size - 1 - k : k)));
  };
  const float one = 1000.0f;
  std::uint32_t oneBits = 0;
  std::memcpy(&oneBits, &one, 4);
  for (const std::uint32_t corner : {0u, 1u, 2u, 3u})
    for (std::uint32_t axis = 1; axis <= 3; ++axis) put(corner == axis ? oneBits : 0, 4);
  for (const std::uint32_t face : {0x020100u, 0x030201u}) {
    put(3, countBytes);
    for (int k = 0; k < 3; ++k) put((face >> (8 * k)) & 0xFF, 4);
  }
  return bytes;
}

TEST(GuardedImport, ModelChecksPassValidFilesAndRefuseDamagedOnes) {
  struct Row {
    const char* name;
    std::string bytes;
    const char* failure;  // nullptr: loads
  };
  const std::string offCorners = "OFF\n4 2 0\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n";
  const Row rows[] = {
      {"counts16.ply", binaryPly(false, "ushort", 2), nullptr},
      {"counts32.ply", binaryPly(true, "int", 4), nullptr},
      {"valid.off", offCorners + "3 0 1 2\n3 0 1 3\n", nullptr},
      {"short.off", offCorners + "3 0 1 2\n3 0 1\n",
       "The OFF file has a face with fewer corners than it counts, or a corner out of range."},
  };
  TestSupport::TempDir scratch;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TestSupport::writeFile(scratch / row.name, row.bytes);
    const Lumetra::MeshModel model = rendertest::loadModel((scratch / row.name).string());
    EXPECT_EQ(model.mLoaded, row.failure == nullptr) << model.mLoadFailure;
    if (row.failure == nullptr) {
      EXPECT_EQ(model.mFaces.size(), 2u);
    } else {
      EXPECT_EQ(model.mLoadFailure, row.failure);
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
  // A pipe without a writer: opening it never returns. A guard that left such a child running would
  // wait for it for ever: the test's own child is bounded.
  const fs::path pipe = scratch.path() / "model.obj";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(inChild([&pipe] {
              Lumetra::ImportGuardLimits limits;
              limits.seconds = 1;
              GuardLimits set(limits);
              TestSupport::LogCapture log;
              return !rendertest::loadModel(pipe.string()).mLoaded && log.contains("took longer than 1 s");
            }),
            "exit 0");
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
