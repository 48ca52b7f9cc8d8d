#include "ObjectTracker/Trainer/Image/TargetData.h"

namespace Obrin {

ImageTargetDetectableData::ImageTargetDetectableData() {
  // The camera starts all zero except for its matrix, which is the identity.
  mCamera.mK = Eigen::Matrix3d::Identity();
}

}  // namespace Obrin
