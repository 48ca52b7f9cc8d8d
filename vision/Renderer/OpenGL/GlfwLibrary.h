#pragma once
// The window library is process-wide state: one glfwInit / glfwTerminate pair must serve every
// user in the process. Users take a reference while they hold windows and give it back after
// destroying them; the library is terminated only when the last reference is given back.

namespace Lumetra::OpenGL {

/// Initialises the window library on the first reference. Returns false (and takes no reference)
/// when initialisation fails. Call from the main thread.
bool acquireGlfw();

/// Gives back a reference taken by a successful `acquireGlfw`; the last one terminates the library.
void releaseGlfw();

/// Number of references held now (for diagnostics and tests).
int glfwReferenceCount();

}  // namespace Lumetra::OpenGL
