#pragma once
// Intrinsics of the target devices' camera: image size, pinhole parameters and
// Brown-Conrady lens distortion (k1, k2, p1, p2, k3).
#include "Detection/PinholeCamera.h"

#include <Eigen/Core>

#include <filesystem>
#include <string>

struct CameraCalibration {
  Eigen::Vector2i mResolution{0, 0};
  Eigen::Vector2d mFocalLength{0.0, 0.0};
  Eigen::Vector2d mInverseFocalLength{0.0, 0.0};
  Eigen::Vector2d mPrincipalPoint{0.0, 0.0};
  Eigen::Matrix3d mK = Eigen::Matrix3d::Zero();
  Eigen::Matrix<double, 5, 1> mDistortion = Eigen::Matrix<double, 5, 1>::Zero();
  std::filesystem::path mFile;  ///< the calibration file it was read from; empty for the built-in camera

  /// Sets the pinhole part: the size, the focal lengths and their inverses, the principal point
  /// and the camera matrix of these; the distortion part is left as it is.
  void setPinhole(int width, int height, double fx, double fy, double cx, double cy);
  /// Sets the distortion part; the pinhole part is left as it is.
  void setDistortion(double k1, double k2, double p1, double p2, double k3);

  /// The undistorted normalised camera coordinates of a pixel position: the pixel is
  /// normalised with the principal point and the inverse focal lengths, then undistorted from
  /// itself with at most 8 Newton steps and the tolerance 1e-8.
  Eigen::Vector2d undistortPixel(const Eigen::Vector2d& pixel) const;

  /// The built-in intrinsics used when no calibration file is given.
  static CameraCalibration builtIn();
};

/// The single-precision camera of the pinhole part: the size (a negative one as 0), focal lengths
/// and principal point converted to float, the inverse focal lengths recomputed from those.
Lumetra::PinholeCamera pinholeCamera(const CameraCalibration& calibration);

/// Replaces the record with the contents of a calibration file. Returns false, leaving the
/// record untouched, when the file cannot be loaded or an array is too short.
bool loadCameraCalibration(const std::filesystem::path& path, CameraCalibration& calibration);
/// The same, and on failure `reason` says why in a user's words.
bool loadCameraCalibration(const std::filesystem::path& path, CameraCalibration& calibration, std::string& reason);

/// The "Configuration Error: " line for a calibration that describes no real camera (a
/// resolution below 1 x 1, focal lengths that are not finite and positive in single precision,
/// as the renderers take them), or the empty text.
std::string checkCameraCalibration(const CameraCalibration& calibration);

/// What is wrong with a value that must be positive once stored in single precision: "is not
/// positive", "is 0 in single precision", "is inf in single precision"; empty when it is usable.
std::string singlePrecisionProblem(double value);
