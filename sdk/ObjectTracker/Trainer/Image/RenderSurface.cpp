#include "ObjectTracker/Trainer/Image/RenderSurface.h"

#include "Renderer/OpenGL/GlContext.h"
#include "Renderer/OpenGL/GlfwLibrary.h"

#include <cstdlib>
#include <mutex>

namespace Obrin {

RenderSurface::~RenderSurface() {
  if (window.empty()) return;
  Lumetra::OpenGL::GlContext& context = Lumetra::OpenGL::GlContext::shared();
  // Over a display that no longer answers, any call would end the process.
  if (glLoaded && Lumetra::OpenGL::displayConnectionAlive() && context.makeContextCurrent(window)) {
    if (glIsBuffer(elementBuffer)) glDeleteBuffers(1, &elementBuffer);
    if (glIsBuffer(vertexBuffer)) glDeleteBuffers(1, &vertexBuffer);
    if (glIsVertexArray(vertexArray)) glDeleteVertexArrays(1, &vertexArray);
    if (glIsTexture(texture)) glDeleteTextures(1, &texture);
    if (glIsRenderbuffer(colourBuffer)) glDeleteRenderbuffers(1, &colourBuffer);
    if (glIsFramebuffer(framebuffer)) glDeleteFramebuffers(1, &framebuffer);
    if (glIsProgram(objectProgram)) glDeleteProgram(objectProgram);
    if (glIsProgram(screenProgram)) glDeleteProgram(screenProgram);
  }
  context.closeWindow(window);
}

namespace {

// The surface the last finished renderer left for the next one. Set-up (window library, window,
// context, shader compilation) costs many times a training's views, so one surface serves every
// training of a run or batch. Released once, at exit.
std::mutex gIdleSurfaceMutex;
std::unique_ptr<RenderSurface> gIdleSurface;

void releaseIdleSurface() {
  std::unique_ptr<RenderSurface> surface;
  const std::lock_guard<std::mutex> lock(gIdleSurfaceMutex);
  surface = std::move(gIdleSurface);
}

}  // namespace

std::unique_ptr<RenderSurface> takeIdleSurface(std::int32_t width, std::int32_t height, bool debugWindow) {
  std::unique_ptr<RenderSurface> surface;
  {
    const std::lock_guard<std::mutex> lock(gIdleSurfaceMutex);
    surface = std::move(gIdleSurface);
  }
  // A surface of another size or window kind is not kept for later: settings do not change
  // within a batch. One over a display that has gone is given up.
  if (surface != nullptr && (!surface->fits(width, height, debugWindow) || !Lumetra::OpenGL::displayConnectionAlive())) {
    surface.reset();
  }
  return surface;
}

void leaveIdleSurface(std::unique_ptr<RenderSurface> surface) {
  // Registered once the first surface has drawn, after the OpenGL driver's own exit handlers, so
  // the release at exit runs before them. Without the registration nothing is kept.
  static const bool releasedAtExit = std::atexit(&releaseIdleSurface) == 0;
  if (!releasedAtExit) return;
  std::unique_ptr<RenderSurface> previous;
  {
    const std::lock_guard<std::mutex> lock(gIdleSurfaceMutex);
    previous = std::move(gIdleSurface);
    gIdleSurface = std::move(surface);
  }
}

}  // namespace Obrin
