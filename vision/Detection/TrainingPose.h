#pragma once
// One camera pose of the CAD road: p_camera = R p_model + t, camera x right, y down, z forward.
#include <Eigen/Core>
#include <Eigen/Geometry>

struct TrainingPose {
  Eigen::Quaternionf rotation = Eigen::Quaternionf::Identity();  ///< unit quaternion, stored x, y, z, w
  Eigen::Vector3f translation = Eigen::Vector3f::Zero();

  /// The 4 x 4 model-view matrix: rotation upper left, translation in the last column.
  Eigen::Matrix4f modelView() const {
    Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
    m.topLeftCorner<3, 3>() = rotation.toRotationMatrix();
    m.topRightCorner<3, 1>() = translation;
    return m;
  }
};
static_assert(sizeof(TrainingPose) == 28 || sizeof(TrainingPose) == 32, "pose record is seven floats");
