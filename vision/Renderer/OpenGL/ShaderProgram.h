#pragma once
// Compiling two shader stages and linking them into one program, for every renderer that draws
// with shaders of its own. The caller's context is current and its OpenGL functions are loaded.
#include <cstdint>
#include <string>

namespace Lumetra::OpenGL {

/// The step at which building a program stopped.
enum class ShaderStep { None, CreateProgram, CompileVertex, CompileFragment, Link };

/// How building a program went: the failed step (None when it linked) and the driver's info log
/// of the failed compile or link.
struct ShaderBuild {
  ShaderStep failedStep = ShaderStep::None;
  std::string log;

  bool ok() const { return failedStep == ShaderStep::None; }
};

/// Creates a program in `program`, compiles the vertex and the fragment source, attaches them and
/// links. The shaders go with the program; a program that failed is left to the caller to delete
/// with its other objects (0 when none could be created).
ShaderBuild buildShaderProgram(std::uint32_t& program, const char* vertexSource, const char* fragmentSource);

}  // namespace Lumetra::OpenGL
