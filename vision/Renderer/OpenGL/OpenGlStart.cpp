#include "Renderer/OpenGL/OpenGlStart.h"

#include "Core/Log.h"
#include "Renderer/OpenGL/GlfwLibrary.h"

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace Lumetra::OpenGL {

namespace {

enum class Stage { Connecting, Starting, Ended, ConnectionLost };

/// Shared by the caller and the thread that starts; the results are read only once it ended.
struct Start {
  std::mutex mutex;
  std::condition_variable changed;
  Stage stage = Stage::Connecting;
  bool abandoned = false;
  bool succeeded = false;
  StartedContext made;
  std::string failure;
  int framebufferWidth = 0;
  int framebufferHeight = 0;

  /// Moves to the stage; false when the caller has given the start up (nothing more may be done).
  bool reach(Stage next) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      if (abandoned) return false;
      stage = next;
    }
    changed.notify_all();
    return true;
  }
};

// The start the calling thread is making, for the I/O error handler.
thread_local Start* tStart = nullptr;
XIOErrorHandler gPreviousIoErrorHandler = nullptr;

// Xlib ends the process when a handler of a lost connection returns. A connection lost during a
// start only ends that start: its thread reports it and stays parked, holding the connection that
// nothing else uses.
int onIoError(Display* display) {
  if (Start* start = tStart) {
    {
      const std::lock_guard<std::mutex> lock(start->mutex);
      start->stage = Stage::ConnectionLost;
    }
    start->changed.notify_all();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  return gPreviousIoErrorHandler != nullptr ? gPreviousIoErrorHandler(display) : 0;
}

/// The steps of the start; fills `start`'s results. On a thread of its own (`parkable`), a lost
/// connection parks the thread; on the caller's, it ends the process as Xlib does.
void runStart(Start& start, bool parkable) {
  if (parkable) tStart = &start;
  static std::once_flag handlerSet;
  std::call_once(handlerSet, [] { gPreviousIoErrorHandler = XSetIOErrorHandler(&onIoError); });
  // Logged only while the caller still waits: a start given up says why on its own.
  const auto fail = [&start](std::string why, const char* logged) {
    const std::lock_guard<std::mutex> lock(start.mutex);
    if (!start.abandoned) LUMETRA_LOG_ERROR("{}", logged);
    start.failure = std::move(why);
  };
  if (!acquireGlfw([&start] { return start.reach(Stage::Starting); })) {
    fail(windowSystemFailure(), "GLFW failed to initialize.");
  } else if (!start.reach(Stage::Starting)) {
    return;  // given up: the library stays as it is
  } else {
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    GLFWwindow* window = createWindow(1, 1, "");
    if (window != nullptr) glfwMakeContextCurrent(window);
    if (window == nullptr || gladLoadGL(glfwGetProcAddress) <= 0) {
      fail(window == nullptr ? windowSystemFailure() : "the OpenGL functions could not be loaded",
           "Loading GLAD failed!");
      if (window != nullptr) glfwDestroyWindow(window);
      releaseGlfw();
    } else {
      GLint renderbuffer = 0;
      GLint texture = 0;
      GLint viewport[2] = {0, 0};
      glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &renderbuffer);
      glGetIntegerv(GL_MAX_TEXTURE_SIZE, &texture);
      glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
      glfwMakeContextCurrent(nullptr);  // the caller makes it current on its own thread
      const std::lock_guard<std::mutex> lock(start.mutex);
      start.made = {window, std::min({renderbuffer, texture, viewport[0], viewport[1]})};
      start.succeeded = true;
    }
  }
  start.reach(Stage::Ended);
  tStart = nullptr;
}

std::string displayName() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr ? name : "";
}

/// Why a start or a window was given up: what the display did, and what to do about it.
std::string givenUp(const std::string& what) {
  return "the X display \"" + displayName() + "\" (DISPLAY) " + what +
         "; restart it or the connection that forwards it, or set DISPLAY to another display";
}

