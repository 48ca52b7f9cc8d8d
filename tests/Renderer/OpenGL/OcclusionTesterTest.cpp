#include "Renderer/OpenGL/GlContext.h"
#include "Renderer/OpenGL/GlfwLibrary.h"
#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include "Process.h"

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <gtest/gtest.h>


namespace {

using Lumetra::PinholeCamera;
using Lumetra::OpenGL::GlContext;
using Tester = Lumetra::OpenGL::MultiPoseMeshOcclusionTester;
using Points = Tester::Points;
using Flags = std::vector<bool>;

// Principal point off the image centre on purpose: tile pixels must match the pinhole model.
const PinholeCamera kCamera(64, 48, 40.0f, 40.0f, 30.0f, 20.0f);

TrainingPose translated(float x, float y, float z) {
  TrainingPose pose;
  pose.translation = Eigen::Vector3f(x, y, z);
  return pose;
}

// A rectangle in the model's z = 0 plane, as two triangles.
Tester makeTester(Points samples, float x0 = -0.2f, float x1 = 0.2f, float y0 = -0.2f, float y1 = 0.2f,
                  const PinholeCamera& camera = kCamera) {
  return Tester(camera, {{x0, y0, 0.0f}, {x1, y0, 0.0f}, {x1, y1, 0.0f}, {x0, y1, 0.0f}}, {0, 1, 2, 0, 2, 3},
                std::move(samples));
}

// Both pass kinds over the same points under one pose: the fixed set and a per-pose list.
void expectBothPasses(Tester& tester, const TrainingPose& pose, const Points& points, const Flags& expected) {
  ASSERT_TRUE(tester.isReady());
  EXPECT_EQ(tester.calculateVisibleSamplePoints({pose}), std::vector<Flags>{expected});
  EXPECT_EQ(tester.calculateVisibleSamplePoints({pose}, {points}), std::vector<Flags>{expected});
}

TEST(OcclusionTester, SeesPointsOnlyStrictlyInFrontOfTheSurfaceAndInsideTheView) {
  // Camera coordinates = model + (0, 0, 1): the rectangle faces the camera at depth 1.
  const Points points = {
      {0.0f, 0.0f, -0.1f},   // in front of the surface
      {0.0f, 0.0f, 0.0f},    // exactly on it
      {0.0f, 0.0f, 0.1f},    // behind it
      {0.4f, 0.0f, 0.0f},    // beside it
      {0.2f, 0.0f, -1.5f},   // behind the camera
      {12.0f, 0.0f, 39.0f},  // beyond the far plane
  };
  Tester tester = makeTester(points);
  expectBothPasses(tester, translated(0.0f, 0.0f, 1.0f), points, {true, false, false, true, false, false});
}

TEST(OcclusionTester, OnePoseDrawsTheCameraImageIntoTileZeroOnly) {
  // The rectangle reaches beyond the right edge of the view; nothing may spill into tile 1.
  const float x0 = -0.2f, x1 = 1.0f, y0 = -0.16f, y1 = 0.14f;
  Tester tester = makeTester({}, x0, x1, y0, y1);
  const TrainingPose pose = translated(0.0f, 0.0f, 1.0f);
  // No sample points: one empty flag vector per pose. The two-pose pass draws into tile 1, which
  // the one-pose pass after it must clear.
  EXPECT_EQ(tester.calculateVisibleSamplePoints({pose, pose}), std::vector<Flags>(2));
  EXPECT_EQ(tester.calculateVisibleSamplePoints({pose}, {{}}), std::vector<Flags>(1));
  const Lumetra::ImageRGBA& image = tester.getImage();
  ASSERT_EQ(image.width, 4 * kCamera.width);
  ASSERT_EQ(image.height, 4 * kCamera.height);
  // Pixel (x, y) is covered when its centre projects inside u = fx X / Z + cx, v = fy Y / Z + cy.
  const float fx = kCamera.focalLength.x(), fy = kCamera.focalLength.y();
  const float cx = kCamera.principalPoint.x(), cy = kCamera.principalPoint.y();
  int wrong = 0;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const float u = static_cast<float>(x) + 0.5f, v = static_cast<float>(y) + 0.5f;
      const bool covered = x < kCamera.width && y < kCamera.height && u >= fx * x0 + cx && u < fx * x1 + cx &&
                           v >= fy * y0 + cy && v < fy * y1 + cy;
      const std::uint8_t value = covered ? 255 : 0;
      const Lumetra::RGBA8 pixel = image.at(x, y);
      wrong += pixel != Lumetra::RGBA8{{value, value, value, value}};
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(OcclusionTester, TwoPosesInOnePassKeepToTheirOwnTilesAndPoints) {
  // Pose 0 sees the rectangle close up and reaching beyond its view (into tile 1's area);
  // pose 1 sees it at depth 1 in tile 1.
  const std::vector<TrainingPose> poses = {translated(0.3f, 0.0f, 0.3f), translated(0.0f, 0.0f, 1.0f)};
  Tester tester = makeTester({{0.0f, 0.0f, -0.1f}, {0.0f, 0.0f, 0.1f}, {0.5f, 0.0f, 0.0f}});
  ASSERT_TRUE(tester.isReady());
  EXPECT_EQ(tester.calculateVisibleSamplePoints(poses),
            (std::vector<Flags>{{false, false, false}, {true, false, true}}));
  const std::vector<Points> lists = {{{-0.3f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f}},
                                     {{0.0f, 0.0f, 0.1f}, {0.5f, 0.0f, 0.0f}, {0.0f, 0.0f, -0.1f}}};
  EXPECT_EQ(tester.calculateVisibleSamplePoints(poses, lists), (std::vector<Flags>{{true, false}, {false, true, true}}));
}

TEST(OcclusionTester, ClippingPlanesApplyToTheMeshAndBothPointPasses) {
  // Camera coordinates = model + (0, 0, 1); the rectangle lies at depth 1.
  const Points points = {{0.06f, 0.0f, -0.7f}, {4.0f, 0.0f, 11.0f}, {0.0f, 0.0f, 0.05f}};  // depths 0.3, 12, 1.05
  struct Row {
    float nearPlane, farPlane;
    Flags seen;
  };
  const Row rows[] = {{0.1f, 30.0f, {true, true, false}},
                      {0.5f, 10.0f, {false, false, false}},
                      {1.02f, 30.0f, {false, true, true}},  // the rectangle itself is now clipped
                      {0.0f, 1.0f, {false, true, true}}};   // refused: the planes stay
  Tester tester = makeTester(points);
  for (const Row& row : rows) {
    tester.setClippingPlanes(row.nearPlane, row.farPlane);
    SCOPED_TRACE(row.nearPlane);
    expectBothPasses(tester, translated(0.0f, 0.0f, 1.0f), points, row.seen);
  }
}

TEST(OcclusionTester, RefusesWhatExceedsOnePassOrTheDriver) {
  Tester tester = makeTester({{0.0f, 0.0f, 0.0f}});
  ASSERT_TRUE(tester.isReady());
  const std::vector<TrainingPose> seventeen(17, translated(0.0f, 0.0f, 1.0f));
  EXPECT_TRUE(tester.calculateVisibleSamplePoints(seventeen).empty());
  EXPECT_TRUE(tester.calculateVisibleSamplePoints(seventeen, std::vector<Points>(17)).empty());
  EXPECT_TRUE(tester.calculateVisibleSamplePoints({TrainingPose()}, std::vector<Points>(2)).empty());

  EXPECT_FALSE(Tester(kCamera, {{0.0f, 0.0f, 0.0f}}, {0, 0, 1}, {}).isReady());  // index beyond the vertices
  const std::uint32_t largest = static_cast<std::uint32_t>(GlContext::shared().maxRenderbufferSize());
  ASSERT_GT(largest, 0u);
  const PinholeCamera fits(largest / 4, 8, 8.0f, 8.0f, 4.0f, 4.0f);
  const PinholeCamera tooWide(largest / 4 + 1, 8, 8.0f, 8.0f, 4.0f, 4.0f);
  EXPECT_TRUE(Tester::cameraFits(fits));
  EXPECT_FALSE(Tester::cameraFits(tooWide));
  EXPECT_FALSE(makeTester({}, -0.2f, 0.2f, -0.2f, 0.2f, tooWide).isReady());
}

// Names 1 to 256 of every kind of object the tester makes that exist now.
std::vector<bool> existingObjects() {
  std::vector<bool> exists;
  for (GLuint name = 1; name <= 256; ++name) {
    for (auto is : {glIsBuffer, glIsVertexArray, glIsFramebuffer, glIsRenderbuffer, glIsTexture, glIsProgram}) {
      exists.push_back(is(name) == GL_TRUE);
    }
  }
  return exists;
}

TEST(OcclusionTester, SharesOneHiddenContextMadeCurrentOnDemandAndFreesItsObjects) {
  ASSERT_TRUE(GlContext::shared().makeContextCurrent());
  const std::vector<bool> before = existingObjects();
  {
    Tester first = makeTester({{0.4f, 0.0f, 0.0f}});
    Tester second = makeTester({{0.4f, 0.0f, 0.0f}});
    EXPECT_EQ(Lumetra::OpenGL::glfwReferenceCount(), 1);
    glfwMakeContextCurrent(nullptr);
    EXPECT_FALSE(GlContext::shared().makeContextCurrent("no such window"));
    EXPECT_EQ(glfwGetCurrentContext(), nullptr);
    EXPECT_EQ(second.calculateVisibleSamplePoints({translated(0.0f, 0.0f, 1.0f)}), std::vector<Flags>{{true}});
  }
  EXPECT_EQ(existingObjects(), before);
}

TEST(OcclusionTester, ReportsNotReadyWithoutADisplayAndEndsCleanlyWhenItGoes) {
  struct Row {
    std::vector<std::string> arguments;  // of env, then of the probe
    int exitStatus;
    const char* logLine;  // a whole line the log must have
  };
  const Row rows[] = {{{"DISPLAY=:4093", GL_READY_PROBE}, 2, "GLFW failed to initialize.\n"},
                      {{GL_READY_PROBE}, 0, ""},
                      {{GL_READY_PROBE, "--own-display"}, 0, ""}};
  for (const Row& row : rows) {
    const TestSupport::RunResult result = TestSupport::run("/usr/bin/env", row.arguments);
    EXPECT_EQ(result.signal, 0) << result.err;
    EXPECT_EQ(result.exitStatus, row.exitStatus) << result.err;
    EXPECT_NE(result.err.find(row.logLine), std::string::npos) << result.err;
  }
}

}  // namespace
