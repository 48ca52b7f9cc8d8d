// Bad CAD models, CAD settings and calibrations, a filling output folder, and refused settings of
// the multiple view generator, through the executable, one table row each. A row must print
// exactly its lines, exit with its status and no signal, and leave the output folder empty when
// it fails. A refused generator setting trains the image target without the added keypoints or
// debug pictures: its keypoint file equals the one of a run with the generator off.
#include "FakeDisplays.h"
#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

struct Row {
  std::string name;
  std::map<std::string, std::string> settings;  // configuration members over the defaults below
  std::string expected;                         // {target} stands for the target folder as printed
  Files files;                                  // input files besides the configuration
  std::string model = "model.obj";              // the data file, in the input folder
  int exitStatus = 255;
  long fileSizeLimit = -1;
  std::string err = "";     // standard error; {out} and {model} stand for the output folder and the
                            // data file as printed
  bool fiveGigabytes = false;  // the run's address space limited to 5 GB (ulimit -v 5000000)
  std::string env = "";        // a variable set for the run; {display} names a display that never answers,
                               // {first} one that answers only its first connection, {closing}
                               // one that closes every later one once it answered
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

const std::string kModels = "/usr/share/assimp/models/";
const std::string kPhotograph = std::string(FORMWRIGHT_OPENCV_DATA) + "/graf1.png";
const std::string kStarting = "Starting CAD target training. This might take a few minutes.\n";
const std::string kUnusable = kStarting + "ERROR: Could not load the model\n";
const std::string kTrained = kStarting + "Saved trained target files in {target}\n";
const std::string kFullOutput = kStarting + "ERROR: Failed to write CAD target data to {target}\n";
const std::string kFinished = "Training successfully finished.\n";
const std::string kFailed = "ERROR: An error occurred during target training.\n";
const std::string kUpright = "Configuration Error: Upright axis malformed. Provide an axis in the following format: "
                             "[x,y,z] \n Example: +X:[1,0,0] , -Y [0,-1,0]\n";
const std::string kTriangle = "v 0 0 0\nv 10 0 0\nv 0 10 0\nf 1 2 3\n";

std::string refused(const std::string& line) { return line + "\nConfiguration error. Aborting training\n"; }
std::string error(const std::string& text) { return refused("Configuration Error: " + text); }
std::string views(const std::string& n) {
  return error("Number of views (" + n + ") is less than or equal to 0 or exceeds maximum of 10000");
}

std::string unloadable(const std::string& why) { return "The model {model} could not be loaded: " + why + ".\n"; }
Row model(std::string name, std::string content, const std::string& why) {
  return {std::move(name), {}, kUnusable, {{"model.obj", std::move(content)}}, "model.obj", 255, -1, unloadable(why)};
}
// A file name and its content under a 5 GB address space limit, with the example's sampling settings.
Row limited(std::string name, std::string file, std::string content, std::string expected, std::string reason) {
  const int status = expected == kTrained + kFinished ? 0 : 255;
  // 40 views: not every set of four views of the bracket gives four templates.
  std::map<std::string, std::string> example = {{"CAD.UprightVector", "[0, 1, 0]"},
      {"CAD.Detection.DistanceRange", "[0.3, 0.5]"}, {"CAD.Detection.ElevationAngleRange", "[10, 70]"},
      {"CAD.Detection.NumTrainingViews", "40"}};
  return {std::move(name), std::move(example), std::move(expected), {{file, std::move(content)}}, file, status, -1,
          std::move(reason), true};
}
Row setting(std::string name, std::string key, std::string value, std::string expected) {
  return {std::move(name), {{std::move(key), std::move(value)}}, std::move(expected), {}};
}
Row camera(std::string name, std::string content, std::string expected) {
  return {std::move(name), {}, refused(std::move(expected)), {{"camera.json", std::move(content)}}};
}
// The spider (many sharp edges: four views are enough) with a material file of the given texture.
Row spider(std::string name, Files files, std::string expected, long fileSizeLimit = -1, std::string err = "") {
  files.push_back({"spider.obj", readFile(kModels + "OBJ/spider.obj")});
  const int status = expected == kTrained + kFinished ? 0 : 255;
  return {std::move(name), {}, std::move(expected), std::move(files), "spider.obj", status, fileSizeLimit,
          std::move(err)};
}
std::string unwritable(const std::string& file) {
  return "Could not write " + file + " into {out}: make room on its disk or allow writing there.\n";
}
// A 5 cm cube: few edges, so it needs 30 views.
Row cube(std::string name, const std::string& padding, long fileSizeLimit, const std::string& file) {
  std::string obj = padding;
  for (int corner = 0; corner < 8; ++corner) {
    for (int bit : {4, 2, 1}) obj += (bit == 4 ? "v " : " ") + std::string(corner & bit ? "25" : "-25");
    obj += "\n";
  }
  obj += "f 1 2 4 3\nf 5 7 8 6\nf 1 5 6 2\nf 3 4 8 7\nf 1 3 7 5\nf 2 6 8 4\n";
  return {std::move(name), {{"CAD.Detection.NumTrainingViews", "30"}}, kFullOutput, {{"cube.obj", obj}}, "cube.obj",
          255, fileSizeLimit, unwritable(file)};
}
std::string farCube() {
  std::string obj;
  for (int c = 0; c < 8; ++c)
    obj += std::string(c & 4 ? "v 2000005" : "v 1999995") + (c & 2 ? " 5" : " -5") + (c & 1 ? " 5\n" : " -5\n");
  return obj + "f 1 2 4 3\nf 5 7 8 6\nf 1 5 6 2\nf 3 4 8 7\nf 1 3 7 5\nf 2 6 8 4\n";
}
// 2800 triangles around one edge from (0, 0, -50) to (0, 0, 50).
std::string fan() {
  std::string obj = "v 0 0 -50\nv 0 0 50\n", faces;
  for (int k = 0; k < 2800; ++k) {
    obj += "v " + std::to_string(50 * std::cos(k * M_PI / 1400)) + " " + std::to_string(50 * std::sin(k * M_PI / 1400)) + " 0\n";
    faces += "f 1 2 " + std::to_string(k + 3) + "\n";
  }
  return obj + faces;
}
// A calibration that puts the 10 mm triangle (reach 7.45 mm) outside the picture, and the reason.
Row outside(std::string name, const std::string& focal, const std::string& principal, const std::string& reason) {
  return {std::move(name), {}, kStarting + "ERROR: Not enough templates generated. Try to reduce rendering radii\n",
          {{"camera.json", "{\"Resolution\": [640, 480], \"FocalLength\": " + focal + principal + "}"}}, "model.obj",
          255, -1, "Only 0 of 4 views gave a template; the model measures 0.01 x 0.01 x 0 m (read in millimetres) and "
          "the cameras stand 0.12 m to 0.2 m from its centre (CAD.Detection.DistanceRange).\n" + reason + "\n"};
}
// A cone of 16 sides, 100 mm wide and high, its apex at (0, 0, 50).
std::string cone() {
  std::string obj, faces;
  for (int k = 0; k < 16; ++k) {
    obj += "v " + std::to_string(50 * std::cos(k * M_PI / 8)) + " " + std::to_string(50 * std::sin(k * M_PI / 8)) + " -50\n";
    faces += "f 17 " + std::to_string((k + 1) % 16 + 1) + " " + std::to_string(k + 1) + "\nf " + std::to_string(k + 1) +
             " " + std::to_string((k + 1) % 16 + 1) + " 18\n";
  }
  return obj + "v 0 0 -50\nv 0 0 50\n" + faces;
}
// A millimetre-wide triangle half a metre out: 1.61 pixels wide (321.21 x 0.001 / 0.2) at the
// farthest camera, which aims at the origin, 0.5 m off. `views` is the number the reason counts.
Row millimetreWide(std::string name, std::map<std::string, std::string> settings, const std::string& note, int views) {
  return {std::move(name), std::move(settings), kStarting + "ERROR: Not enough templates generated. Try to reduce "
          "rendering radii\n", {{"model.obj", "v 500 0 0\nv 501 0 0\nv 500 1 0\nf 1 2 3\n"}}, "model.obj", 255, -1,
          note + "Only 0 of " + std::to_string(views) + " views gave a template; the model measures 0.001 x 0.001 x 0 m "
          "(read in millimetres) and the cameras stand 0.12 m to 0.2 m from its centre (CAD.Detection.DistanceRange).\n"
          "From 0.2 m the model spans 1.61 pixels, too few for its edges: lower CAD.Detection.DistanceRange, or scale "
          "the model by 1000 if it was made in metres.\nThe cameras aim at the model's origin, 0.5 m from the model's "
          "centre: move the model's centre to its origin.\n"};
}
Files textured(const std::string& texture) {
  std::string materials;
  for (const char* name : {"Skin", "Brusttex", "HLeibTex", "BeinTex"}) {
    materials += "newmtl " + std::string(name) + "\nKd 0.8 0.8 0.8\nmap_Kd tex.png\n";
  }
  return {{"spider.mtl", materials}, {"tex.png", texture}};
}
Row mvg(std::string name, std::map<std::string, std::string> settings, const std::string& why) {
  settings["Config.MVG.Enabled"] = settings["Config.MVG.Debug"] = "true";
  return {std::move(name), std::move(settings), kFinished, {}, "", 0, -1,
          "The multiple view generator was skipped (" + why + "); the target was trained without synthetic views\n"};
}

Row with(std::string env, Row row) {
  row.env = std::move(env);
  return row;
}

const std::string kStalled = "the X display {display} (DISPLAY) answered a first connection, but starting OpenGL over "
    "it (the window library's own connection, the context, the driver's functions) did not end within 10 seconds: it "
    "may serve one client at a time or have stopped answering; restart it or the connection that forwards it, or set "
    "DISPLAY to another display";

std::vector<Row> rows() {
  std::string pngHuge = readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/blocks-64x48.png");
  pngHuge.replace(16, 8, "\x00\x00\x4e\x20\x00\x00\x4e\x20", 8);  // 20000 x 20000 gray pixels
  std::string pngWide = pngHuge;
  pngWide.replace(16, 8, "\x00\x00\x80\x00\x00\x00\x04\x00", 8);  // 32768 x 1024: within the pixels, not the side
  std::vector<Row> all = {
      // Model files that give no surface to train: one per check that refuses them (files the
      // import library refuses are the model loader's own tests).
      model("ModelEmpty", "", "OBJ-file is too small"),
      model("ModelDegenerateTrianglesOnly", "v 0 0 0\nv 10 0 0\nv 20 0 0\nf 1 2 3\nf 1 1 2\nf 3 3 3\n",
            "it imported without any triangle that has an area"),
      model("ModelNotANumberCoordinate", "v 0 0 0\nv nan 0 0\nv 0 10 0\nf 1 2 3\n" + kTriangle,
            "it has a vertex with a non-finite coordinate"),
      model("ModelTooLargeForItsFaceNormals", "v 0 0 0\nv 1e30 0 0\nv 0 1e30 0\nf 1 2 3\n",
            "its coordinates are too large for its face normals"),
      // Under a memory limit the example trains, and a file that asks the importer for 10 GB does not.
      limited("ExampleUnderAMemoryLimit", "model.obj", readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/examples/models/bracket.obj"),
              kTrained + kFinished, ""),
      limited("ModelAskingForTenGigabytesUnderAMemoryLimit", "huge.ply",
              readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/huge-allocation.ply"), kUnusable,
              unloadable("its import was stopped at its memory limit of N MB")),
      limited("ModelOf2800FacesOnOneEdgeUnderAMemoryLimit", "fan.obj", fan(), kUnusable,
              "The model {model} has an edge that 2800 faces share, from (0, 0, -50) to (0, 0, 50): its edge model "
              "would be larger than training can hold (at most 1048576 edges where faces meet at an angle and "
              "16777216 sample points); remove the faces that repeat that edge.\n"),
      // A 1 cm cube 2 km out, where neighbouring floats lie further apart than the edge samples.
      {"ModelFarFromTheOrigin", {}, kStarting + "ERROR: Not enough templates generated. Try to reduce rendering radii\n",
       {{"model.obj", farCube()}}, "model.obj", 255, -1,
       "Only 0 of 4 views gave a template; the model measures 0.01 x 0.01 x 0.01 m (read in millimetres) and the "
       "cameras stand 0.12 m to 0.2 m from its centre (CAD.Detection.DistanceRange).\nFrom 0.2 m the model spans 16.1 "
       "pixels, too few for its edges: lower CAD.Detection.DistanceRange.\nThe cameras aim at the model's origin, 2000 m "
       "from the model's centre: move the model's centre to its origin.\n"},
      millimetreWide("ModelMillimetreWideAwayFromItsOrigin", {}, "", 4),
      // Symmetric about every axis: its views come down to one, which the counts name.
      millimetreWide("SymmetricModelMillimetreWideAwayFromItsOrigin", {{"CAD.Model.ContinuousSymmetries", "\"XYZ\""}},
                     "CAD.Model.ContinuousSymmetries \"XYZ\" leaves 0 of the 8 camera views that 4 templates take (a "
                     "symmetric model shows fewer distinct views): 1 templates are enough, not the 4 of "
                     "CAD.Detection.NumTrainingViews.\n", 1),
      // A 16-sided cone of 100 mm seen from 0.8 m to 1 m: every view shows enough edge points, on too few pixels.
      {"ConeTooSmallInEveryView", {{"CAD.Detection.DistanceRange", "[0.8, 1.0]"}}, kStarting + "ERROR: Not enough "
       "templates generated. Try to reduce rendering radii\n", {{"model.obj", cone()}}, "model.obj", 255, -1,
       "Only 0 of 4 views gave a template; the model measures 0.1 x 0.1 x 0.1 m (read in millimetres) and the cameras "
       "stand 0.8 m to 1 m from its centre (CAD.Detection.DistanceRange).\n8 of the 8 camera views tried showed the "
       "model too small for a template, even with edge samples down to every 0.708 mm (0.75 % of the model's reach): "
       "their edge points fell on fewer than the 127 distinct pixels a template needs at half resolution; bring the "
       "cameras nearer: lower CAD.Detection.DistanceRange.\n"},
      // A texture too large or unreadable: the model trains untextured, each file said once.
      spider("TextureHeaderOfAHugePicture", textured(pngHuge), kTrained + kFinished, -1,
             "The model's texture {tex} is 20000 x 20000 pixels, more than a texture may have (67108864 pixels, 16384 "
             "a side): it was left out of training; scale it down.\n"),
      spider("TextureHeaderOfAWidePicture", textured(pngWide), kTrained + kFinished, -1,
             "The model's texture {tex} is 32768 x 1024 pixels, more than a texture may have (67108864 pixels, 16384 "
             "a side): it was left out of training; scale it down.\n"),
      spider("TextureUnreadable", textured(""), kTrained + kFinished, -1,
             "The model's texture {tex} could not be decoded (damaged, or not a PNG, JPEG, BMP, PGM or PPM picture): it "
             "was left out of training; put a PNG, JPEG or BMP picture there, or correct the name in the model's "
             "materials.\n"),
      // Output that fills up in one file each: the spider's edge model (266 kB; its templates take
      // 10 kB, its copy 106 kB), the cube's templates (74 kB; its edge model takes 9 kB) and the copy
      // of a cube padded to 200 kB.
      spider("OutputFullInTheEdgeModel", {}, kFullOutput, 150000, unwritable("PALOM_CAD_TARGET_EDGE_MODEL.dat")),
      cube("OutputFullInTheTemplates", "", 20000, "PALOM_CAD_TARGET_TEMPLATE.dat"),
      cube("OutputFullInTheModelCopy", "#" + std::string(200000, '-') + "\n", 100000, "PALOM_CAD_TARGET_CAD_MODEL.obj"),
      // Settings.
      setting("UprightLengthAtTheLimit", "CAD.UprightVector", "[1e-5, 0, 0]", kUpright),
      {"UprightJustAboveTheLimit", {{"CAD.UprightVector", "[0, 0, 2e-5]"}, {"CAD.Detection.DistanceRange", "[0.3]"}},
       error("Two radii are necessary (minimum and maximum)"), {}},
      setting("RadiiInverted", "CAD.Detection.DistanceRange", "[0.6, 0.5]",
              error("Minimum radius needs to be smaller or equal to maximum radius")),
      setting("RadiusBelowFloat", "CAD.Detection.DistanceRange", "[1e-50, 0.5]",
              error("Radius 1e-50 is 0 in single precision")),
      setting("Views10001", "CAD.Detection.NumTrainingViews", "10001", views("10001")),
      setting("ViewsLowestInt", "CAD.Detection.NumTrainingViews", "-2147483648", views("-2147483648")),
      setting("ElevationThreeValues", "CAD.Detection.ElevationAngleRange", "[0, 10, 20]",
              error("Elevation range need to contain 2 values")),
      setting("ElevationBelowMinus90", "CAD.Detection.ElevationAngleRange", "[-90.001, 0]",
              error("Elevation values must be within [-90, 90] degrees")),
      setting("ElevationEqual", "CAD.Detection.ElevationAngleRange", "[10, 10]",
              error("Elevation minimum value needs to be smaller than the maximum value")),
      setting("DiscreteSymmetriesFour", "CAD.Model.DiscreteSymmetries", "[90, 0, 0, 0]",
              refused("For discrete symmetries 3 values must be provided.")),
      setting("DiscreteSymmetryBeyondFloat", "CAD.Model.DiscreteSymmetries", "[0, 1e300, 0]",
              error("Discrete symmetry angle 1e+300 degrees is inf in radians in single precision")),
      {"ContinuousSymmetryLettersReportedBeforeARefusal",
       {{"CAD.Model.ContinuousSymmetries", "\"w-X\""}, {"CAD.Model.DiscreteSymmetries", "[1]"}},
       "Ignoring axis {w} for continuous symmetries\nIgnoring axis {-} for continuous symmetries\n" +
           refused("For discrete symmetries 3 values must be provided."), {}, "model.obj", 255, -1,
       "For discrete symmetries 3 values must be provided.\n"},
      // Calibrations.
      camera("CameraHeightNegative", "{\"Resolution\": [640, -1], \"FocalLength\": [500, 500]}",
             "Configuration Error: Camera resolution 640 x -1 must be at least 1 x 1"),
      camera("CameraFocalLengthBelowFloat", "{\"Resolution\": [640, 480], \"FocalLength\": [500, 1e-50]}",
             "Configuration Error: Camera focal length 1e-50 is 0 in single precision"),
      outside("CameraWithoutPrincipalPoint", "[500, 500]", "", "PrincipalPoint [0, 0] of {camera} puts the "
              "model's centre there, and the model reaches outside the 640 x 480 picture: set it near the picture's "
              "centre [320, 240]."),
      outside("CameraFocalLength1e30", "[1e30, 1e30]", ", \"PrincipalPoint\": [320, 240]", "FocalLength [1e+30, "
              "1e+30] of {camera} makes the model 7.45e+28 pixels wide even from 0.2 m, larger than the 640 x 480 "
              "picture: check the focal length, in pixels."),
      // Refused generator settings.
      mvg("MvgDensityLowerCase", {{"MVG.Render.Density", "\"min\""}},
          "MVG.Render.Density \"min\" is not MIN, MODERATE or MAX"),
      mvg("MvgDistScaleZero", {{"MVG.Render.DistScale", "0"}}, "MVG.Render.DistScale 0 must be positive and finite"),
      mvg("MvgZNearBelowFloat", {{"MVG.Render.ZNear", "1e-50"}},
          "MVG.Render.ZNear 1e-50 must be positive and at least 1e-45, the smallest the renderer holds"),
      {"MvgWithoutKeypoints", {{"Config.MVG.Enabled", "true"}, {"MVGTrainer.Extractor.Number", "0"}}, kFinished, {}, "",
       0, -1, "MVGTrainer.Extractor.Number is 0, so the synthetic views added no keypoints; raise it to train the "
              "target for views at an angle\n"},
      mvg("MvgZFarEqualToZNear", {{"MVG.Render.ZNear", "0.5"}, {"MVG.Render.ZFar", "0.5"}},
          "MVG.Render.ZFar 0.5 must be finite and beyond MVG.Render.ZNear 0.5"),
      // The window system cannot start: the image road trains without the views, the CAD road fails.
      with("DISPLAY={display}", mvg("MvgOnASilentDisplay", {}, "the X display {display} (DISPLAY) accepted a connection but did not answer it within 5 seconds; restart it or the connection that forwards it, or set DISPLAY to another display")),
      with("DISPLAY={display}", {"CadOnASilentDisplay", {}, kUnusable, {}, "model.obj", 255, -1,
                                 "OpenGL could not be started: the X display {display} (DISPLAY) accepted a connection but did not answer it within 5 seconds; restart it or the connection that forwards it, or set DISPLAY to another display.\n"}),
      // Only the first connection is answered: the window library's own connection stalls.
      with("DISPLAY={first}", mvg("MvgOnADisplayAnsweringOnlyItsFirstConnection", {}, kStalled)),
      with("DISPLAY={first}", {"CadOnADisplayAnsweringOnlyItsFirstConnection", {}, kUnusable, {}, "model.obj", 255, -1,
                               "OpenGL could not be started: " + kStalled + ".\n"}),
      // The start is answered, the window the generator opens afterwards is not.
      with("DISPLAY={stalling}", mvg("MvgOnADisplayStallingAtItsWindow", {},
                                     "the X display {display} (DISPLAY) stopped answering while a window was being "
                                     "opened (nothing came within 10 seconds); restart it or the connection that "
                                     "forwards it, or set DISPLAY to another display")),
      with("DISPLAY={closingAtWindow}", mvg("MvgOnADisplayClosingAtItsWindow", {},
                                            "the X display {display} (DISPLAY) closed its connection while a window "
                                            "was being opened; restart it or the connection that forwards it, or set "
                                            "DISPLAY to another display")),
      // Later connections are answered and then closed: the window library's connection breaks.
      with("DISPLAY={closing}", {"CadOnADisplayClosingLaterConnections", {}, kUnusable, {}, "model.obj", 255, -1,
                                 "OpenGL could not be started: the X display {display} (DISPLAY) closed its connection "
                                 "while OpenGL was starting; restart it or the connection that forwards it, or set "
                                 "DISPLAY to another display.\n"}),
      with("LIBGL_ALWAYS_INDIRECT=1", {"CadWithIndirectRendering", {}, kUnusable, {}, "model.obj", 255, -1,
                                       "OpenGL could not be started: LIBGL_ALWAYS_INDIRECT=1 asks for indirect "
                                       "rendering, which offers no OpenGL 3.3 core-profile context here; unset "
                                       "LIBGL_ALWAYS_INDIRECT.\n"}),
  };
  return all;
}

// Trains the row in a fresh folder; `keyPoints` gets an image target's keypoint file.
RunResult train(const Row& row, const fs::path& root, std::string* keyPoints = nullptr,
                const std::string& display = silentDisplay()) {
  const bool image = row.model.empty();
  std::map<std::string, std::string> settings = {
      {"Config.Target.Type", image ? "\"Image\"" : "\"CAD\""}, {"Config.Target.Name", "\"Cad\""}};
  if (image) {
    settings.insert({{"Object.Physical.Width", "0.5"}, {"Object.Physical.Height", "0.4"}});
  } else {
    settings.insert({{"CAD.UprightVector", "[0, 0, 1]"}, {"CAD.Detection.DistanceRange", "[0.12, 0.2]"},
                     {"CAD.Detection.NumTrainingViews", "4"}});
  }
  for (const auto& [key, value] : row.settings) settings[key] = value;
  std::string config;
  for (const auto& [key, value] : settings) config += (config.empty() ? "{\"" : ", \"") + key + "\": " + value;
  writeFile(root / "config.json", config + "}");
  fs::create_directory(root / "out");
  fs::create_directory(root / "cwd");  // the working directory, where debug pictures would go
  std::vector<std::string> args = {(root / "out").string(), (root / "config.json").string(),
                                   image ? kPhotograph : (root / row.model).string()};
  if (!image) writeFile(root / "model.obj", kTriangle);
  for (const auto& [name, content] : row.files) {
    writeFile(root / name, content);
    if (name == "camera.json") args.push_back((root / name).string());
  }
  std::optional<FileSizeLimit> full;  // files of the run cannot grow beyond the row's limit
  if (row.fileSizeLimit >= 0) full.emplace(row.fileSizeLimit);
  const std::vector<std::string> limited = {"-c", "ulimit -v 5000000 && exec \"$0\" \"$@\"", FORMWRIGHT_EXE};
  if (row.fiveGigabytes) args.insert(args.begin(), limited.begin(), limited.end());
  const std::string env = std::regex_replace(row.env, std::regex("\\{display\\}|\\{first\\}|\\{closing\\}|\\{stalling\\}|\\{closingAtWindow\\}"), display);
  // A run on a misbehaving display that waits for it without bound is ended after a minute.
  if (!env.empty()) args.insert(args.begin(), {"-s", "KILL", "60", "/usr/bin/env", env, FORMWRIGHT_EXE});
  RunResult result = row.fiveGigabytes ? run("/bin/sh", args, root / "cwd")
                     : env.empty()     ? runFormwright(args, root / "cwd")
                                       : run("/usr/bin/timeout", args, root / "cwd");
  full.reset();
  if (keyPoints != nullptr) *keyPoints = readFile(root / "out/PALOM_Cad/PALOM_IMG_TARGET_KPT.dat");
  return result;
}

class BadInput3d : public ::testing::TestWithParam<Row> {};

TEST_P(BadInput3d, PrintsItsLinesAndLeavesNothingWhenItFails) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  const Row& row = GetParam();
#ifdef __SANITIZE_ADDRESS__
  if (row.fiveGigabytes) GTEST_SKIP() << "the address sanitizer needs more address space";
#endif
  TempDir dir;
  std::string keyPoints;
  std::optional<FirstConnectionDisplay> first;
  for (const auto& [token, later] : {std::pair{"{first}", LaterConnections::Unanswered},
                                     {"{closing}", LaterConnections::ClosedAfterSetUp},
                                     {"{stalling}", LaterConnections::StalledAtThirdWindow},
                                     {"{closingAtWindow}", LaterConnections::ClosedAtThirdWindow}}) {
    if (row.env.find(token) != std::string::npos) first.emplace(later);
  }
  const std::string display = first ? first->name() : silentDisplay();
  const RunResult r = train(row, dir.path(), row.model.empty() ? &keyPoints : nullptr, display);
  std::string expected = row.expected;
  if (row.exitStatus != 0) expected += kFailed;
  const std::size_t at = expected.find("{target}");
  if (at != std::string::npos) expected.replace(at, 8, quoted((dir / "out/PALOM_Cad").string()));
  EXPECT_EQ(r.out, expected);
  // Unless given, a failed run repeats its first line on standard error.
  std::string err = row.err.empty() && row.exitStatus != 0 ? expected.substr(0, expected.find('\n') + 1) : row.err;
  for (const auto& [token, path] : {std::pair<std::string, fs::path>{"{out}", dir / "out"}, {"{model}", dir / row.model},
                                     {"{display}", display}, {"{tex}", dir / "tex.png"}, {"{camera}", dir / "camera.json"}}) {
    if (err.find(token) != std::string::npos) err.replace(err.find(token), token.size(), quoted(path.string()));
  }
  // The import's memory limit depends on what the process has mapped, which varies with the machine.
  EXPECT_EQ(std::regex_replace(r.err, std::regex("memory limit of [0-9]+ MB"), "memory limit of N MB"), err);
  EXPECT_EQ(r.exitStatus, row.exitStatus);
  EXPECT_EQ(r.signal, 0);
  EXPECT_TRUE(fs::is_empty(dir / "cwd"));
  if (row.exitStatus != 0) {
    EXPECT_TRUE(fs::is_empty(dir / "out"));
  }
  if (!row.model.empty()) return;
  static const std::string plain = [] {
    TempDir off;
    std::string bytes;
    train(Row{"Off", {}, kFinished, {}, "", 0}, off.path(), &bytes);
    return bytes;
  }();
  EXPECT_EQ(keyPoints.size(), plain.size());
  EXPECT_TRUE(keyPoints == plain);
}

