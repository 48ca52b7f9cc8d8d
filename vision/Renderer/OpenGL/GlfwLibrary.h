#pragma once
// The window library is process-wide state: one glfwInit / glfwTerminate pair must serve every
// user in the process. Users take a reference while they hold windows and give it back after
// destroying them; the library is terminated only when the last reference is given back.

struct GLFWwindow;

namespace Lumetra::OpenGL {

/// Initialises the window library on the first reference (up to three tries). Returns false (and
/// takes no reference) when initialisation fails. Call from the main thread.
bool acquireGlfw();

/// Gives back a reference taken by a successful `acquireGlfw`; the last one terminates the library.
void releaseGlfw();

/// `glfwCreateWindow` with the hints already set, tried up to three times: on a busy X server the
/// software driver's context creation now and then fails once and then succeeds. Returns null when
/// every try failed.
GLFWwindow* createWindow(int width, int height, const char* title);

/// Number of references held now (for diagnostics and tests).
int glfwReferenceCount();

}  // namespace Lumetra::OpenGL
