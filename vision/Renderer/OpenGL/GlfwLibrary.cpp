#include "Renderer/OpenGL/GlfwLibrary.h"

#include "Core/Log.h"

#include <GLFW/glfw3.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
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

// The window library's native accessor of its X11 connection (declared here so that the
// X extension headers its native header pulls in are not needed).
extern "C" Display* glfwGetX11Display(void);

namespace Lumetra::OpenGL {

namespace {
std::mutex gMutex;
int gReferences = 0;
// Guarded by gMutex. Set when a start was given up: the thread that made it may still be inside
// the window library, which nothing else may call any more.
bool gStalled = false;
std::string gFailure;
// Held while the library is brought up (which can wait on the display) rather than gMutex, so that
// a start given up leaves the other calls here usable.
std::mutex gInitMutex;

std::string displayName() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr ? name : "";
}

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

bool acquireGlfw(const std::function<bool()>& displayAnswered) {
  {
    const std::lock_guard<std::mutex> lock(gMutex);
    if (gStalled) return false;
    if (gReferences > 0) {
      ++gReferences;
      return true;
    }
  }
  const std::lock_guard<std::mutex> init(gInitMutex);
  // A connection of its own first: whether the display answers at all is told apart from a
  // display that answers and then stalls. It stays open until the library has connected, so that
  // a display which resets when its last client leaves does not reset in between.
  xcb_connection_t* probe = xcb_connect(nullptr, nullptr);
  if (displayAnswered && !displayAnswered()) {
    xcb_disconnect(probe);
    return false;
  }
  // An X server that has just lost its last client resets itself and refuses connections until
  // it is done, longer on a busy machine: the library is initialised again after a short wait.
  bool initialised = true;
  for (int attempt = 0; glfwInit() != GLFW_TRUE; ++attempt) {
    const char* reason = nullptr;
    glfwGetError(&reason);
    glfwTerminate();
    LUMETRA_LOG_WARN("Window library initialisation attempt {} failed: {}", attempt + 1,
                     reason != nullptr ? reason : "no reason given");
    if (attempt == 2) {
      initialised = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 * (attempt + 1)));
  }
  xcb_disconnect(probe);
  const std::lock_guard<std::mutex> lock(gMutex);
  if (!initialised) {
    const std::string name = displayName();
    gFailure = name.empty() ? "no X display is named; set DISPLAY to one, or run under a virtual display such as Xvfb"
                            : "the X display \"" + name + "\" (DISPLAY) could not be opened; set DISPLAY to a "
                              "running display, or run under a virtual display such as Xvfb";
    return false;
  }
  ++gReferences;
  return true;
}

void markGlfwStalled(const std::string& failure) {
  const std::lock_guard<std::mutex> lock(gMutex);
  gStalled = true;
  gFailure = failure;
}

bool glfwGivenUp() {
  const std::lock_guard<std::mutex> lock(gMutex);
  return gStalled;
}

void releaseGlfw() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gReferences == 0 || gStalled) return;
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
  if (window == nullptr) {
    // Indirect rendering (the X server draws) offers no core-profile context on most servers.
    const char* indirect = std::getenv("LIBGL_ALWAYS_INDIRECT");
    std::string value = indirect != nullptr ? indirect : "";
    const std::string asked = value;
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::lock_guard<std::mutex> lock(gMutex);
    gFailure = value == "1" || value == "true" || value == "y" || value == "yes"
                   ? "LIBGL_ALWAYS_INDIRECT=" + asked +
                         " asks for indirect rendering, which offers no OpenGL 3.3 core-profile context here; unset "
                         "LIBGL_ALWAYS_INDIRECT"
                   : "the display offers no OpenGL 3.3 core-profile context";
  }
  return window;
}

std::string windowSystemFailure() {
  const std::lock_guard<std::mutex> lock(gMutex);
  return gFailure;
}

int glfwReferenceCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gReferences;
}

// A peek that reports end of stream or an error other than "nothing to read" means the server
// has gone.
bool displayConnectionAlive() {
  {
    // A display that stopped answering is as good as gone: a call to it would never return.
    const std::lock_guard<std::mutex> lock(gMutex);
    if (gStalled) return false;
  }
  Display* display = glfwGetX11Display();
  if (display == nullptr) return true;  // not an X11 session: nothing to check
  char byte = 0;
  const ssize_t n = recv(ConnectionNumber(display), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

}  // namespace Lumetra::OpenGL
