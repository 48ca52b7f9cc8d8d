// Brings the hidden OpenGL context and an occlusion tester up in a fresh process, under the
// environment the calling test chose, and ends like any program (teardown at exit included).
// With "--own-display" it starts a virtual X server of its own and stops it again before exit,
// so that the teardown meets a display that has gone. Exit status 0: ready; 2: not ready. The
// library's log messages go to standard error, one a line.
#include "Core/Log.h"
#include "Renderer/OpenGL/GlContext.h"
#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Starts Xvfb on a display number it picks itself and points DISPLAY at it; returns its id.
pid_t startOwnDisplay() {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t server = fork();
  if (server == 0) {
    close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "64x64x24", nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  setenv("DISPLAY", (":" + number).c_str(), 1);
  return server;
}

}  // namespace

int main(int argc, char** argv) {
  using Lumetra::OpenGL::MultiPoseMeshOcclusionTester;
  Lumetra::setLogSink(
      [](Lumetra::LogLevel, const char*, const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); });
  const pid_t server = argc > 1 && std::string(argv[1]) == "--own-display" ? startOwnDisplay() : 0;
  MultiPoseMeshOcclusionTester tester(Lumetra::PinholeCamera(8, 8, 8.0f, 8.0f, 4.0f, 4.0f),
                                      {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}}, {0, 1, 2}, {});
  const bool current = Lumetra::OpenGL::GlContext::shared().makeContextCurrent();
  const bool ready = tester.isReady() && current && tester.calculateVisibleSamplePoints({TrainingPose()}).size() == 1;
  if (server > 0) {
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
  }
  return ready ? 0 : 2;
}
