// How many nodes a file's hierarchy becomes once read, counted before the import library reads it.
#include "Renderer/NodeExpansion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using Lumetra::NodeFormat;

// COLLADA nodes n0..n<levels>, each naming the one below twice (`spelled` around its url), placed
// once by a visual scene's node; `extra` follows them in the library.
std::string doublingCollada(int levels, const std::string& extra = "", const std::string& spelled = "url=\"#n") {
  std::string nodes = "<node id=\"n0\"/>";
  for (int k = 1; k <= levels; ++k) {
    const std::string below = "<instance_node " + spelled + std::to_string(k - 1) + "\"/>";
    nodes += "<node id=\"n" + std::to_string(k) + "\">" + below + below + "</node>";
  }
  return "<?xml version=\"1.0\"?>\n<COLLADA><library_nodes>" + nodes + extra + "</library_nodes><library_visual_scenes>"
         "<visual_scene id=\"s\"><node id=\"top\"><instance_node url=\"#n" + std::to_string(levels) +
         "\"/></node></visual_scene></library_visual_scenes></COLLADA>";
}

// glTF nodes 0..<levels>, each naming the next twice as its children, with the scenes given.
std::string doublingGltf(int levels, const std::string& scenes) {
  std::string nodes;
  for (int k = 1; k <= levels; ++k)  // names with a quote and brackets in them
    nodes += "{\"name\": \"a\\\"]}\", \"children\": [" + std::to_string(k) + ", " + std::to_string(k) + "]}, ";
  return "{\"asset\": {\"version\": \"2.0\"}" + scenes + ", \"nodes\": [" + nodes + "{}]}";
}

TEST(NodeExpansion, CountsEachNamingAsACopyOfItsSubtree) {
  const std::uint64_t twenty = (std::uint64_t{1} << 21) - 1;  // nodes 20 doubling levels become
  const struct {
    const char* what;
    NodeFormat format;
    std::string text;
    std::uint64_t expanded, own;  // 0: not refused
  } rows[] = {
      {"COLLADA, a node no node places", NodeFormat::Collada, doublingCollada(20, "<node id=\"spare\"/>"), twenty + 2, 24},
      {"spelled with spaces and a reference", NodeFormat::Collada, doublingCollada(20, "", "url = \"&#35;n"), twenty + 2, 23},
      {"a commented-out doubling", NodeFormat::Collada, doublingCollada(0, "<!-- " + doublingCollada(21) + " -->"), 0, 0},
      {"glTF, its scene's roots", NodeFormat::Gltf, doublingGltf(20, ", \"scenes\": [{\"nodes\": [0, 0]}]"), 2 * twenty, 21},
      {"glTF, the nodes none names", NodeFormat::Gltf, doublingGltf(20, ""), twenty, 21},
      {"binary glTF", NodeFormat::Glb, std::string("glTF\2\0\0\0\0\0\0\0", 12) + std::string("\xFF\xFF\0\0JSON", 8) +
                                           doublingGltf(20, ""), twenty, 21},
      {"glTF that does not parse", NodeFormat::Gltf, doublingGltf(20, "").substr(1), 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Lumetra::repeatedNodes(row.format, row.text),
              row.expanded == 0 ? "" : "its nodes repeat one another into " + std::to_string(row.expanded) +
                                           " nodes, more than its own " + std::to_string(row.own) +
                                           " plus 1048576: have its nodes place fewer copies of one another.");
  }
}

}  // namespace
