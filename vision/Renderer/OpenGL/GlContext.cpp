#include "Renderer/OpenGL/GlContext.h"

#include "Core/Log.h"
#include "Renderer/OpenGL/GlfwLibrary.h"
#include "Renderer/OpenGL/OpenGlStart.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

namespace Lumetra::OpenGL {

GlContext& GlContext::shared() {
  static GlContext context;
  return context;
}

void GlContext::onGlfwError(int code, const char* description) {
  LUMETRA_LOG_ERROR("GLFW Error occurred ({}) {}.", code, description != nullptr ? description : "");
}

GlContext::GlContext() {
  glfwSetErrorCallback(&GlContext::onGlfwError);
  StartedContext started;
  if (!startOpenGl(started, mFailure)) return;
  mHoldsGlfw = true;
  mainWindow = started.window;
  glfwMakeContextCurrent(mainWindow);
  mMaxRenderbufferSize = started.maxRenderbufferSize;
  initialised = true;
}

GlContext::~GlContext() {
  // Runs at process exit. The windows go while the display still answers (over a closed
  // connection Xlib would end the process from its I/O error handler). The window library stays
  // initialised and the operating system closes its connection: terminating it here would unload
  // the OpenGL driver while later exit handlers may still use the library.
  if (!mHoldsGlfw || glfwReferenceCount() == 0 || !displayConnectionAlive()) return;
  for (auto& entry : windows) glfwDestroyWindow(entry.second);
  windows.clear();
  if (mainWindow != nullptr) glfwDestroyWindow(mainWindow);
  mainWindow = nullptr;
}

GLFWwindow* GlContext::window(const std::string& name) {
  const std::lock_guard<std::mutex> lock(windowsMutex);
  const auto found = windows.find(name);
  return found == windows.end() ? nullptr : found->second;
}

bool GlContext::makeContextCurrent(const std::string& name) {
  GLFWwindow* current = nullptr;
  if (name.empty()) {
    if (mainWindow == nullptr) {
      LUMETRA_LOG_ERROR("No context creator");
      return false;
    }
    current = mainWindow;
  } else {
    current = window(name);
    if (current == nullptr) {
      LUMETRA_LOG_ERROR("No reference exists to the window {}.", name);
      return false;
    }
  }
  if (glfwGetCurrentContext() != current) glfwMakeContextCurrent(current);
  return true;
}

bool GlContext::openWindow(const std::string& name, int width, int height, bool visible, int& framebufferWidth,
                           int& framebufferHeight) {
  if (!initialised) return false;
  // Over a display that has gone, any call to it would end the process.
  if (!displayConnectionAlive()) {
    // A display given up earlier in the run is named as it was then.
    mFailure = glfwGivenUp() ? windowSystemFailure()
                             : "the X display (DISPLAY) closed its connection during the run; set DISPLAY to a "
                               "running display";
    return false;
  }
  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
  glfwWindowHint(GLFW_VISIBLE, visible ? GLFW_TRUE : GLFW_FALSE);
  GLFWwindow* made = openWindowBounded(width, height, "GLfw Window", framebufferWidth, framebufferHeight, mFailure);
  if (made == nullptr) return false;
  glfwDefaultWindowHints();
  {
    const std::lock_guard<std::mutex> lock(windowsMutex);
    windows[name] = made;
  }
  glfwMakeContextCurrent(made);
  return true;
}

void GlContext::closeWindow(const std::string& name) {
  GLFWwindow* closing = window(name);
  if (closing == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(windowsMutex);
    windows.erase(name);
  }
  if (!displayConnectionAlive()) return;
  if (glfwGetCurrentContext() == closing) glfwMakeContextCurrent(nullptr);
  glfwDestroyWindow(closing);
}

void GlContext::swapBuffers(const std::string& name) {
  GLFWwindow* shown = window(name);
  if (shown != nullptr) glfwSwapBuffers(shown);
}

}  // namespace Lumetra::OpenGL
