// A fuzzed calibration file loaded over the built-in intrinsics. A refused file leaves the record
// exactly as it was; an accepted one keeps the record consistent (inverse focal lengths and the
// camera matrix repeat the focal lengths and the principal point).
#include "FuzzSupport.h"

#include "CameraCalibration.h"

namespace {

bool sameBits(const double* a, const double* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(double)) == 0; }

bool sameRecord(const CameraCalibration& a, const CameraCalibration& b) {
  return a.mResolution == b.mResolution && sameBits(a.mFocalLength.data(), b.mFocalLength.data(), 2) &&
         sameBits(a.mInverseFocalLength.data(), b.mInverseFocalLength.data(), 2) &&
         sameBits(a.mPrincipalPoint.data(), b.mPrincipalPoint.data(), 2) && sameBits(a.mK.data(), b.mK.data(), 9) &&
         sameBits(a.mDistortion.data(), b.mDistortion.data(), 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  const std::string path = folder.write("calibration.json", data, size);
  const CameraCalibration before = CameraCalibration::builtIn();
  CameraCalibration calibration = before;
  if (!loadCameraCalibration(path, calibration)) {
    FUZZ_CHECK(sameRecord(calibration, before));
    return 0;
  }
  const double fx = calibration.mFocalLength.x(), fy = calibration.mFocalLength.y();
  const double inverse[2] = {1.0 / fx, 1.0 / fy};
  FUZZ_CHECK(sameBits(calibration.mInverseFocalLength.data(), inverse, 2));
  const Eigen::Matrix3d& k = calibration.mK;
  FUZZ_CHECK(k(0, 0) == fx && k(1, 1) == fy && k(2, 2) == 1.0);
  FUZZ_CHECK(k(0, 2) == calibration.mPrincipalPoint.x() && k(1, 2) == calibration.mPrincipalPoint.y());
  FUZZ_CHECK(k(0, 1) == 0.0 && k(1, 0) == 0.0 && k(2, 0) == 0.0 && k(2, 1) == 0.0);
  return 0;
}
