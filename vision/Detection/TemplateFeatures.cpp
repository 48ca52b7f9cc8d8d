#include "Detection/TemplateFeatures.h"

#include "Core/Angles.h"

#include <Eigen/Geometry>

#include <cmath>

namespace Lumetra::Linemod {

Eigen::Matrix<float, 3, 4> projectionMatrix(const PinholeCamera& camera, const TrainingPose& pose) {
  Eigen::Matrix<float, 3, 4> rt;
  rt.leftCols<3>() = pose.rotation.toRotationMatrix();
  rt.col(3) = pose.translation;
  return camera.K() * rt;
}

Eigen::Vector3f transformPoint(const TrainingPose& pose, const Eigen::Vector3f& p) {
  return pose.rotation * p + pose.translation;
}

ProjectedEdge projectEdgeSamples(const Eigen::Vector3f& pointA, const Eigen::Vector3f& pointB,
                                 const std::vector<Eigen::Vector3f>& samples, const TrainingPose& pose,
                                 const PinholeCamera& camera) {
  const Eigen::Matrix<float, 3, 4> p = projectionMatrix(camera, pose);
  auto project = [&p](const Eigen::Vector3f& x) {
    const Eigen::Vector3f h = p * x.homogeneous();
    return Eigen::Vector2f(h.x() / h.z(), h.y() / h.z());
  };
  ProjectedEdge result;
  result.points.reserve(samples.size());
  for (const Eigen::Vector3f& sample : samples) result.points.push_back(project(sample));
  const Eigen::Vector2f a = project(pointA);
  const Eigen::Vector2f b = project(pointB);
  result.angle = fastAtan2(b.y() - a.y(), b.x() - a.x()) + kHalfPiF;
  result.cosAngle = std::cos(result.angle);
  result.sinAngle = std::sin(result.angle);
  return result;
}

}  // namespace Lumetra::Linemod
