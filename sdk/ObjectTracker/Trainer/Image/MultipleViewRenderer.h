#pragma once
// Draws the training picture as a textured rectangle and photographs it with a virtual pinhole
// camera: one gray view per eye position, with the pose of the picture in the camera frame
// (x right, y down, z forward). The renderer owns a window of its own (hidden unless asked for),
// a 3.3 core context, two programs, the rectangle's buffers and the picture's texture; views are
// drawn into an offscreen framebuffer of the window's size.
#include "Detection/PinholeCamera.h"
#include "Image/Image.h"

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <array>
#include <cstdint>
#include <string>

struct GLFWwindow;

namespace Obrin {

/// Column-major 4 x 4: element (row r, column c) at index 4c + r.
using Matrix4 = std::array<float, 16>;

Matrix4 identityMatrix();
Matrix4 multiply(const Matrix4& a, const Matrix4& b);
/// The view matrix of an eye looking at a target with the given up direction.
Matrix4 lookAt(const Eigen::Vector3f& eye, const Eigen::Vector3f& target, const Eigen::Vector3f& up);

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

  /// Window, context, loader, offscreen framebuffer and programs.
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
  std::int32_t width() const { return mWidth; }
  std::int32_t height() const { return mHeight; }
  const Matrix4& projectionMatrix() const { return mProjection; }
  const Matrix4& viewMatrix() const { return mView; }

 private:
  bool buildProgram(std::uint32_t& program, const char* vertexSource, const char* fragmentSource);
  bool addShader(std::uint32_t program, const char* source, std::uint32_t type, const char* stage);
  bool createFramebuffer();
  void teardown();

  Eigen::Vector3f mEye = Eigen::Vector3f::Zero();
  Eigen::Vector3f mUp{0.0f, 0.0f, 1.0f};
  std::int32_t mWidth = 0;
  std::int32_t mHeight = 0;
  Lumetra::ImageRGB mTextureImage;
  Lumetra::ImageGray mReadBack;
  GLFWwindow* mWindow = nullptr;
  bool mGlfwHeld = false;
  bool mGlLoaded = false;
  bool mDebugWindow = false;
  std::uint32_t mObjectProgram = 0;
  std::uint32_t mScreenProgram = 0;
  std::uint32_t mVertexArray = 0;
  std::uint32_t mVertexBuffer = 0;
  std::uint32_t mElementBuffer = 0;
  std::uint32_t mTexture = 0;
  std::uint32_t mFramebuffer = 0;
  std::uint32_t mColourBuffer = 0;
  std::int32_t mStatus = 0;
  std::array<char, 1024> mInfoLog{};
  std::int32_t mModelLocation = -1;
  std::int32_t mViewLocation = -1;
  std::int32_t mProjectionLocation = -1;
  Matrix4 mModel;
  Matrix4 mView;
  Matrix4 mProjection;
  MvgPose mPose;
  std::string mFailure;
};

}  // namespace Obrin
