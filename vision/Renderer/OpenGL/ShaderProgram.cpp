#include "Renderer/OpenGL/ShaderProgram.h"

#include <glad/gl.h>

#include <algorithm>

namespace Lumetra::OpenGL {

namespace {

std::string infoLog(GLuint object, void (*getLog)(GLuint, GLsizei, GLsizei*, GLchar*)) {
  std::string info(8196, '\0');
  GLsizei length = 0;
  getLog(object, static_cast<GLsizei>(info.size()), &length, info.data());
  info.resize(static_cast<std::size_t>(std::max(length, 0)));
  return info;
}

// Compiles one stage and attaches it; the log of a failed compile goes to `log`.
bool attachShader(GLuint program, GLenum type, const char* source, std::string& log) {
  const GLuint shader = glCreateShader(type);
  glShaderSource(shader, 1, &source, nullptr);
  glCompileShader(shader);
  GLint compiled = GL_FALSE;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
  if (compiled != GL_TRUE) {
    log = infoLog(shader, glGetShaderInfoLog);
    glDeleteShader(shader);
    return false;
  }
  glAttachShader(program, shader);
  glDeleteShader(shader);  // stays alive while attached
  return true;
}

}  // namespace

ShaderBuild buildShaderProgram(std::uint32_t& program, const char* vertexSource, const char* fragmentSource) {
  ShaderBuild build;
  program = glCreateProgram();
  if (program == 0) {
    build.failedStep = ShaderStep::CreateProgram;
  } else if (!attachShader(program, GL_VERTEX_SHADER, vertexSource, build.log)) {
    build.failedStep = ShaderStep::CompileVertex;
  } else if (!attachShader(program, GL_FRAGMENT_SHADER, fragmentSource, build.log)) {
    build.failedStep = ShaderStep::CompileFragment;
  } else {
    glLinkProgram(program);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
      build.failedStep = ShaderStep::Link;
      build.log = infoLog(program, glGetProgramInfoLog);
    }
  }
  return build;
}

}  // namespace Lumetra::OpenGL
