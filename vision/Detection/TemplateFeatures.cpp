#include "Detection/TemplateFeatures.h"

#include <Eigen/Geometry>

#include <cmath>

namespace Lumetra::Linemod {

float fastAtan2(float y, float x) {
  if (x == 0.0f && y == 0.0f) return 0.0f;
  const float ax = std::abs(x);
  const float ay = std::abs(y);
  const float a = ay > ax ? ax / ay : ay / ax;
  const float a2 = a * a;
  float r = ((0.15931422f - 0.046496473f * a2) * a2 - 0.32762277f) * a2 * a + a;
  if (ay > ax) r = 1.5707964f - r;
  if (x < 0.0f) r = 3.1415927f - r;
  if (y < 0.0f) r = -r;
  return r;
}

Eigen::Matrix<float, 3, 4> projectionMatrix(const PinholeCamera& camera, const TrainingPose& pose) {
  Eigen::Matrix<float, 3, 4> rt;
  rt.leftCols<3>() = pose.rotation.toRotationMatrix();
  rt.col(3) = pose.translation;
  return camera.K * rt;
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
  result.angle = fastAtan2(b.y() - a.y(), b.x() - a.x()) + 1.5707964f;
  result.cosAngle = std::cos(result.angle);
  result.sinAngle = std::sin(result.angle);
  return result;
}

}  // namespace Lumetra::Linemod
