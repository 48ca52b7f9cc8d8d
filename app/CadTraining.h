#pragma once
// The CAD-target driver: checks the CAD settings and the camera, builds the sharp-edge model,
// trains the detection templates and writes the target folder with a copy of the model.
#include "CameraCalibration.h"
#include "Configs.h"

#include <filesystem>
#include <string>

/// Trains the CAD target `targetName` from the model file into its target folder in the output
/// directory and prints one line per outcome (the checks' lines among them), with the reasons of a
/// failure on standard error. The folder is assembled under a hidden temporary name and renamed
/// into place only when every file is complete (Lumetra::StagedFolder); a failed run leaves nothing
/// behind, nor does one ended by SIGINT or SIGTERM. Temporary folders of the target that killed
/// runs left are removed first.
bool trainCadTarget(const TrainingConfig& config, const CameraCalibration& calibration, const std::string& targetName,
                    const std::filesystem::path& modelPath, const std::filesystem::path& outputDirectory);
