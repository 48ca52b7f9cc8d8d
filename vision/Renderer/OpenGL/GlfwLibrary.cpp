#include "Renderer/OpenGL/GlfwLibrary.h"

#include <GLFW/glfw3.h>

#include "Core/Log.h"

#include <chrono>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define LUMETRA_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMETRA_LEAK_CHECKED 1
#endif
#endif

#ifdef LUMETRA_LEAK_CHECKED
#include <dlfcn.h>
#include <link.h>

#include <string>
#include <vector>
#endif

namespace Lumetra::OpenGL {

namespace {
std::mutex gMutex;
int gReferences = 0;

/// Leak-checked builds only: terminating the window library unloads the OpenGL driver libraries
/// it loaded, and the leak report at exit could then no longer name the library that made an
/// allocation; the leak suppressions go by library name. Every library loaded now stays loaded.
void keepLoadedLibraries() {
#ifdef LUMETRA_LEAK_CHECKED
  std::vector<std::string> names;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
          static_cast<std::vector<std::string>*>(out)->emplace_back(info->dlpi_name);
        }
        return 0;
      },
      &names);
  for (const std::string& name : names) dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
#endif
}
}  // namespace

bool acquireGlfw() {
  std::lock_guard<std::mutex> lock(gMutex);
  // A busy display server can turn a connection away for a moment; without the library no
  // renderer can be made, and a CAD run would then refuse a valid model. A few tries, as for windows.
  for (int attempt = 0; gReferences == 0; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50 * attempt));
    if (glfwInit() == GLFW_TRUE) break;
    const char* reason = nullptr;
    glfwGetError(&reason);
    LUMETRA_LOG_WARN("Window library start attempt {} failed: {}", attempt + 1, reason != nullptr ? reason : "no reason given");
    glfwTerminate();
    if (attempt == 2) return false;
  }
  ++gReferences;
  return true;
}

void releaseGlfw() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gReferences == 0) return;
  if (--gReferences == 0) {
    keepLoadedLibraries();
    glfwTerminate();
  }
}

GLFWwindow* createWindow(int width, int height, const char* title) {
  GLFWwindow* window = nullptr;
  for (int attempt = 0; attempt < 3 && window == nullptr; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50 * attempt));
    window = glfwCreateWindow(width, height, title, nullptr, nullptr);
    if (window == nullptr) {
      const char* reason = nullptr;
      glfwGetError(&reason);
      LUMETRA_LOG_WARN("Window creation attempt {} failed: {}", attempt + 1, reason != nullptr ? reason : "no reason given");
    }
  }
  return window;
}

int glfwReferenceCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gReferences;
}

}  // namespace Lumetra::OpenGL
