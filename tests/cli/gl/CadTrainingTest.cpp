// CAD targets trained through the executable on the OpenGL display: the console lines of each
// outcome, the files of a trained target, and what a failed run leaves behind (nothing).
#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::quoted;
using TestSupport::readFile;
using TestSupport::runFormwright;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

const std::string kModels = "/usr/share/assimp/models/";
const std::string kCube = kModels + "3DS/cube_with_diffuse_texture.3DS";  // 12 triangles
const std::string kStl = kModels + "STL/3DSMaxExport.STL";                  // 2000 triangles
const std::string kStarting = "Starting CAD target training. This might take a few minutes.\n";
const std::string kFailed = "ERROR: An error occurred during target training.\n";

std::string cadConfig(const std::string& name, const std::string& radii, int views) {
  return "{\"Config.Target.Type\": \"CAD\", \"Config.Target.Name\": \"" + name +
         "\", \"CAD.UprightVector\": [0, 0, 1], \"CAD.Detection.DistanceRange\": " + radii +
         ", \"CAD.Detection.NumTrainingViews\": " + std::to_string(views) + "}";
}

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    names.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Run {
  TempDir dir;
  TestSupport::RunResult result;
  fs::path out() const { return dir / "out"; }
};

// One CAD training of the model into a fresh output folder, with the built-in camera unless a
// calibration file's content is given.
std::unique_ptr<Run> train(const std::string& model, const std::string& config, const std::string& camera = "",
                           long fileSizeLimit = -1) {
  auto run = std::make_unique<Run>();
  fs::create_directories(run->out());
  writeFile(run->dir / "config.json", config);
  std::vector<std::string> args = {run->out().string(), (run->dir / "config.json").string(), model};
  if (!camera.empty()) {
    writeFile(run->dir / "camera.json", camera);
    args.push_back((run->dir / "camera.json").string());
  }
  TestSupport::RunOptions options;
  options.fileSizeLimit = fileSizeLimit;
  run->result = runFormwright(args, options);
  return run;
}

// A display, or the rendering tests are skipped.
#define REQUIRE_DISPLAY() \
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display"

}  // namespace

