#pragma once
// The shader sources of the occlusion tester's programs. Each pass draws up to GRID_SIZE x
// GRID_SIZE poses at once, every pose in its own tile of one framebuffer.
#include <string>

namespace Lumetra::OpenGL {

/// The version, the precisions and the tile grid's sizes that every shader starts with.
std::string shaderHeader();

/// Vertex shader bodies: the mesh drawn once per pose (one model-view matrix per instance), the
/// sample points drawn once per pose, and the sample points of every pose of a pass at once.
extern const char* const kMeshVertex;
extern const char* const kPointVertex;
extern const char* const kMultiPoseVertex;
/// The fragment shaders' test that a fragment lies in its pose's tile, and the mesh's fragment body.
extern const char* const kInsideTile;
extern const char* const kMeshFragment;

/// A whole vertex shader: the header, the tiling, then the body.
std::string vertexShader(const char* body);
/// A whole fragment shader that flags each sample point it draws as visible, drawn in `color`
/// (a GLSL vec4).
std::string pointFragmentShader(const char* color);

}  // namespace Lumetra::OpenGL