/// Why a start was given up at the stage it had reached.
std::string stalledReason(Stage stage) {
  switch (stage) {
    case Stage::Connecting:
      return givenUp("accepted a connection but did not answer it within " + std::to_string(kDisplayAnswerSeconds) +
                     " seconds");
    case Stage::ConnectionLost:
      return givenUp("closed its connection while OpenGL was starting");
    case Stage::Starting:
    case Stage::Ended:
      break;
  }
  return givenUp("answered a first connection, but starting OpenGL over it (the window library's own connection, the "
                 "context, the driver's functions) did not end within " +
                 std::to_string(kOpenGlStartSeconds) +
                 " seconds: it may serve one client at a time or have stopped answering");
}

/// Waits for the thread of `start`: for the display's first answer within `kDisplayAnswerSeconds`
/// while it connects, for the end within `kOpenGlStartSeconds`. Gives the start up, with why in
/// `failure`, when it did not end in time or the display closed the connection. True when it
/// ended and succeeded; else why in `failure`.
bool awaitStart(Start& start, std::string& failure, std::string (*reason)(Stage)) {
  const auto began = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(start.mutex);
  const bool answered = start.changed.wait_until(lock, began + std::chrono::seconds(kDisplayAnswerSeconds),
                                                 [&start] { return start.stage != Stage::Connecting; });
  const bool ended = answered && start.changed.wait_until(lock, began + std::chrono::seconds(kOpenGlStartSeconds), [&start] {
    return start.stage == Stage::Ended || start.stage == Stage::ConnectionLost;
  });
  if (ended && start.stage != Stage::ConnectionLost) {
    if (!start.succeeded) failure = start.failure;
    return start.succeeded;  // the thread has ended: its results stay as they are
  }
  start.abandoned = true;
  failure = reason(start.stage);
  lock.unlock();
  LUMETRA_LOG_ERROR("Waiting for the X display was given up: {}", failure);
  markGlfwStalled(failure);
  return false;
}

/// Runs `steps` on a thread of their own (on the caller's when no thread can be had, unbounded).
template <typename Steps>
void launch(const std::shared_ptr<Start>& start, Steps steps) {
  try {
    std::thread([start, steps] { steps(*start, true); }).detach();
  } catch (const std::system_error&) {
    steps(*start, false);
  }
}

/// Why the opening of a window was given up.
std::string windowStalledReason(Stage stage) {
  if (stage == Stage::ConnectionLost) return givenUp("closed its connection while a window was being opened");
  return givenUp("stopped answering while a window was being opened (nothing came within " +
                 std::to_string(kOpenGlStartSeconds) + " seconds)");
}

/// The steps of opening a window; the hints are set by the caller.
void runOpenWindow(Start& start, bool parkable, int width, int height, const char* title) {
  if (parkable) tStart = &start;
  GLFWwindow* window = createWindow(width, height, title);
  int framebufferWidth = 0;
  int framebufferHeight = 0;
  if (window != nullptr) {
    glfwMakeContextCurrent(window);
    glfwGetFramebufferSize(window, &framebufferWidth, &framebufferHeight);
    glfwSwapInterval(0);
    glfwMakeContextCurrent(nullptr);  // the caller makes it current on its own thread
  }
  {
    const std::lock_guard<std::mutex> lock(start.mutex);
    start.made.window = window;
    start.framebufferWidth = framebufferWidth;
    start.framebufferHeight = framebufferHeight;
    start.succeeded = window != nullptr;
    if (window == nullptr) start.failure = windowSystemFailure();
  }
  start.reach(Stage::Ended);
  tStart = nullptr;
}

}  // namespace

bool startOpenGl(StartedContext& started, std::string& failure) {
  const auto start = std::make_shared<Start>();
  launch(start, [](Start& s, bool parkable) { runStart(s, parkable); });
  if (!awaitStart(*start, failure, &stalledReason)) return false;
  started = start->made;
  return true;
}

GLFWwindow* openWindowBounded(int width, int height, const char* title, int& framebufferWidth, int& framebufferHeight,
                              std::string& failure) {
  const auto start = std::make_shared<Start>();
  start->stage = Stage::Starting;  // the display answered long ago
  const std::string name = title;
  launch(start, [width, height, name](Start& s, bool parkable) { runOpenWindow(s, parkable, width, height, name.c_str()); });
  if (!awaitStart(*start, failure, &windowStalledReason)) return nullptr;
  framebufferWidth = start->framebufferWidth;
  framebufferHeight = start->framebufferHeight;
  return start->made.window;
}

}  // namespace Lumetra::OpenGL
