// CAD targets trained through the executable on the OpenGL display: the console lines of each
// outcome, the files of a trained target, and what a failed or interrupted run leaves behind
// (nothing).
#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

const std::string kModels = "/usr/share/assimp/models/";
const std::string kCube = kModels + "3DS/cube_with_diffuse_texture.3DS";  // 12 triangles
const std::string kStarting = "Starting CAD target training. This might take a few minutes.\n";
const std::string kFailed = "ERROR: An error occurred during target training.\n";

// One CAD training of the target Bracket into `out`, with the built-in camera unless a calibration
// file's content is given. Returns what the output folder then holds.
std::vector<std::string> train(const fs::path& out, const std::string& model, const std::string& radii, int views,
                               RunResult& result, const std::string& camera = "") {
  fs::create_directories(out);
  writeFile(out.parent_path() / "config.json",
            "{\"Config.Target.Type\": \"CAD\", \"Config.Target.Name\": \"Bracket\", \"CAD.UprightVector\": [0, 0, 1], "
            "\"CAD.Detection.DistanceRange\": " + radii + ", \"CAD.Detection.NumTrainingViews\": " +
                std::to_string(views) + "}");
  std::vector<std::string> args = {out.string(), (out.parent_path() / "config.json").string(), model};
  if (!camera.empty()) writeFile(args.emplace_back(args[1] + ".cam"), camera);
  result = runFormwright(args);
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(out)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(CadTarget, TrainsAndWritesTheEdgeModelTemplatesAndModelCopy) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  TempDir dir;
  fs::copy_file(kModels + "OBJ/spider.obj", dir / "Spider.OBJ");
  // The cube shows few edges: some of its views give too few features, so it needs views to spare.
  const struct {
    std::string model;
    int views, exportedTriangles;  // a model in another format is exported as OBJ; 0 for an OBJ
  } rows[] = {{(dir / "Spider.OBJ").string(), 4, 0}, {kCube, 30, 12}, {kModels + "STL/3DSMaxExport.STL", 4, 2000}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.model);
    const fs::path out = dir / ("out" + std::to_string(row.views) + row.model.substr(row.model.size() - 3));
    RunResult r;
    std::vector<std::string> names = {"PALOM_Bracket", "PALOM_CAD_TARGET_CAD_MODEL.obj",
                                      "PALOM_CAD_TARGET_EDGE_MODEL.dat", "PALOM_CAD_TARGET_TEMPLATE.dat"};
    if (row.exportedTriangles) names.insert(names.begin() + 1, "PALOM_CAD_TARGET_CAD_MODEL.mtl");
    EXPECT_EQ(train(out, row.model, "[0.12, 0.2]", row.views, r), names);
    const fs::path folder = out / "PALOM_Bracket";
    EXPECT_EQ(r.out, kStarting + "Saved trained target files in " + quoted(folder.string()) + "\n" +
                         "Training successfully finished.\n");
    EXPECT_EQ(r.exitStatus, 0);

    // Template file: name, level count, the built-in camera, then one pyramid per view of two levels:
    // 16 + 16 + 4 + 24 + 20 bytes of frame and pose, a count and 127 features of 9 bytes each.
    testsupport::LittleEndianReader in(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_TEMPLATE.dat"));
    const auto column = [&in] { return in.i32() == 2 && in.i32() == 1; };
    EXPECT_TRUE(in.u8() == 1 && in.u64() == 7 &&
                in.bytes(7) == std::vector<std::uint8_t>({'B', 'r', 'a', 'c', 'k', 'e', 't'}));
    EXPECT_TRUE(in.u64() == 2 && column() && in.u32() == 640 && in.u32() == 480);
    EXPECT_TRUE(column() && in.f32() == 321.21015433728f && in.f32() == 320.029337062024f);
    EXPECT_TRUE(column() && in.f32() == 320.0f && in.f32() == 240.0f);
    EXPECT_EQ(in.u64(), static_cast<std::uint64_t>(row.views));
    EXPECT_EQ(in.size(), in.offset() + row.views * (8 + 2 * (16 + 16 + 4 + 24 + 20 + 8 + 127 * 9)));

    // Edge model: the edge count, then per edge four 3-vectors and its samples, then 24 bytes.
    testsupport::LittleEndianReader edges(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_EDGE_MODEL.dat"));
    const std::uint64_t edgeCount = edges.u8() == 1 ? edges.u64() : 0;
    EXPECT_TRUE(edgeCount > 0 && edges.size() >= 9 + edgeCount * (4 * 20 + 8) + 24);
    const std::string copy = readFile(folder / "PALOM_CAD_TARGET_CAD_MODEL.obj");
    if (!row.exportedTriangles) {
      EXPECT_EQ(copy, readFile(row.model));
      continue;
    }
    int faces = 0;
    for (auto at = copy.find("\nf "); at != std::string::npos; at = copy.find("\nf ", at + 1)) ++faces;
    EXPECT_EQ(faces, row.exportedTriangles);
    EXPECT_NE(copy.find("\nmtllib PALOM_CAD_TARGET_CAD_MODEL.mtl\n"), std::string::npos);
  }
}

TEST(CadTarget, FailedTrainingsPrintTheirLineAndLeaveNothing) {
  TempDir dir;
  RunResult r;
  const std::string display = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
  unsetenv("DISPLAY");  // the renderer cannot start
  EXPECT_TRUE(train(dir / "dark", kCube, "[0.12, 0.2]", 3, r).empty());
  if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
  EXPECT_EQ(r.out, kStarting + "ERROR: Could not load the model\n" + kFailed);
  EXPECT_NE(r.err.find("set DISPLAY"), std::string::npos) << r.err;
  if (display.empty()) GTEST_SKIP() << "no display";

  EXPECT_TRUE(train(dir / "far", kCube, "[1.0, 3.0]", 5, r).empty());
  EXPECT_EQ(r.out, kStarting + "ERROR: Not enough templates generated. Try to reduce rendering radii\n" + kFailed);
  const std::string wide = "{\"Resolution\": [100000, 100], \"FocalLength\": [500, 500], \"PrincipalPoint\": [5, 5]}";
  EXPECT_TRUE(train(dir / "wide", kCube, "[0.12, 0.2]", 3, r, wide).empty());
  EXPECT_EQ(r.out.rfind("Configuration Error: Camera resolution 100000 x 100 is too large", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nConfiguration error. Aborting training\n" + kFailed), std::string::npos);
  EXPECT_EQ(r.exitStatus, 255);
}

TEST(CadTarget, InterruptedTrainingLeavesTheOutputAsItWasAndNoProcess) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  const std::string examples = std::string(FORMWRIGHT_SOURCE_DIR) + "/examples/";
  TempDir dir;
  const fs::path out = dir / "out";
  fs::create_directories(out / "PALOM_Other");
  writeFile(out / "PALOM_Other/file", "kept");
  // What ended runs left (a hidden staging folder no run locks) goes; entries of other shapes stay.
  fs::create_directory(out / "PALOM_Bracket.tmp-999999999-4");
  writeFile(out / ".PALOM_Bracket.tmp-999999999-0", "");
  const auto before = snapshotTree(out);
  fs::create_directory(out / ".PALOM_Bracket.tmp-999999999-1");
  writeFile(out / ".PALOM_Bracket.tmp-999999999-1/PALOM_CAD_TARGET_EDGE_MODEL.dat", "");

  for (const int signal : {SIGINT, SIGTERM}) {
    const pid_t run = fork();
    if (run == 0) {
      setpgid(0, 0);
      dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
      execl(FORMWRIGHT_EXE, FORMWRIGHT_EXE, out.c_str(), (examples + "cad-target.json").c_str(),
            (examples + "models/bracket.obj").c_str(), nullptr);
      _exit(127);
    }
    // Signalled once the folder it assembles holds a file.
    const fs::path written =
        out / (".PALOM_Bracket.tmp-" + std::to_string(run) + "-0") / "PALOM_CAD_TARGET_EDGE_MODEL.dat";
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(run, &status, WNOHANG)) == 0 && !fs::exists(written)) usleep(2000);
    if (ended == 0 && kill(run, signal) == 0) waitpid(run, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(snapshotTree(out), before);
    EXPECT_TRUE(kill(-run, 0) != 0 && errno == ESRCH);
  }
}
