// Brings the hidden OpenGL context and an occlusion tester up in a fresh process, under the
// environment the calling test chose, and ends like any program (teardown at exit included).
// Exit status 0: ready; 2: not ready.
#include "Renderer/OpenGL/GlContext.h"
#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

int main() {
  using Lumetra::OpenGL::MultiPoseMeshOcclusionTester;
  MultiPoseMeshOcclusionTester tester(Lumetra::PinholeCamera(8, 8, 8.0f, 8.0f, 4.0f, 4.0f),
                                      {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}}, {0, 1, 2}, {});
  const bool current = Lumetra::OpenGL::GlContext::shared().makeContextCurrent();
  return tester.isReady() && current && tester.calculateVisibleSamplePoints({TrainingPose()}).size() == 1 ? 0 : 2;
}
