#pragma once
// The OpenGL projection matrix of a pinhole camera, shared by every renderer that draws what the
// camera sees.
#include "Detection/PinholeCamera.h"

#include <Eigen/Core>

namespace Lumetra::OpenGL {

/// The projection of points in the camera's frame (x right, y down the image, z forward) between
/// the near and far planes: image pixel (u, v) lands on framebuffer pixel (u, v), row v counted
/// from the framebuffer's bottom, so a read-back buffer is the camera image, upright. Rows:
/// (2 fx / w, 0, 2 cx / w - 1, 0), (0, 2 fy / h, 2 cy / h - 1, 0),
/// (0, 0, (n + f) / (f - n), -2 f n / (f - n)), (0, 0, 1, 0). Not finite when w or h is 0.
Eigen::Matrix4f cameraProjection(const PinholeCamera& camera, float nearPlane, float farPlane);

}  // namespace Lumetra::OpenGL
