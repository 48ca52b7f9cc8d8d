#include "CameraCalibration.h"

#include "Configs.h"
#include "JsonConfig.h"

#include "Geometry/Undistortion.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

void CameraCalibration::setPinhole(int width, int height, double fx, double fy, double cx, double cy) {
  mResolution = Eigen::Vector2i(width, height);
  mFocalLength = Eigen::Vector2d(fx, fy);
  mInverseFocalLength = Eigen::Vector2d(1.0 / fx, 1.0 / fy);
  mPrincipalPoint = Eigen::Vector2d(cx, cy);
  mK = Lumetra::cameraMatrix(fx, fy, cx, cy);
}

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
  c.setPinhole(640, 480, 321.21015433728, 320.029337062024, 320.0, 240.0);
  c.setDistortion(0.0, 0.0, 0.0, 0.0, 0.0);
  return c;
}

Lumetra::PinholeCamera pinholeCamera(const CameraCalibration& calibration) {
  return Lumetra::PinholeCamera(
      static_cast<std::uint32_t>(std::max(calibration.mResolution.x(), 0)),
      static_cast<std::uint32_t>(std::max(calibration.mResolution.y(), 0)),
      static_cast<float>(calibration.mFocalLength.x()), static_cast<float>(calibration.mFocalLength.y()),
      static_cast<float>(calibration.mPrincipalPoint.x()), static_cast<float>(calibration.mPrincipalPoint.y()));
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
  loaded.setPinhole(resolution[0], resolution[1], focal[0], focal[1], principal[0], principal[1]);
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
