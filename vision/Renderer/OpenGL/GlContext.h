#pragma once
// The process's hidden OpenGL context: a 1 x 1 invisible window whose context every off-screen
// renderer of the CAD road draws with. It is made once, on first use, and lives until exit.
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

  bool isInitialized() const { return initialised; }
  /// Why the context could not be made, in a user's words; empty when it was.
  const std::string& failure() const { return mFailure; }

  /// The largest framebuffer side the driver accepts: the smallest of its renderbuffer, texture
  /// and viewport limits. 0 when there is no context.
  std::int32_t maxRenderbufferSize() const { return mMaxRenderbufferSize; }

  /// The window library's error callback.
  static void onGlfwError(int code, const char* description);

 private:
  /// Brings the window library, the hidden window and the OpenGL functions up. Failures are
  /// logged and leave the object not initialised; nothing throws.
  GlContext();
  /// At process exit: destroys the windows while the display still answers.
  ~GlContext();

  GLFWwindow* mainWindow = nullptr;
  std::unordered_map<std::string, GLFWwindow*> windows;
  std::mutex windowsMutex;
  bool initialised = false;
  bool mHoldsGlfw = false;
  std::int32_t mMaxRenderbufferSize = 0;
  std::string mFailure;
};

}  // namespace Lumetra::OpenGL
