#include "CameraCalibration.h"

#include "Configs.h"
#include "JsonConfig.h"

#include "Geometry/Undistortion.h"

#include <fmt/format.h>

#include <cmath>

namespace {
void setPinhole(CameraCalibration& c, int width, int height, double fx, double fy, double cx, double cy) {
  c.mResolution = Eigen::Vector2i(width, height);
  c.mFocalLength = Eigen::Vector2d(fx, fy);
  c.mInverseFocalLength = Eigen::Vector2d(1.0 / fx, 1.0 / fy);
  c.mPrincipalPoint = Eigen::Vector2d(cx, cy);
  c.mK << fx, 0.0, cx,  //
      0.0, fy, cy,      //
      0.0, 0.0, 1.0;
}
}  // namespace

void CameraCalibration::setDistortion(double k1, double k2, double p1, double p2, double k3) {
  mDistortion << k1, k2, p1, p2, k3;
}

Eigen::Vector2d CameraCalibration::undistortPixel(const Eigen::Vector2d& pixel) const {
  const Eigen::Vector2d normalised((pixel.x() - mPrincipalPoint.x()) * mInverseFocalLength.x(),
                                   (pixel.y() - mPrincipalPoint.y()) * mInverseFocalLength.y());
  Eigen::Vector2d undistorted;
  return Lumetra::undistortPoint(undistorted, normalised, mDistortion, std::nullopt, 8, 1e-8);
}

CameraCalibration CameraCalibration::builtIn() {
  CameraCalibration c;
  setPinhole(c, 640, 480, 321.21015433728, 320.029337062024, 320.0, 240.0);
  c.setDistortion(0.0, 0.0, 0.0, 0.0, 0.0);
  return c;
}

bool loadCameraCalibration(const std::filesystem::path& path, CameraCalibration& calibration) {
  std::string reason;
  return loadCameraCalibration(path, calibration, reason);
}

bool loadCameraCalibration(const std::filesystem::path& path, CameraCalibration& calibration, std::string& reason) {
  CalibrationConfig config;
  if (!loadJsonFile(config, path, reason)) return false;
  const auto& resolution = config.resolution.value;
  const auto& focal = config.focalLength.value;
  const auto& principal = config.principalPoint.value;
  const auto& distortion = config.distortion.value;
  // Every position read below must exist; a shorter array makes the file unusable.
  for (const auto* list : {&config.focalLength, &config.principalPoint, &config.distortion}) {
    const std::size_t needed = list == &config.distortion ? 5 : 2;
    if (list->value.size() < needed) {
      reason = path.string() + ": " + list->key + " needs " + std::to_string(needed) + " numbers, not " +
               std::to_string(list->value.size());
      return false;
    }
  }
  CameraCalibration loaded;
  setPinhole(loaded, resolution[0], resolution[1], focal[0], focal[1], principal[0], principal[1]);
  loaded.setDistortion(distortion[0], distortion[1], distortion[2], distortion[3], distortion[4]);
  loaded.mFile = path;
  calibration = loaded;
  return true;
}

std::string singlePrecisionProblem(double value) {
  if (!(value > 0.0)) return "is not positive";
  const float stored = static_cast<float>(value);
  if (stored == 0.0f || std::isinf(stored)) return fmt::format("is {} in single precision", stored);
  return {};
}

std::string checkCameraCalibration(const CameraCalibration& calibration) {
  const Eigen::Vector2i& size = calibration.mResolution;
  if (size.x() < 1 || size.y() < 1) {
    return fmt::format("Configuration Error: Camera resolution {} x {} must be at least 1 x 1", size.x(), size.y());
  }
  // The focal lengths as the renderers hold them, in single precision.
  for (const double focalLength : {calibration.mFocalLength.x(), calibration.mFocalLength.y()}) {
    const std::string why = singlePrecisionProblem(focalLength);
    if (!why.empty()) return fmt::format("Configuration Error: Camera focal length {} {}", focalLength, why);
  }
  return std::string();
}
