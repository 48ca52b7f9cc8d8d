// CAD targets trained through the executable on the OpenGL display: the console lines of each
// outcome, the files of a trained target, and what a failed or interrupted run leaves behind
// (nothing).
#include "BlankPng.h"
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
// file's content is given, and the configuration members `extra`; in 5 GB of address space when
// `limited`. Returns what the output folder then holds.
std::vector<std::string> train(const fs::path& out, const std::string& model, const std::string& radii, int views,
                               RunResult& result, const std::string& camera = "", const std::string& extra = "",
                               bool limited = false) {
  fs::create_directories(out);
  writeFile(out.parent_path() / "config.json",
            "{\"Config.Target.Type\": \"CAD\", \"Config.Target.Name\": \"Bracket\", \"CAD.UprightVector\": [0, 0, 1], "
            "\"CAD.Detection.DistanceRange\": " + radii + ", \"CAD.Detection.NumTrainingViews\": " +
                std::to_string(views) + extra + "}");
  std::vector<std::string> args = {out.string(), (out.parent_path() / "config.json").string(), model};
  if (!camera.empty()) writeFile(args.emplace_back(args[1] + ".cam"), camera);
  const std::vector<std::string> limit = {"-c", "ulimit -v 5000000 && exec \"$0\" \"$@\"", FORMWRIGHT_EXE};
  if (limited) args.insert(args.begin(), limit.begin(), limit.end());
  result = limited ? run("/bin/sh", args) : runFormwright(args);
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

// The box as glTF, placed by `nodes` (glTF node objects, the first a root of the scene), its
// triangles repeated `copies` times, with one material per picture of `textureUris`: the first one
// on the box, each other one on its corners as points (the importer keeps only materials in use).
std::string gltfBox(const std::string& nodes, const std::vector<std::string>& textureUris = {}, int copies = 1) {
  std::string buffer;
  for (int c = 0; c < 8; ++c)
    for (int bit : {4, 2, 1}) {
      const float x = boxCoordinate(c, bit);
      buffer.append(reinterpret_cast<const char*>(&x), 4);
    }
  for (int copy = 0; copy < copies; ++copy)
    for (int i : kBoxTriangles) buffer.append({static_cast<char>(i), 0});
  const std::string indexBytes = std::to_string(72 * copies);
  std::string points;
  for (std::size_t k = 1; k < textureUris.size(); ++k)
    points += ", {\"attributes\": {\"POSITION\": 0}, \"mode\": 0, \"material\": " + std::to_string(k) + "}";
  std::string scene = "{\"asset\": {\"version\": \"2.0\"}, \"scene\": 0, \"scenes\": [{\"nodes\": [0";
  for (long n = 1; n < std::count(nodes.begin(), nodes.end(), '{'); ++n)  // each node not another's only child
    if (nodes.find("\"children\": [" + std::to_string(n) + "]") == std::string::npos) scene += ", " + std::to_string(n);
  scene += "]}], \"nodes\": [" + nodes + "], \"meshes\": [{\"primitives\": [{\"attributes\": {\"POSITION\": 0}, " +
           "\"indices\": 1" + (textureUris.empty() ? "" : ", \"material\": 0") + "}" + points + "]}], \"buffers\": [{\"byteLength\": " +
           std::to_string(buffer.size()) + ", \"uri\": \"data:application/octet-stream;base64," + base64(buffer) + "\"}], " +
           "\"bufferViews\": [{\"buffer\": 0, \"byteLength\": 96}, {\"buffer\": 0, \"byteOffset\": 96, \"byteLength\": " +
           indexBytes + "}], \"accessors\": [{\"bufferView\": 0, \"componentType\": 5126, \"count\": 8, \"type\": \"VEC3\", " +
           "\"min\": [-25, -25, -25], \"max\": [25, 25, 25]}, {\"bufferView\": 1, \"componentType\": 5123, \"count\": " +
           std::to_string(36 * copies) + ", \"type\": \"SCALAR\"}]";
  std::string materials, textures, images;
  for (std::size_t k = 0; k < textureUris.size(); ++k) {
    const std::string n = std::to_string(k), comma = k == 0 ? "" : ", ";
    materials += comma + "{\"pbrMetallicRoughness\": {\"baseColorTexture\": {\"index\": " + n + "}}}";
    textures += comma + "{\"source\": " + n + "}";
    images += comma + "{\"uri\": \"" + textureUris[k] + "\"}";
  }
  if (!textureUris.empty()) {
    scene += ", \"materials\": [" + materials + "], \"textures\": [" + textures + "], \"images\": [" + images + "]";
  }
  return scene + "}";
}

// The box as COLLADA in millimetres, or the unit given, which the file declares; placed 2^levels
// times over by nodes that each place the level below twice.
std::string colladaBox(int levels = 0, const std::string& meter = "0.001") {
  std::string positions, triangles, nodes = "<library_nodes><node id=\"n0\"><instance_geometry url=\"#box\"/></node>";
  for (int c = 0; c < 8; ++c)
    for (int bit : {4, 2, 1}) positions += std::to_string(static_cast<int>(boxCoordinate(c, bit))) + " ";
  for (int i : kBoxTriangles) triangles += std::to_string(i) + " ";
  for (int k = 1; k <= levels; ++k) {
    const std::string below = "<instance_node url=\"#n" + std::to_string(k - 1) + "\"/>";
    nodes += "<node id=\"n" + std::to_string(k) + "\">" + below + below + "</node>";
  }
  return "<?xml version=\"1.0\"?>\n<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">"
         "<asset><unit meter=\"" + meter + "\"/><up_axis>Y_UP</up_axis></asset><library_geometries><geometry id=\"box\"><mesh>"
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
  // A group turned 90 degrees about z and scaled by (2, 1.2, 1), holding the box moved by 20 along x:
  // the box's y in [-25, 25] becomes x in [-30, 30] (the group's transform applied after the box's).
  writeFile(dir / "turned.gltf", gltfBox("{\"rotation\": [0, 0, 0.70710678, 0.70710678], \"scale\": [2, 1.2, 1], "
                                         "\"children\": [1]}, {\"mesh\": 0, \"translation\": [20, 0, 0]}"));
  writeFile(dir / "painted.gltf", gltfBox("{\"mesh\": 0}", {"data:image/png;base64," + base64(png)}));
  writeFile(dir / "outside.gltf", gltfBox("{\"mesh\": 0}", {"blocks.png"}));
  writeFile(dir / "blocks.png", png);
  // Textures: a link out of the model's folder and a file the process cannot copy; one picture of
  // 8192 x 8192 pixels named thirty ways, and five such files (the fifth too many); a name too long once the copy's prefix is added; two
  // files of one name in two folders; missing names in a folder of many files.
  fs::create_directories(dir / "leak");
  fs::create_symlink("../blocks.png", dir / "leak/tex.png");
  writeFile(dir / "leak/leak.gltf", gltfBox("{\"mesh\": 0}", {"tex.png", "/proc/self/mem"}));
  const std::string big = blankPng(8192, 8192), small = blankPng(4, 4), longName(236, 'n');
  writeFile(dir / "big.png", big);
  std::vector<std::string> spellings = {"big.png", "BIG.png", "../" + dir.path().filename().string() + "/big.png"};
  for (std::size_t k = 1; k <= 27; ++k) spellings.push_back("." + std::string(k, '/') + "big.png");
  writeFile(dir / "thirty.gltf", gltfBox("{\"mesh\": 0}", spellings));
  for (const char* copy : {"big2.png", "big3.png", "big4.png", "big5.png"}) writeFile(dir / copy, big);
  writeFile(dir / "five.gltf", gltfBox("{\"mesh\": 0}", {"big.png", "big2.png", "big3.png", "big4.png", "big5.png"}));
  writeFile(dir / (longName + ".png"), png);
  writeFile(dir / "long.gltf", gltfBox("{\"mesh\": 0}", {longName + ".png"}));
  fs::create_directories(dir / "a"), fs::create_directories(dir / "b");
  writeFile(dir / "a/tex.png", png), writeFile(dir / "b/tex.png", small);
  writeFile(dir / "twins.gltf", gltfBox("{\"mesh\": 0}", {"a/tex.png", "b/tex.png"}));
  fs::create_directories(dir / "many/texs");
  std::vector<std::string> missing;
  for (int k = 0; k < 20000; ++k) writeFile(dir / ("many/texs/file" + std::to_string(k) + ".png"), "");
  for (int k = 0; k < 200; ++k) missing.push_back("texs/missing" + std::to_string(k) + ".png");
  missing.push_back("TEXS/Present.PNG");
  writeFile(dir / "many/texs/present.png", png);
  writeFile(dir / "many/many.gltf", gltfBox("{\"mesh\": 0}", missing));
  writeFile(dir / "box.dae", colladaBox());
  const Shape shapes[] = {finnedCylinder(), prism(16, -50, true), tetrahedron(), sphere()};
  for (std::size_t i = 0; i < std::size(shapes); ++i) writeFile(dir / ("shape" + std::to_string(i) + ".obj"), shapes[i].obj());
  const auto shape = [&dir](int i) { return (dir / ("shape" + std::to_string(i) + ".obj")).string(); };
  const std::string bracket = std::string(FORMWRIGHT_SOURCE_DIR) + "/examples/models/bracket.obj";
  const auto symmetries = [](const std::string& axes) { return ", \"CAD.Model.ContinuousSymmetries\": \"" + axes + "\""; };
  // The cube shows few edges: some of its views give too few features, so it needs views to spare.
  // A cone, a tetrahedron and a sphere show too few edge samples at the first step (6 % of the
  // model's reach) and train at half of it; symmetric models train from the views they leave. The
  // finned cylinder's 8 views, drawn at random, now and then leave the first step short.
  const struct {
    std::string model;
    int views, exportedTriangles;  // a model in another format is exported as OBJ; 0 for an OBJ
    std::vector<std::string> textures = {};  // the copy's pictures, by name, that its material file names
    float xMin = 0, xMax = 0;      // in millimetres, of the copy and (in metres) of the edge model
    int shape = -1;                // the shape the model was written from
    int sharpEdges = -1, consideredEdges = -1;
    double stepOfReach = 0.06;  // the edge samples' step stored in the edge model; 0 when either
                                // step may train, as the views drawn fall
    std::string extra = "", radii = "[0.12, 0.2]";
    int maps = -1;        // the material file's textures, when not one per picture
    std::string err = "";  // what standard error says
    bool limited = false;  // in 5 GB of address space
  } rows[] = {{(dir / "Spider.OBJ").string(), 4, 0},
              {(dir / "outside.gltf").string(), 30, 12, {png}},
              {kModels + "STL/3DSMaxExport.STL", 4, 2000},
              {(dir / "moved.gltf").string(), 30, 12, {}, -5, 45},
              {(dir / "twice.gltf").string(), 30, 24, {}, -55, 55},
              {(dir / "turned.gltf").string(), 30, 12, {}, -30, 30},
              {(dir / "box.dae").string(), 30, 12, {}, -25, 25},
              {(dir / "painted.gltf").string(), 30, 12, {png}},
              {(dir / "leak/leak.gltf").string(), 30, 12, {}, 0, 0, -1, -1, -1, 0.06, "", "[0.12, 0.2]", 0,
               "tex.png\" lies outside the model's folder (it leads to " + quoted(fs::canonical(dir / "blocks.png").string())},
              {(dir / "thirty.gltf").string(), 30, 12, {big}, 0, 0, -1, -1, -1, 0.06, "", "[0.12, 0.2]", 30, "", true},
              {(dir / "five.gltf").string(), 30, 12, {big, big, big, big, big}, 0, 0, -1, -1, -1, 0.06, "",
               "[0.12, 0.2]", 5, "big5.png\" (8192 x 8192 pixels) would take the model's textures past 268435456"},
              {(dir / "long.gltf").string(), 30, 12, {png}},
              {(dir / "twins.gltf").string(), 30, 12, {small, png}},  // by name: _1_tex.png, _tex.png
              {(dir / "many/many.gltf").string(), 30, 12, {png}, 0, 0, -1, -1, -1, 0.06, "", "[0.12, 0.2]", 1,
               "missing199.png\" could not be read (missing, or not readable): it was left out"},
              {shape(0), 4, 0, {}, 0, 0, 0, 145, 218, 0}, {shape(1), 4, 0, {}, 0, 0, 1, 16, 32, 0.03},
              {shape(2), 4, 0, {}, 0, 0, 2, 6, 6, 0.03}, {shape(3), 4, 0, {}, 0, 0, 3, 0, -1, 0.03},
              {shape(3), 40, 0, {}, 0, 0, 3, 0, -1, 0.03, symmetries("XYZ")},
              {shape(1), 40, 0, {}, 0, 0, 1, 16, 32, 0.03, symmetries("Z")},
              {bracket, 100, 0, {}, 0, 0, -1, -1, -1, 0.03, symmetries("XYZ"), "[0.3, 0.5]"},
              {bracket, 100, 0, {}, 0, 0, -1, -1, -1, 0, symmetries("X"), "[0.3, 0.5]"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.model + row.extra);
#ifdef __SANITIZE_ADDRESS__
    if (row.limited) continue;  // the address sanitizer needs more address space
#endif
    const fs::path out = dir / ("out" + std::to_string(&row - rows));
    RunResult r;
    std::vector<std::string> names = {"PALOM_Bracket", "PALOM_CAD_TARGET_CAD_MODEL.obj",
                                      "PALOM_CAD_TARGET_EDGE_MODEL.dat", "PALOM_CAD_TARGET_TEMPLATE.dat"};
    if (row.exportedTriangles) names.insert(names.begin() + 1, "PALOM_CAD_TARGET_CAD_MODEL.mtl");
    std::vector<std::string> written = train(out, row.model, row.radii, row.views, r, "", row.extra, row.limited);
    const bool finer = r.err.find("the target was trained with samples every") != std::string::npos;
    EXPECT_TRUE(row.stepOfReach == 0 || finer == (row.stepOfReach < 0.06)) << r.err;
    const fs::path folder = out / "PALOM_Bracket";
    // Each picture once in the copy, however often its material file names it.
    const std::string mtl = row.exportedTriangles ? readFile(folder / "PALOM_CAD_TARGET_CAD_MODEL.mtl") : "";
    std::vector<std::string> textures;
    int maps = 0;
    for (auto name = written.begin(); name != written.end();) {
      if (name->rfind("PALOM_CAD_TARGET_CAD_MODEL_", 0) != 0) {
        ++name;
        continue;
      }
      textures.push_back(readFile(folder / *name));
      const std::string map = "map_Kd " + *name + "\n";
      for (auto at = mtl.find(map); at != std::string::npos; at = mtl.find(map, at + 1)) ++maps;
      name = written.erase(name);
    }
    EXPECT_TRUE(textures == row.textures) << textures.size() << " pictures";
    EXPECT_EQ(maps, row.maps < 0 ? static_cast<int>(row.textures.size()) : row.maps);
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
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
    EXPECT_TRUE(row.shape < 0 || (std::abs(ratio - 1.0) < 0.25) == !finer) << ratio;
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

  // Models refused before they are built: 131072 boxes of 36 vertices; 30 boxes of 40,008 triangles
  // each on the box's 8 corners; a unit that mirrors the box; one that makes it 5e-29 m wide; one
  // that is not a number (which the importer would read as a metre); nodes that each name the next
  // twice, as COLLADA instances and as glTF children, which reading would build as 2^40 copies. Some
  // are named without their format's ending: the importer reads a file by its content. The COLLADA
  // files spell a unit and instances with character references, the glTF file nests extras deeply.
  std::string thirty = "{\"mesh\": 0}", doubling, instancing = colladaBox(40);
  for (int n = 1; n < 30; ++n) thirty += ", {\"mesh\": 0}";
  for (int n = 1; n <= 40; ++n) doubling += "{\"children\": [" + std::to_string(n) + ", " + std::to_string(n) + "]}, ";
  doubling += "{\"mesh\": 0, \"extras\": " + std::string(300, '[') + std::string(300, ']') + "}";
  for (std::size_t at; (at = instancing.find("url=\"#n")) != std::string::npos;) instancing.replace(at, 7, "url = \"&#x23;n");
  const std::string fewerNodes = " plus 1048576: have its nodes place fewer copies of one another.";
  const std::string fewerCopies = ": have its nodes place fewer copies of its meshes.";
  const std::string metres = ": set meter to the length of the file's unit in metres (0.001 for millimetres).";
  const struct {
    std::string file, content, reason;
  } refusals[] = {
      {"many.dae", colladaBox(17), "its nodes repeat its meshes into 4718592 vertices, more than its own 36 plus 4194304" +
                                       fewerCopies},
      {"dense.gltf", gltfBox(thirty, {}, 3334),
       "its nodes repeat its meshes into 1200240 faces, more than its own 40008 plus 1048576" + fewerCopies},
      {"mirrored.xml", colladaBox(0, "-&#48;.001"), "its unit <unit meter=\"-0.001\"/> is not a finite positive length" + metres},
      {"tiny.dae", colladaBox(0, "1e-30"), "its unit <unit meter=\"1e-30\"/> makes the model 5e-29 m across, outside the "
                                           "1e-06 m to 1e+06 m that training can use" + metres},
      {"worded.dae", colladaBox(0, "1mm"), "its unit <unit meter=\"1mm\"/> is not a plain number of metres: write "
                                           "meter as a number alone, such as 0.001 for millimetres."},
      {"doubling.xml", instancing, "its nodes repeat one another into 2199023255553 nodes, more than its own 43" +
                                           fewerNodes},
      {"doubling.json", gltfBox(doubling),  // each node also a root of the scene
       "its nodes repeat one another into 4398046511061 nodes, more than its own 41" + fewerNodes},
  };
  for (const auto& refusal : refusals) {
    writeFile(dir / refusal.file, refusal.content);
    EXPECT_TRUE(train(dir / ("out-" + refusal.file), (dir / refusal.file).string(), "[0.12, 0.2]", 3, r).empty());
    EXPECT_EQ(r.out, kStarting + "ERROR: Could not load the model\n" + kFailed);
    EXPECT_EQ(r.err, "The model " + quoted((dir / refusal.file).string()) + " could not be loaded: " + refusal.reason + "\n");
  }
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
  // From 0.06 m to 0.1 m the near clipping plane cuts the model: that is what the views' reasons
  // blame, not an edge-on view or a model too small. About 40 % of the views give a template (the
  // poses are drawn at random; half must): fewer views would now and then train.
  EXPECT_TRUE(train(dir / "clipped", (dir / "tetrahedron.obj").string(), "[0.06, 0.1]", 1000, r).empty());
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\n[0-9]+ of the 2000 camera views tried showed fewer than the 127 "
      "edge points a template needs, even with edge samples down to every 0.459 mm \\(0.75 % of the model's reach\\): "
      "cameras nearer than 0.161 m cut the model at the near clipping plane, .*\n[0-9]+ of the 2000 camera views tried "
      "showed too little of the model .*, which cut the model at the near clipping plane; raise the minimum of "
      "CAD.Detection.DistanceRange to at least 0.161 m.\n$"))) << r.err;
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
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
    EXPECT_EQ(snapshotTree(out), before);
    EXPECT_TRUE(kill(-run, 0) != 0 && errno == ESRCH);
  }
}
