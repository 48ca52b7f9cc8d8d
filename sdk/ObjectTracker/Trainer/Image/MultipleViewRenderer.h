#pragma once
// Draws the training picture as a textured rectangle and photographs it with a virtual pinhole
// camera: one gray view per eye position, with the pose of the picture in the camera frame
// (x right, y down, z forward). The renderer draws on a surface: a window of its own opened by
// the process's OpenGL context (hidden unless asked for, with a 3.3 core context), two programs,
// the rectangle's buffers, the picture's texture and an offscreen framebuffer of the window's
// size. Making a surface costs far more than a training's views, so a finished renderer leaves it
// to the next renderer of the same size and the process releases the last one at exit.
#include "Detection/PinholeCamera.h"
#include "Image/Image.h"

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Obrin {

struct RenderSurface;

/// Threads that extract the corners of drawn views while the next ones are drawn: one per core
/// beside the one that draws (at least one).
std::size_t viewExtractionThreads();

/// The view matrix of an eye looking at a target with the given up direction.
Eigen::Matrix4f lookAt(const Eigen::Vector3f& eye, const Eigen::Vector3f& target, const Eigen::Vector3f& up);

/// Rotation (x, y, z, w) and translation of the picture in the camera frame.
struct MvgPose {
  Eigen::Quaternionf rotation = Eigen::Quaternionf::Identity();
  Eigen::Vector3f translation = Eigen::Vector3f::Zero();
};

class MultipleViewRenderer {
 public:
  MultipleViewRenderer();
  ~MultipleViewRenderer();
  MultipleViewRenderer(const MultipleViewRenderer&) = delete;
  MultipleViewRenderer& operator=(const MultipleViewRenderer&) = delete;

  /// Window, offscreen framebuffer and programs: those left by an earlier renderer of the same
  /// size and window kind, or new ones.
  bool initWindow(std::int32_t width, std::int32_t height, bool debugWindow);
  /// The rectangle's buffers and the texture of the picture resampled to the framebuffer size.
  bool setupObject(const Lumetra::ImageRGB& picture);
  bool setProjection(const Lumetra::PinholeCamera& camera, float zFar, float zNear);
  void setView(const Eigen::Vector3f& eye, const Eigen::Vector3f& target);
  void render();
  /// The last rendered frame, row 0 at the top.
  Lumetra::ImageGray getImage() const;
  MvgPose getPose();

  /// Why `initWindow` failed, in a user's words.
  const std::string& failure() const { return mFailure; }
  std::int32_t width() const;
  std::int32_t height() const;
  const Eigen::Matrix4f& projectionMatrix() const { return mProjection; }
  const Eigen::Matrix4f& viewMatrix() const { return mView; }

 private:
  bool buildProgram(std::uint32_t& program, const char* vertexSource, const char* fragmentSource);
  bool buildSurface(std::int32_t width, std::int32_t height, bool debugWindow);
  bool createFramebuffer();
  /// Makes the surface's context current on the calling thread (a no-op when it already is).
  void makeCurrent() const;
  void teardown();

  Eigen::Vector3f mEye = Eigen::Vector3f::Zero();
  Eigen::Vector3f mUp{0.0f, 0.0f, 1.0f};
  Lumetra::ImageRGB mTextureImage;
  Lumetra::ImageGray mReadBack;
  std::unique_ptr<RenderSurface> mSurface;
  // Column-major, as OpenGL takes them.
  Eigen::Matrix4f mModel = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f mView = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f mProjection = Eigen::Matrix4f::Identity();
  MvgPose mPose;
  std::string mFailure;
};

}  // namespace Obrin
