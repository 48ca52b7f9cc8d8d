#include "ObjectTracker/Trainer/Image/TargetData.h"

#include <type_traits>

namespace Obrin {

// Targets are owned and destroyed through their base class.
static_assert(std::has_virtual_destructor_v<Target>, "a target must be destroyable through its base");

ImageTargetDetectableData::ImageTargetDetectableData() {
  // The camera starts all zero except for its matrix, which is the identity.
  mCamera.mK = Eigen::Matrix3d::Identity();
}

}  // namespace Obrin
