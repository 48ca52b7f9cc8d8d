#pragma once
// The surface the multiple view renderer draws on: a window of the process's OpenGL context with
// the GL objects drawn with it. Making one costs far more than a training's views, so a finished
// renderer leaves its surface to the next renderer of the same size and window kind, and the
// process releases the last one at exit.
#include <glad/gl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Obrin {

// A window with its context and the GL objects drawn with it, made for one requested size and
// window kind.
struct RenderSurface {
  RenderSurface() = default;
  RenderSurface(const RenderSurface&) = delete;
  RenderSurface& operator=(const RenderSurface&) = delete;
  ~RenderSurface();

  bool fits(std::int32_t requestWidth, std::int32_t requestHeight, bool debug) const {
    return complete && requestedWidth == requestWidth && requestedHeight == requestHeight && debugWindow == debug;
  }

  std::int32_t requestedWidth = 0;
  std::int32_t requestedHeight = 0;
  bool debugWindow = false;
  /// The window's name in the process's OpenGL context; empty until it is open.
  std::string window;
  bool glLoaded = false;
  /// Framebuffer and programs built: another renderer may draw with it.
  bool complete = false;
  std::int32_t width = 0;
  std::int32_t height = 0;
  GLuint objectProgram = 0;
  GLuint screenProgram = 0;
  GLuint vertexArray = 0;
  GLuint vertexBuffer = 0;
  GLuint elementBuffer = 0;
  GLuint texture = 0;
  GLuint framebuffer = 0;
  GLuint colourBuffer = 0;
  GLint modelLocation = -1;
  GLint viewLocation = -1;
  GLint projectionLocation = -1;
};

/// The surface the last finished renderer left, when it fits the size and window kind asked for;
/// null when there is none (one that does not fit is released).
std::unique_ptr<RenderSurface> takeIdleSurface(std::int32_t width, std::int32_t height, bool debugWindow);
/// Keeps a complete surface for the next renderer.
void leaveIdleSurface(std::unique_ptr<RenderSurface> surface);

}  // namespace Obrin
