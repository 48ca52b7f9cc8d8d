#pragma once
// Base of the off-screen mesh renderers that draw on the process's hidden OpenGL context.
#include "Detection/PinholeCamera.h"
#include "Image/Image.h"

namespace Lumetra::OpenGL {

class MeshRenderer {
 public:
  explicit MeshRenderer(const PinholeCamera& camera) : mCamera(camera) {}
  virtual ~MeshRenderer() = default;
  MeshRenderer(const MeshRenderer&) = delete;
  MeshRenderer& operator=(const MeshRenderer&) = delete;

  /// The colour buffer of the last pass, read back now; the empty image when there is none.
  virtual const ImageRGBA& getImage() = 0;
  /// Sets the near and far clipping distances of the projection.
  virtual void setClippingPlanes(float nearPlane, float farPlane) = 0;
  /// Frees the renderer's OpenGL objects.
  virtual void releaseGL() { mInitialized = false; }

  /// True when the OpenGL set-up succeeded and the renderer can draw.
  bool isReady() const { return mReady; }

 protected:
  PinholeCamera mCamera;
  bool mInitialized = false;  ///< OpenGL objects exist that releaseGL must free
  bool mReady = false;
  float mNear = 0.1f;
  float mFar = 30.0f;
  ImageRGBA mImage;
};

}  // namespace Lumetra::OpenGL
