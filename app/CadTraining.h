#pragma once
// The CAD-target driver: checks the CAD settings and the camera, builds the sharp-edge model,
// trains the detection templates and writes the target folder with a copy of the model.
#include "CameraCalibration.h"
#include "Configs.h"
#include "Detection/CadModel.h"
#include "Detection/LinemodTrainer.h"

#include <Eigen/Geometry>

#include <cstdint>
#include <filesystem>
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

/// Trains the CAD target `targetName` from the model file into its target folder in the output
/// directory and prints one line per outcome (the checks' lines among them), with the reasons of a
/// failure on standard error. The folder is assembled under a hidden temporary name and renamed
/// into place only when every file is complete (Lumetra::StagedFolder); a failed run leaves nothing
/// behind, nor does one ended by SIGINT or SIGTERM. Temporary folders of the target that killed
/// runs left are removed first.
bool trainCadTarget(const TrainingConfig& config, const CameraCalibration& calibration, const std::string& targetName,
                    const std::filesystem::path& modelPath, const std::filesystem::path& outputDirectory);
