#pragma once
// The OpenGL start: the window library's connection to the display, the hidden window with its
// context, and the loading of the OpenGL functions. Each step waits without limit for the
// display's answers, so a display that accepts connections and then stays silent (a forwarded
// display whose far end has gone, a server that serves one client at a time) would hold the run
// for ever. The steps run on a thread of their own; the caller waits for them a bounded time.

#include <cstdint>
#include <string>

struct GLFWwindow;

namespace Lumetra::OpenGL {

/// How long the whole start may take, from the first connection to the loaded functions.
constexpr int kOpenGlStartSeconds = 10;

/// What a start made: the hidden window, whose context is current on no thread, and the largest
/// framebuffer side the driver accepts (the smallest of its renderbuffer, texture and viewport
/// limits). The caller holds a reference to the window library (`acquireGlfw`).
struct StartedContext {
  GLFWwindow* window = nullptr;
  std::int32_t maxRenderbufferSize = 0;
};

/// Starts OpenGL with a hidden window of 1 x 1 pixels and an OpenGL 3.3 core-profile context.
/// Gives up when the display has not answered a connection within `kDisplayAnswerSeconds`, or the
/// start has not ended within `kOpenGlStartSeconds`, or the display closed the connection during
/// it: the thread that waits is left behind, parked, and the window library is not called again
/// in this process. False, with why in `failure` (in a user's words), when it did not succeed.
bool startOpenGl(StartedContext& started, std::string& failure);

/// Opens a window of the given size with the window hints already set, learns its framebuffer
/// size and lets its buffer swaps not wait for the display; its context is left current on no
/// thread. Each of these waits for the display's answers as the start does, and is bounded as the
/// start is: given up after `kOpenGlStartSeconds` or when the display closed the connection,
/// after which the window library is not called again in this process. Null, with why in
/// `failure`, when no window was made.
GLFWwindow* openWindowBounded(int width, int height, const char* title, int& framebufferWidth, int& framebufferHeight,
                              std::string& failure);

}  // namespace Lumetra::OpenGL
