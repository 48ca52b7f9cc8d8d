#pragma once
// The CAD-target settings: the sampling settings, the model's symmetries and upright axis from the
// CAD.* keys, and the camera checks, each check returning the lines the driver prints.
#include "CameraCalibration.h"
#include "Configs.h"
#include "Detection/CadModel.h"
#include "Detection/LinemodTrainer.h"

#include <Eigen/Geometry>

#include <cstdint>
#include <string>
#include <vector>

/// The rotation qz(z) qy(y) qx(x) (the rotation about x applied first), each factor
/// (axis sin(angle / 2), cos(angle / 2)) in single precision; angles in radians.
Eigen::Quaternionf eulerToQuaternion(float x, float y, float z);

/// What a check of settings found: the lines the driver prints, in order (a refusal last), and
/// whether the settings can be used.
struct CadSettingsCheck {
  std::vector<std::string> lines;
  bool usable = true;
  explicit operator bool() const { return usable; }
};

/// Fills the sampling settings (radii, view count, elevation band) and the model's symmetries
/// from the CAD.* keys. Refuses with one "Configuration Error: " line for the first setting it
/// refuses; a continuous-symmetry character other than x, y or z gets a line and is skipped.
CadSettingsCheck configureCadTraining(const TrainingConfig& config,
                                      Lumetra::Linemod::LinemodTrainer::Settings& settings,
                                      CadModelDescription& description);

/// Stores the normalised CAD.UprightVector as the description's up vector. Refuses with the
/// two-line upright message when the value is not three finite numbers of a length above 1e-5.
CadSettingsCheck configureCadUpright(const TrainingConfig& config, CadModelDescription& description);

/// The camera checks before anything is written: a size of at least 1 x 1 pixel, finite positive
/// focal lengths and, when `largestRenderbuffer` is above 0, the occlusion tester's tile grid of
/// the size within it. Refuses with one "Configuration Error: " line for the first check that fails.
CadSettingsCheck checkCadCamera(const CameraCalibration& calibration, std::int64_t largestRenderbuffer);
