#pragma once
// The process's hidden OpenGL context: a 1 x 1 invisible window whose context every off-screen
// renderer of the CAD road draws with. It is made once, on first use, and lives until exit.
// Renderers that need a window of their own (of a given size, or shown) open named windows
// here, each with its own context, and select them by name.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

struct GLFWwindow;

namespace Lumetra::OpenGL {

class GlContext {
 public:
  /// The one instance of the process, brought up on the first call (thread-safe).
  static GlContext& shared();

  GlContext(const GlContext&) = delete;
  GlContext& operator=(const GlContext&) = delete;

  /// Makes the hidden window's context (empty name) or a named window's context current on the
  /// calling thread. False, with nothing changed, when there is no such window.
  bool makeContextCurrent(const std::string& name = std::string());

  /// Opens a named window of the given size, shown or hidden, with an OpenGL 3.3 core-profile
  /// context of its own that is left current on the calling thread; buffer swaps do not wait for
  /// the display. Its framebuffer size goes to `framebufferWidth` and `framebufferHeight`. False,
  /// with `failure()` saying why, when the hidden context is not up, the display has gone, or no
  /// window could be made.
  bool openWindow(const std::string& name, int width, int height, bool visible, int& framebufferWidth,
                  int& framebufferHeight);
  /// Destroys a named window; over a display that has gone it is only forgotten.
  void closeWindow(const std::string& name);
  /// Shows what was drawn into a named window's own framebuffer.
  void swapBuffers(const std::string& name);

  bool isInitialized() const { return initialised; }
  /// Why the context or the last window could not be made, in a user's words.
  const std::string& failure() const { return mFailure; }

  /// The largest framebuffer side the driver accepts: the smallest of its renderbuffer, texture
  /// and viewport limits. 0 when there is no context.
  std::int32_t maxRenderbufferSize() const { return mMaxRenderbufferSize; }

  /// The window library's error callback.
  static void onGlfwError(int code, const char* description);

 private:
  /// Brings the window library, the hidden window and the OpenGL functions up, within the
  /// bounds of `startOpenGl`. Failures are logged and leave the object not initialised; nothing
  /// throws.
  GlContext();
  /// At process exit: destroys the windows while the display still answers.
  ~GlContext();

  /// The named window, or null.
  GLFWwindow* window(const std::string& name);

  GLFWwindow* mainWindow = nullptr;
  std::unordered_map<std::string, GLFWwindow*> windows;
  std::mutex windowsMutex;
  bool initialised = false;
  bool mHoldsGlfw = false;
  std::int32_t mMaxRenderbufferSize = 0;
  std::string mFailure;
};

}  // namespace Lumetra::OpenGL
