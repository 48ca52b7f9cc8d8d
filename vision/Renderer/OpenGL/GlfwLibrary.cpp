#include "Renderer/OpenGL/GlfwLibrary.h"

#include <GLFW/glfw3.h>

#include <mutex>

namespace Lumetra::OpenGL {

namespace {
std::mutex gMutex;
int gReferences = 0;
}  // namespace

bool acquireGlfw() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gReferences == 0 && glfwInit() != GLFW_TRUE) {
    glfwTerminate();
    return false;
  }
  ++gReferences;
  return true;
}

void releaseGlfw() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gReferences == 0) return;
  if (--gReferences == 0) glfwTerminate();
}

int glfwReferenceCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gReferences;
}

}  // namespace Lumetra::OpenGL
