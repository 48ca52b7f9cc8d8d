#include "Renderer/OpenGL/CameraProjection.h"

namespace Lumetra::OpenGL {

Eigen::Matrix4f cameraProjection(const PinholeCamera& camera, float nearPlane, float farPlane) {
  const float w = static_cast<float>(camera.width);
  const float h = static_cast<float>(camera.height);
  const float n = nearPlane;
  const float f = farPlane;
  Eigen::Matrix4f proj = Eigen::Matrix4f::Zero();
  proj(0, 0) = 2.0f * camera.focalLength.x() / w;
  proj(0, 2) = 2.0f * camera.principalPoint.x() / w - 1.0f;
  proj(1, 1) = 2.0f * camera.focalLength.y() / h;
  proj(1, 2) = 2.0f * camera.principalPoint.y() / h - 1.0f;
  proj(2, 2) = (n + f) / (f - n);
  // 2 f first: a far plane beyond half the largest float gives an infinite entry, never a
  // finite one that hides the overflow.
  proj(2, 3) = -(2.0f * f * n) / (f - n);
  proj(3, 2) = 1.0f;
  return proj;
}

}  // namespace Lumetra::OpenGL
