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
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
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
// file's content is given, and the configuration members `extra`. Returns what the output folder
// then holds.
std::vector<std::string> train(const fs::path& out, const std::string& model, const std::string& radii, int views,
                               RunResult& result, const std::string& camera = "", const std::string& extra = "") {
  fs::create_directories(out);
  writeFile(out.parent_path() / "config.json",
            "{\"Config.Target.Type\": \"CAD\", \"Config.Target.Name\": \"Bracket\", \"CAD.UprightVector\": [0, 0, 1], "
            "\"CAD.Detection.DistanceRange\": " + radii + ", \"CAD.Detection.NumTrainingViews\": " +
                std::to_string(views) + extra + "}");
  std::vector<std::string> args = {out.string(), (out.parent_path() / "config.json").string(), model};
  if (!camera.empty()) writeFile(args.emplace_back(args[1] + ".cam"), camera);
  result = runFormwright(args);
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(out)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string base64(const std::string& bytes) {
  const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t n = 0;
    for (std::size_t k = 0; k < 3; ++k) n = n << 8 | (i + k < bytes.size() ? static_cast<std::uint8_t>(bytes[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k) out += i + k <= bytes.size() ? digits[n >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

// A 50 mm box around its origin: corner c at (+-25, +-25, +-25) by its bits 4, 2, 1; 12 triangles.
const int kBoxTriangles[36] = {0, 1, 3, 0, 3, 2, 4, 6, 7, 4, 7, 5, 0, 4, 5, 0, 5, 1,
                               2, 3, 7, 2, 7, 6, 0, 2, 6, 0, 6, 4, 1, 5, 7, 1, 7, 3};
float boxCoordinate(int corner, int bit) { return corner & bit ? 25.0f : -25.0f; }

// The box as glTF, placed by `nodes` (glTF node objects naming mesh 0), textured by the picture at
// `textureUri` when given.
std::string gltfBox(const std::string& nodes, const std::string& textureUri = "") {
  std::string buffer;
  for (int c = 0; c < 8; ++c)
    for (int bit : {4, 2, 1}) {
      const float x = boxCoordinate(c, bit);
      buffer.append(reinterpret_cast<const char*>(&x), 4);
    }
  for (int i : kBoxTriangles) buffer.append({static_cast<char>(i), 0});
  std::string scene = "{\"asset\": {\"version\": \"2.0\"}, \"scene\": 0, \"scenes\": [{\"nodes\": [0";
  for (long n = 1; n < std::count(nodes.begin(), nodes.end(), '{'); ++n) scene += ", " + std::to_string(n);
  scene += "]}], \"nodes\": [" + nodes + "], \"meshes\": [{\"primitives\": [{\"attributes\": {\"POSITION\": 0}, " +
           "\"indices\": 1" + (textureUri.empty() ? "" : ", \"material\": 0") + "}]}], \"buffers\": [{\"byteLength\": 168, " +
           "\"uri\": \"data:application/octet-stream;base64," + base64(buffer) + "\"}], \"bufferViews\": [{\"buffer\": 0, " +
           "\"byteLength\": 96}, {\"buffer\": 0, \"byteOffset\": 96, \"byteLength\": 72}], \"accessors\": [{\"bufferView\": 0, " +
           "\"componentType\": 5126, \"count\": 8, \"type\": \"VEC3\", \"min\": [-25, -25, -25], \"max\": [25, 25, 25]}, " +
           "{\"bufferView\": 1, \"componentType\": 5123, \"count\": 36, \"type\": \"SCALAR\"}]";
  if (!textureUri.empty()) {
    scene += ", \"materials\": [{\"pbrMetallicRoughness\": {\"baseColorTexture\": {\"index\": 0}}}], \"textures\": "
             "[{\"source\": 0}], \"images\": [{\"uri\": \"" + textureUri + "\"}]";
  }
  return scene + "}";
}

// The box as COLLADA in millimetres, which the file declares; placed 2^levels times over by nodes
// that each place the level below twice.
std::string colladaBox(int levels = 0) {
  std::string positions, triangles, nodes = "<library_nodes><node id=\"n0\"><instance_geometry url=\"#box\"/></node>";
  for (int c = 0; c < 8; ++c)
    for (int bit : {4, 2, 1}) positions += std::to_string(static_cast<int>(boxCoordinate(c, bit))) + " ";
  for (int i : kBoxTriangles) triangles += std::to_string(i) + " ";
  for (int k = 1; k <= levels; ++k) {
    const std::string below = "<instance_node url=\"#n" + std::to_string(k - 1) + "\"/>";
    nodes += "<node id=\"n" + std::to_string(k) + "\">" + below + below + "</node>";
  }
  return "<?xml version=\"1.0\"?>\n<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">"
         "<asset><unit meter=\"0.001\"/><up_axis>Y_UP</up_axis></asset><library_geometries><geometry id=\"box\"><mesh>"
         "<source id=\"p\"><float_array id=\"pa\" count=\"24\">" + positions + "</float_array><technique_common>"
         "<accessor source=\"#pa\" count=\"8\" stride=\"3\"><param name=\"X\" type=\"float\"/><param name=\"Y\" "
         "type=\"float\"/><param name=\"Z\" type=\"float\"/></accessor></technique_common></source><vertices id=\"v\">"
         "<input semantic=\"POSITION\" source=\"#p\"/></vertices><triangles count=\"12\"><input semantic=\"VERTEX\" "
         "source=\"#v\" offset=\"0\"/><p>" + triangles + "</p></triangles></mesh></geometry></library_geometries>" + nodes +
         "</library_nodes><library_visual_scenes><visual_scene id=\"s\"><node id=\"top\"><instance_node url=\"#n" +
         std::to_string(levels) + "\"/></node></visual_scene></library_visual_scenes><scene><instance_visual_scene "
         "url=\"#s\"/></scene></COLLADA>\n";
}

// A model as corners (millimetres) and faces (1-based corner numbers), written as OBJ.
struct Shape {
  std::vector<std::array<double, 3>> corners;
  std::vector<std::vector<int>> faces;
  std::string obj() const {
    std::string text;
    for (const auto& c : corners) text += "v " + std::to_string(c[0]) + " " + std::to_string(c[1]) + " " + std::to_string(c[2]) + "\n";
    for (const auto& f : faces) {
      text += "f";
      for (const int i : f) text += " " + std::to_string(i);
      text += "\n";
    }
    return text;
  }
  double reach() const {  // the largest distance of a corner from the corners' mean
    std::array<double, 3> mean{};
    for (const auto& c : corners)
      for (int k = 0; k < 3; ++k) mean[k] += c[k] / static_cast<double>(corners.size());
    double most = 0.0;
    for (const auto& c : corners) most = std::max(most, std::hypot(c[0] - mean[0], c[1] - mean[1], c[2] - mean[2]));
    return most;
  }
};

// An upright prism of `sides` sides around the axis, radius 50 mm, from `bottom` to 50 mm high (a
// cone when `apex`): its rim edges are sharp (90 degrees or more), its side edges 360 / sides
// degrees, its base flat.
Shape prism(int sides, double bottom, bool apex) {
  Shape s;
  for (int k = 0; k < sides; ++k) {
    const double a = 2.0 * M_PI * k / sides;
    s.corners.push_back({50.0 * std::cos(a), 50.0 * std::sin(a), bottom});
    if (!apex) s.corners.push_back({50.0 * std::cos(a), 50.0 * std::sin(a), 50.0});
  }
  const int ring = static_cast<int>(s.corners.size()), low = ring + 1, high = ring + 2;
  s.corners.push_back({0.0, 0.0, bottom});
  s.corners.push_back({0.0, 0.0, 50.0});
  const int step = apex ? 1 : 2;
  for (int k = 0; k < sides; ++k) {
    const int b = 1 + k * step, n = 1 + (k + 1) % sides * step;
    s.faces.push_back({low, n, b});
    if (apex) s.faces.push_back({b, n, high});
    if (!apex) s.faces.insert(s.faces.end(), {{b, n, n + 1}, {b, n + 1, b + 1}, {high, b + 1, n + 1}});
  }
  return s;
}

// A 72-sided cylinder (side edges at 5 degrees) holding two hidden fins of two faces each, whose
// normals meet exactly at 44 and at 1 degree in single precision (positions scaled to metres): 145
// sharp edges (144 rims and the 44-degree fin) and 218 considered ones (with the sides and the
// 1-degree fin).
Shape finnedCylinder() {
  Shape s = prism(72, -50.0, false);
  const int base = static_cast<int>(s.corners.size());
  s.corners.insert(s.corners.end(), {{0, 0, 0}, {-9, -18, -22}, {24, -8, -15}, {-24, -24, 11},
                                     {21, -18, -18}, {-17, -22, 19}, {21, -4, -20}});
  s.faces.insert(s.faces.end(), {{base + 1, base + 2, base + 3}, {base + 2, base + 1, base + 4},
                                 {base + 1, base + 5, base + 6}, {base + 5, base + 1, base + 7}});
  return s;
}

// A UV sphere of radius 50 mm, 32 x 16 faces.
Shape sphere() {
  Shape s{{{0, 0, 50}, {0, 0, -50}}, {}};
  for (int j = 1; j < 16; ++j)
    for (int i = 0; i < 32; ++i)
      s.corners.push_back({50 * std::sin(M_PI * j / 16) * std::cos(M_PI * i / 16),
                           50 * std::sin(M_PI * j / 16) * std::sin(M_PI * i / 16), 50 * std::cos(M_PI * j / 16)});
  const auto at = [](int j, int i) { return j == 0 ? 1 : j == 16 ? 2 : 3 + (j - 1) * 32 + i % 32; };
  for (int j = 0; j < 16; ++j)
    for (int i = 0; i < 32; ++i) s.faces.push_back({at(j, i), at(j + 1, i), at(j + 1, i + 1), at(j, i + 1)});
  for (auto& f : s.faces) f.erase(std::unique(f.begin(), f.end() - (f.front() == f.back())), f.end());
  return s;
}

// A regular tetrahedron of 100 mm edges.
Shape tetrahedron() {
  const double s = 100 / std::sqrt(8.0);
  return {{{s, s, s}, {s, -s, -s}, {-s, s, -s}, {-s, -s, s}}, {{1, 2, 3}, {1, 4, 2}, {1, 3, 4}, {2, 4, 3}}};
}

}  // namespace

TEST(CadTarget, TrainsAndWritesTheEdgeModelTemplatesAndModelCopy) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  TempDir dir;
  fs::copy_file(kModels + "OBJ/spider.obj", dir / "Spider.OBJ");
  const std::string png = readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/blocks-64x48.png");
  writeFile(dir / "moved.gltf", gltfBox("{\"mesh\": 0, \"translation\": [20, 0, 0]}"));
  writeFile(dir / "twice.gltf", gltfBox("{\"mesh\": 0, \"translation\": [-30, 0, 0]}, {\"mesh\": 0, \"translation\": [30, 0, 0]}"));
  writeFile(dir / "painted.gltf", gltfBox("{\"mesh\": 0}", "data:image/png;base64," + base64(png)));
  writeFile(dir / "outside.gltf", gltfBox("{\"mesh\": 0}", "blocks.png"));
  writeFile(dir / "blocks.png", png);
  writeFile(dir / "box.dae", colladaBox());
  const Shape shapes[] = {finnedCylinder(), prism(16, -50, true), tetrahedron(), sphere()};
  for (std::size_t i = 0; i < std::size(shapes); ++i) writeFile(dir / ("shape" + std::to_string(i) + ".obj"), shapes[i].obj());
  const auto shape = [&dir](int i) { return (dir / ("shape" + std::to_string(i) + ".obj")).string(); };
  const std::string bracket = std::string(FORMWRIGHT_SOURCE_DIR) + "/examples/models/bracket.obj";
  const auto symmetries = [](const std::string& axes) { return ", \"CAD.Model.ContinuousSymmetries\": \"" + axes + "\""; };
  // The cube shows few edges: some of its views give too few features, so it needs views to spare.
  // A cone, a tetrahedron and a sphere show too few edge samples at the first step (6 % of the
  // model's reach) and train at half of it; symmetric models train from the views they leave.
  const struct {
    std::string model;
    int views, exportedTriangles;  // a model in another format is exported as OBJ; 0 for an OBJ
    std::string texture = "";      // the picture the copy's material file names beside it
    float xMin = 0, xMax = 0;      // in millimetres, of the copy and (in metres) of the edge model
    int shape = -1;                // the shape the model was written from
    int sharpEdges = -1, consideredEdges = -1;
    double stepOfReach = 0.06;  // the edge samples' step stored in the edge model; 0 when either
                                // step may train, as the views drawn fall
    std::string extra = "", radii = "[0.12, 0.2]";
  } rows[] = {{(dir / "Spider.OBJ").string(), 4, 0},
              {(dir / "outside.gltf").string(), 30, 12, png},
              {kModels + "STL/3DSMaxExport.STL", 4, 2000},
              {(dir / "moved.gltf").string(), 30, 12, "", -5, 45},
              {(dir / "twice.gltf").string(), 30, 24, "", -55, 55},
              {(dir / "box.dae").string(), 30, 12, "", -25, 25},
              {(dir / "painted.gltf").string(), 30, 12, png},
              {shape(0), 4, 0, "", 0, 0, 0, 145, 218}, {shape(1), 4, 0, "", 0, 0, 1, 16, 32, 0.03},
              {shape(2), 4, 0, "", 0, 0, 2, 6, 6, 0.03}, {shape(3), 4, 0, "", 0, 0, 3, 0, -1, 0.03},
              {shape(3), 40, 0, "", 0, 0, 3, 0, -1, 0.03, symmetries("XYZ")},
              {shape(1), 40, 0, "", 0, 0, 1, 16, 32, 0.03, symmetries("Z")},
              {bracket, 100, 0, "", 0, 0, -1, -1, -1, 0.03, symmetries("XYZ"), "[0.3, 0.5]"},
              {bracket, 100, 0, "", 0, 0, -1, -1, -1, 0, symmetries("X"), "[0.3, 0.5]"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.model + row.extra);
    const fs::path out = dir / ("out" + std::to_string(&row - rows));
    RunResult r;
    std::vector<std::string> names = {"PALOM_Bracket", "PALOM_CAD_TARGET_CAD_MODEL.obj",
                                      "PALOM_CAD_TARGET_EDGE_MODEL.dat", "PALOM_CAD_TARGET_TEMPLATE.dat"};
    if (row.exportedTriangles) names.insert(names.begin() + 1, "PALOM_CAD_TARGET_CAD_MODEL.mtl");
    std::vector<std::string> written = train(out, row.model, row.radii, row.views, r, "", row.extra);
    const bool finer = r.err.find("the target was trained with samples every") != std::string::npos;
    EXPECT_TRUE(row.stepOfReach == 0 || finer == (row.stepOfReach < 0.06)) << r.err;
    const fs::path folder = out / "PALOM_Bracket";
    const auto texture = std::find_if(written.begin(), written.end(), [](const std::string& name) {
      return name.rfind("PALOM_CAD_TARGET_CAD_MODEL_", 0) == 0;
    });
    if (!row.texture.empty()) {
      ASSERT_NE(texture, written.end());
      EXPECT_EQ(readFile(folder / *texture), row.texture);
      EXPECT_NE(readFile(folder / "PALOM_CAD_TARGET_CAD_MODEL.mtl").find("map_Kd " + *texture + "\n"), std::string::npos);
      written.erase(texture);
    }
    EXPECT_EQ(written, names);
    EXPECT_EQ(r.out, kStarting + "Saved trained target files in " + quoted(folder.string()) + "\n" +
                         "Training successfully finished.\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    // Template file: name, level count, the built-in camera, then one pyramid per view of two levels:
    // 16 + 16 + 4 + 24 + 20 bytes of frame and pose, a count and 127 features of 9 bytes each.
    testsupport::LittleEndianReader in(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_TEMPLATE.dat"));
    const auto column = [&in] { return in.i32() == 2 && in.i32() == 1; };
    EXPECT_TRUE(in.u8() == 1 && in.u64() == 7 &&
                in.bytes(7) == std::vector<std::uint8_t>({'B', 'r', 'a', 'c', 'k', 'e', 't'}));
    EXPECT_TRUE(in.u64() == 2 && column() && in.u32() == 640 && in.u32() == 480);
    EXPECT_TRUE(column() && in.f32() == 321.21015433728f && in.f32() == 320.029337062024f);
    EXPECT_TRUE(column() && in.f32() == 320.0f && in.f32() == 240.0f);
    // Symmetries that leave fewer views ask fewer templates, one per two views left.
    const std::uint64_t pyramids = in.u64();
    EXPECT_TRUE(row.extra.empty() ? pyramids == static_cast<std::uint64_t>(row.views) : pyramids >= 1);
    EXPECT_EQ(in.size(), in.offset() + pyramids * (8 + 2 * (16 + 16 + 4 + 24 + 20 + 8 + 127 * 9)));

    // Edge model: the edge count, then per edge four 3-vectors and its samples, then the sharp and
    // considered edge counts, the sample step, the two angles and the most sharp-edge samples.
    testsupport::LittleEndianReader edges(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_EDGE_MODEL.dat"));
    const std::uint64_t edgeCount = edges.u8() == 1 ? edges.u64() : 0;
    EXPECT_TRUE(edgeCount > 0 && edges.size() >= 9 + edgeCount * (4 * 20 + 8) + 24);
    testsupport::LittleEndianReader tail(testsupport::readFileBytes(folder / "PALOM_CAD_TARGET_EDGE_MODEL.dat"));
    tail.bytes(tail.size() - 24);
    const std::int32_t sharp = tail.i32(), considered = tail.i32();
    const double step = tail.f32();
    EXPECT_TRUE(tail.f32() == 44.0f && tail.f32() == 1.0f && tail.i32() == 1000);
    EXPECT_TRUE(row.sharpEdges < 0 || sharp == row.sharpEdges) << sharp;
    EXPECT_TRUE(row.consideredEdges < 0 || considered == row.consideredEdges) << considered;
    // The mesh's reach counts corners as often as faces use them: within a quarter of the corners'.
    // A finer step is a half, a quarter or an eighth of the first.
    const double ratio = row.shape < 0 ? 0.0 : step / (0.06 * shapes[row.shape].reach() / 1000);
    EXPECT_TRUE(row.shape < 0 || (std::abs(ratio - 1.0) < 0.25) == (row.stepOfReach == 0.06)) << ratio;
    const std::string copy = readFile(folder / "PALOM_CAD_TARGET_CAD_MODEL.obj");
    if (row.xMin != row.xMax) {  // the edges' corners and the copy's vertices span the placed boxes
      float low = 1e9f, high = -1e9f, copyLow = 1e9f, copyHigh = -1e9f;
      for (std::uint64_t e = 0; e < edgeCount; ++e) {
        for (int vector = 0; vector < 4; ++vector) {
          const float x = edges.i32() == 3 && edges.i32() == 1 ? edges.f32() : NAN;
          edges.f32(), edges.f32();
          if (vector >= 2) low = std::min(low, x), high = std::max(high, x);
        }
        for (std::uint64_t sample = edges.u64(); sample > 0; --sample) edges.bytes(20);
      }
      for (auto at = copy.find("\nv "); at != std::string::npos; at = copy.find("\nv ", at + 1)) {
        const float x = std::stof(copy.substr(at + 3));
        copyLow = std::min(copyLow, x), copyHigh = std::max(copyHigh, x);
      }
      EXPECT_TRUE(std::abs(low - row.xMin / 1000) < 1e-6f && std::abs(high - row.xMax / 1000) < 1e-6f) << low << " " << high;
      EXPECT_TRUE(std::abs(copyLow - row.xMin) < 1e-3f && std::abs(copyHigh - row.xMax) < 1e-3f) << copyLow << " " << copyHigh;
    }
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

  writeFile(dir / "many.dae", colladaBox(17));  // 131072 boxes of 36 vertices: refused before it is built
  EXPECT_TRUE(train(dir / "many", (dir / "many.dae").string(), "[0.12, 0.2]", 3, r).empty());
  EXPECT_EQ(r.out, kStarting + "ERROR: Could not load the model\n" + kFailed);
  EXPECT_NE(r.err.find("its nodes repeat its meshes into 4718592 vertices, more than its own 36"), std::string::npos);
  EXPECT_TRUE(train(dir / "far", kCube, "[1.0, 3.0]", 5, r).empty());
  EXPECT_EQ(r.out, kStarting + "ERROR: Not enough templates generated. Try to reduce rendering radii\n" + kFailed);
  // From 0.5 m to 1 m most views of the tetrahedron show it too small: the reason counts them, of
  // the two views tried for each template, and names the finest edge-sample step tried.
  writeFile(dir / "tetrahedron.obj", tetrahedron().obj());
  EXPECT_TRUE(train(dir / "small", (dir / "tetrahedron.obj").string(), "[0.5, 1.0]", 200, r).empty());
  std::smatch counts;
  ASSERT_TRUE(std::regex_search(r.err, counts, std::regex("^Only ([0-9]+) of 200 views gave a template; .*\n([0-9]+) of "
      "the 400 camera views tried showed the model too small for a template, even with edge samples down to every "
      "0.459 mm \\(0.75 % of the model's reach\\): .* from cameras as near as 0.[0-9]+ m; bring the cameras nearer: "
      "lower .*CAD.Detection.DistanceRange.*\n$"))) << r.err;
  // The views of the last step that gave no template, and the templates of the best step.
  EXPECT_TRUE(std::stoi(counts[2]) < 400 && std::stoi(counts[1]) + std::stoi(counts[2]) >= 400) << r.err;
  const std::string wide = "{\"Resolution\": [100000, 100], \"FocalLength\": [500, 500], \"PrincipalPoint\": [5, 5]}";
  EXPECT_TRUE(train(dir / "wide", kCube, "[0.12, 0.2]", 3, r, wide).empty());
  EXPECT_EQ(r.out.rfind("Configuration Error: Camera resolution 100000 x 100 is too large", 0), 0u) << r.out;
  EXPECT_NE(r.out.find(" pixels\nConfiguration error. Aborting training\n" + kFailed), std::string::npos);
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