// Debug pictures are written whole or not at all: one whose name a folder takes is lost and said
// so on standard error; every other one is a complete picture.
TEST(MvgDebugPictures, ALostPictureIsNamedAndTheOthersAreWhole) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  TempDir dir;
  fs::create_directories(dir / "cwd/Cad_MVG_00000.png");
  const RunResult r = train(mvg("Debug", {}, ""), dir.path());
  std::size_t written = 0;
  for (const auto& entry : fs::directory_iterator(dir / "cwd")) {
    testsupport::DecodedPicture picture;
    if (entry.is_regular_file()) written += testsupport::decodePng(entry.path(), picture) ? 1 : 1000;
  }
  EXPECT_TRUE(r.exitStatus == 0 && written > 1);
  EXPECT_EQ(r.err, "1 of " + std::to_string(written + 1) + " debug pictures (Config.MVG.Debug) could not be written " +
                       "into the working folder, Cad_MVG_00000.png first: a file of that name exists\n");
}

// A batch gives its display up once: every later target names the same reason without waiting.
TEST(MvgDisplay, ABatchOnADisplayStallingAtItsWindowSaysWhyForEachTarget) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  TempDir dir;
  FirstConnectionDisplay stalling(LaterConnections::StalledAtThirdWindow);
  const fs::path picture(kPhotograph);
  writeFile(dir / "training.json", "{\"Config.MVG.Enabled\": true, \"Object.Physical.Width\": 0.5, "
                                   "\"Object.Physical.Height\": 0.4}");
  writeFile(dir / "batch.json", "{\"Batch.Target.Type\": \"Image\", \"Batch.Target.Name\": \"B\", \"Batch.Image.Path\": " +
                                    quoted(picture.parent_path().string() + "/") + ", \"Batch.Image.Files\": [" +
                                    quoted(picture.filename().string()) + ", " + quoted(picture.filename().string()) +
                                    "], \"Batch.Config.File\": " + quoted((dir / "training.json").string()) + "}");
  fs::create_directory(dir / "out");
  const RunResult r = run("/usr/bin/timeout", {"-s", "KILL", "60", "/usr/bin/env", "DISPLAY=" + stalling.name(),
                                               FORMWRIGHT_EXE, "-B", (dir / "out").string(), (dir / "batch.json").string()});
  const std::string line = "The multiple view generator was skipped (the X display " + quoted(stalling.name()) +
                           " (DISPLAY) stopped answering while a window was being opened (nothing came within 10 "
                           "seconds); restart it or the connection that forwards it, or set DISPLAY to another display); "
                           "the target was trained without synthetic views\n";
  EXPECT_EQ(r.out, kFinished);
  EXPECT_EQ(r.err, line + line);
  EXPECT_EQ(r.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, BadInput3d, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& row) { return row.param.name; });

}  // namespace