TEST(CadTarget, TrainsAndWritesTheEdgeModelTemplatesAndModelCopy) {
  REQUIRE_DISPLAY();
  TempDir inputs;
  const fs::path upperCaseObj = inputs / "Spider.OBJ";
  fs::copy_file(kModels + "OBJ/spider.obj", upperCaseObj);
  // Radii and view counts at which every sampled pose set trains: the cube shows few edges, so
  // some of its views give too few features and it needs poses to spare.
  const struct {
    std::string model;
    int views;
    std::optional<int> exportedTriangles;  // a model in another format is exported as OBJ
  } rows[] = {
      {upperCaseObj.string(), 4, std::nullopt},
      {kCube, 30, 12},
      {kStl, 4, 2000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.model);
    const int views = row.views;
    const auto run = train(row.model, cadConfig("Part", "[0.12, 0.2]", views));
    const fs::path folder = run->out() / "PALOM_Part";
    ASSERT_EQ(run->result.out, kStarting + "Saved trained target files in " + quoted(folder.string()) +
                                   "\nTraining successfully finished.\n");
    EXPECT_EQ(run->result.exitStatus, 0);
    std::vector<std::string> expected = {"PALOM_Part", "PALOM_Part/PALOM_CAD_TARGET_CAD_MODEL.obj",
                                         "PALOM_Part/PALOM_CAD_TARGET_EDGE_MODEL.dat",
                                         "PALOM_Part/PALOM_CAD_TARGET_TEMPLATE.dat"};
    if (row.exportedTriangles) expected.insert(expected.begin() + 1, "PALOM_Part/PALOM_CAD_TARGET_CAD_MODEL.mtl");
    EXPECT_EQ(entries(run->out()), expected);

    // Template file: the class and the camera it was trained for, then `views` pyramids of two
    // levels of 127 features: per level 16 + 16 + 4 + 24 + 20 bytes of pose and frame, a count
    // and 9 bytes per feature.
    testsupport::LittleEndianReader in(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_TEMPLATE.dat"));
    EXPECT_EQ(in.u8(), 1);
    EXPECT_EQ(in.u64(), 4u);
    EXPECT_EQ(in.bytes(4), (std::vector<std::uint8_t>{'P', 'a', 'r', 't'}));
    EXPECT_EQ(in.u64(), 2u);
    const auto columnOfTwo = [&in] {
      EXPECT_EQ(in.i32(), 2);
      EXPECT_EQ(in.i32(), 1);
    };
    columnOfTwo();
    EXPECT_EQ(in.u32(), 640u);
    EXPECT_EQ(in.u32(), 480u);
    columnOfTwo();
    EXPECT_EQ(in.f32(), 321.21015433728f);
    EXPECT_EQ(in.f32(), 320.029337062024f);
    columnOfTwo();
    EXPECT_EQ(in.f32(), 320.0f);
    EXPECT_EQ(in.f32(), 240.0f);
    EXPECT_EQ(in.u64(), static_cast<std::uint64_t>(views));
    EXPECT_EQ(in.size(), in.offset() + views * (8 + 2 * (16 + 16 + 4 + 24 + 20 + 8 + 127 * 9)));

    // Edge model: the edge count, then per edge four 3-vectors and its samples, then 24 bytes.
    testsupport::LittleEndianReader edges(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_EDGE_MODEL.dat"));
    EXPECT_EQ(edges.u8(), 1);
    const std::uint64_t edgeCount = edges.u64();
    EXPECT_GT(edgeCount, 0u);
    EXPECT_GE(edges.size(), 9 + edgeCount * (4 * 20 + 8) + 24);

    const std::string copy = readFile(folder / "PALOM_CAD_TARGET_CAD_MODEL.obj");
    if (!row.exportedTriangles) {
      EXPECT_EQ(copy, readFile(row.model));
      continue;
    }
    std::size_t faces = 0;
    for (std::size_t at = copy.find("\nf "); at != std::string::npos; at = copy.find("\nf ", at + 1)) ++faces;
    EXPECT_EQ(faces, static_cast<std::size_t>(*row.exportedTriangles));
    EXPECT_NE(copy.find("\nmtllib PALOM_CAD_TARGET_CAD_MODEL.mtl\n"), std::string::npos);
  }
}

TEST(CadTarget, FailedTrainingsPrintTheirLineAndLeaveNothing) {
  REQUIRE_DISPLAY();
  const std::string camera = "{\"Resolution\": [100000, 100], \"FocalLength\": [500, 500], \"PrincipalPoint\": [5, 5]}";
  const struct {
    const char* name;
    std::string config, camera;
    long fileSizeLimit;
    std::string lines;
    bool startOnly;  // the output begins with the lines (the driver's largest size follows)
  } rows[] = {
      {"TooFewTemplatesFromAfar", cadConfig("Far", "[1.0, 3.0]", 5), "", -1,
       kStarting + "ERROR: Not enough templates generated. Try to reduce rendering radii\n" + kFailed, false},
      {"NothingCanBeWritten", cadConfig("Full", "[0.12, 0.2]", 30), "", 0,
       kStarting + "ERROR: Failed to write CAD target data to {folder}\n" + kFailed, false},
      {"CameraBeyondTheRenderTarget", cadConfig("Wide", "[0.2, 0.4]", 3),
       "{\"Resolution\": [100000, 100], \"FocalLength\": [500, 500], \"PrincipalPoint\": [5, 5]}", -1,
       "Configuration Error: Camera resolution 100000 x 100 is too large", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto run = train(kCube, row.config, row.camera, row.fileSizeLimit);
    std::string lines = row.lines;
    const std::size_t folder = lines.find("{folder}");
    if (folder != std::string::npos) lines.replace(folder, 8, quoted((run->out() / "PALOM_Full").string()));
    if (row.startOnly) {
      EXPECT_EQ(run->result.out.rfind(lines, 0), 0u) << run->result.out;
      EXPECT_NE(run->result.out.find("\nConfiguration error. Aborting training\n" + kFailed), std::string::npos);
    } else {
      EXPECT_EQ(run->result.out, lines);
    }
    EXPECT_EQ(run->result.exitStatus, 255);
    EXPECT_TRUE(entries(run->out()).empty());
  }
}

TEST(CadTarget, WithoutADisplayTheRendererCannotStart) {
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  const auto run = train(kCube, cadConfig("Dark", "[0.2, 0.4]", 3));
  if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
  EXPECT_EQ(run->result.out, kStarting + "ERROR: Could not load the model\n" + kFailed);
  EXPECT_EQ(run->result.exitStatus, 255);
  EXPECT_TRUE(entries(run->out()).empty());
}
