#pragma once
// The CAD model's description (orientation, symmetries, scale) and the source record that hands
// one model file, and the mesh loaded from it, from the driver to the trainers.
#include <Eigen/Core>
#include <Eigen/Geometry>

#include <memory>
#include <string>
#include <vector>

namespace Lumetra {
class MeshModel;
}

struct CadModelDescription {
  struct ContinuousSymmetry {
    Eigen::Vector3f axis = Eigen::Vector3f::Zero();   ///< unit vector of x, y or z
    Eigen::Vector3f point = Eigen::Vector3f::Zero();  ///< a point on the axis (the origin)
  };
  struct DiscreteSymmetry {
    Eigen::Quaternionf rotation = Eigen::Quaternionf::Identity();  ///< stored x, y, z, w
    Eigen::Vector3f translation = Eigen::Vector3f::Zero();
  };

  Eigen::Vector3f upVector = Eigen::Vector3f(0.0f, 0.0f, 1.0f);  ///< normalised upright direction
  std::vector<ContinuousSymmetry> continuousSymmetries;
  std::vector<DiscreteSymmetry> discreteSymmetries;
  float scale = 0.001f;  ///< model units (millimetres) to metres
};

struct CadModelSource {
  std::string modelPath;
  std::string targetName;  ///< also the class name of the trained templates
  CadModelDescription description;
  std::shared_ptr<Lumetra::MeshModel> mesh;  ///< filled by the first load, shared afterwards
  /// When set, the load also exports a model of another format than OBJ as OBJ for the target's
  /// copy, its files named after this stem (MeshModel::mObjExport).
  std::string copyStem;
};
