#pragma once
// The single-target and batch training drivers: they dispatch loaded configurations to the
// trainers and report each failure with one console line.
#include "CameraCalibration.h"
#include "Configs.h"

#include <filesystem>
#include <string>

bool trainTarget(const TrainingConfig& config, const CameraCalibration& calibration,
                 const std::filesystem::path& outputDirectory, const std::filesystem::path& dataFile);

bool trainBatch(const BatchConfig& batchConfig, const CameraCalibration& calibration,
                const std::filesystem::path& outputDirectory);

/// The batch name, "_" and the index written with at least five digits.
std::string batchTargetName(const std::string& batchName, std::size_t index);
