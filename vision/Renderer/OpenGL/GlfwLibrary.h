#pragma once
// The window library is process-wide state: one glfwInit / glfwTerminate pair must serve every
// user in the process. Users take a reference while they hold windows and give it back after
// destroying them; the library is terminated only when the last reference is given back.

#include <functional>
#include <string>

struct GLFWwindow;

namespace Lumetra::OpenGL {

/// Initialises the window library on the first reference, tried up to three times 100 and 200 ms
/// apart (a display that is resetting refuses connections for a moment). Before, a connection of
/// its own is made to the display and `displayAnswered` called once it was answered (or refused);
/// when that returns false nothing more is done. Returns false (and takes no reference) when
/// every try failed or the start was given up (`markGlfwStalled`). Waits without limit for the
/// display: `startOpenGl` bounds it.
bool acquireGlfw(const std::function<bool()>& displayAnswered = {});

/// How long a display may take to answer a new connection.
constexpr int kDisplayAnswerSeconds = 5;

/// Records that a start was given up while it waited inside the window library, and why: every
/// later call here fails at once with that reason and nothing calls into the library again.
void markGlfwStalled(const std::string& failure);

/// Whether a start was given up (`markGlfwStalled`): a thread of the process may still be inside
/// the window library, and the process must end without its exit handlers.
bool glfwGivenUp();

/// Gives back a reference taken by a successful `acquireGlfw`; the last one terminates the library.
void releaseGlfw();

/// `glfwCreateWindow` with the hints already set, tried up to three times: on a busy X server the
/// software driver's context creation now and then fails once and then succeeds. Returns null when
/// every try failed.
GLFWwindow* createWindow(int width, int height, const char* title);

/// Why the last failed `acquireGlfw` or `createWindow` failed, in a user's words: what to change
/// (the display named by DISPLAY, or a setting of the OpenGL driver).
std::string windowSystemFailure();

/// Number of references held now (for diagnostics and tests).
int glfwReferenceCount();

/// Whether the X server at the other end of the window library's connection still answers (false
/// once a start or a window was given up, `markGlfwStalled`).
/// Destroying windows over a closed connection makes Xlib end the process from its I/O error
/// handler, so teardown at exit checks this first. True when the session is not an X11 one.
bool displayConnectionAlive();

}  // namespace Lumetra::OpenGL
