#include "Renderer/OpenGL/OcclusionShaders.h"

#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include <cstring>

namespace Lumetra::OpenGL {

using Tester = MultiPoseMeshOcclusionTester;

// Every shader starts with the version, the precisions and the tile grid's sizes, written from the
// constants that the drawing code uses.
std::string shaderHeader() {
  return "#version 320 es\nprecision highp float;\nprecision highp int;\n#define GRID_SIZE " +
         std::to_string(Tester::mGridSize) + "\n#define POSES_PER_PASS " + std::to_string(Tester::mPosesPerPass) +
         "\n";
}

// A pose's view takes 1 / GRID_SIZE of the framebuffer's width and height: tile id lies in column
// id % GRID_SIZE and row id / GRID_SIZE, tile 0 in the lowest, leftmost corner; a tile's centre
// lies at (2 i + 1) / GRID_SIZE - 1 in normalised coordinates (-0.75, -0.25, 0.25, 0.75 for
// four, all exact). The shift is scaled by w, so depth and w are still clipped in the pose's own
// clip space: nothing behind the camera or outside the near and far planes is drawn. The
// fragment shaders keep each pose in its tile.
const char* const kTiling = R"(
uniform mat4 proj;
flat out int tile;
float tileCentre(int i) { return float(2 * i + 1) / float(GRID_SIZE) - 1.0; }
vec4 tiled(vec4 clip, int id) {
  tile = id;
  vec2 centre = vec2(tileCentre(id % GRID_SIZE), tileCentre(id / GRID_SIZE));
  return vec4(clip.xy / float(GRID_SIZE) + centre * clip.w, clip.zw);
}
)";

const char* const kMeshVertex = R"(
layout(location = 0) in vec3 pos;
layout(location = 1) in mat4 modelView;
void main() {
  gl_Position = tiled(proj * modelView * vec4(pos, 1.0), gl_InstanceID);
}
)";

const char* const kPointVertex = R"(
layout(location = 0) in vec3 pos;
layout(location = 1) in mat4 modelView;
uniform int samplePointOffset;
flat out int vertexId;
void main() {
  vertexId = gl_InstanceID * samplePointOffset + gl_VertexID;
  gl_PointSize = 2.0;
  gl_Position = tiled(proj * modelView * vec4(pos, 1.0), gl_InstanceID);
}
)";

const char* const kMultiPoseVertex = R"(
layout(location = 0) in vec3 pos;
uniform int numPoses;
uniform int samplePointOffset[POSES_PER_PASS];
uniform mat4 modelView[POSES_PER_PASS];
flat out int vertexId;
void main() {
  vertexId = gl_VertexID;
  int id = numPoses - 1;
  for (int i = 0; i < numPoses - 1; ++i) {
    if (vertexId < samplePointOffset[i + 1]) {
      id = i;
      break;
    }
  }
  gl_PointSize = 2.0;
  gl_Position = tiled(proj * modelView[id] * vec4(pos, 1.0), id);
}
)";

const char* const kInsideTile = R"(
uniform vec2 tileSize;
flat in int tile;
out vec4 fragColor;
bool insideTile() {
  ivec2 cell = ivec2(gl_FragCoord.xy / tileSize);
  return cell.x + GRID_SIZE * cell.y == tile;
}
)";

const char* const kMeshFragment = R"(
void main() {
  if (!insideTile()) discard;
  fragColor = vec4(1.0, 1.0, 1.0, 1.0);
}
)";

// Early fragment tests: a fragment that fails the depth test never runs, so never sets a flag.
const char* const kPointFragment = R"(
layout(early_fragment_tests) in;
layout(std430, binding = 0) buffer VertexVisibilityBuffer { int visible[]; };
flat in int vertexId;
void main() {
  if (!insideTile()) discard;
  visible[vertexId] = 1;
  fragColor = POINT_COLOR;
}
)";

std::string vertexShader(const char* body) { return shaderHeader() + kTiling + body; }

std::string pointFragmentShader(const char* color) {
  std::string body = kPointFragment;
  body.replace(body.find("POINT_COLOR"), std::strlen("POINT_COLOR"), color);
  return shaderHeader() + kInsideTile + body;
}

}  // namespace Lumetra::OpenGL
