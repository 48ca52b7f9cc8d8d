#pragma once
// Why a CAD training gave no target, in a user's words: the lines that name the setting to change.

#include "CameraCalibration.h"
#include "Detection/LinemodTrainer.h"
#include "Detection/PinholeCamera.h"
#include "Renderer/MeshModel.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

/// Near clipping distance of the views the training renders, in metres.
constexpr double kNearPlane = 0.1;
/// A model that spans fewer pixels than this from the farthest camera shows too few edges.
constexpr double kFewPixels = 20.0;

/// A number to three significant digits, written without an exponent from 1,000 up to 10^9.
std::string shortNumber(double value);

/// How many pixels the model's largest side spans from the distance.
double spanPixels(const Lumetra::MeshModel& mesh, const Lumetra::PinholeCamera& camera, double distance);

/// Why the views of the model gave no training (status 1 or 2), one line per cause found, from the
/// model as loaded (millimetres scaled to metres), the camera distances and the camera.
std::vector<std::string> trainingFailureReasons(Lumetra::Linemod::CadTrainingStatus status, const Lumetra::MeshModel& mesh,
                                                const Lumetra::Linemod::LinemodTrainer::Settings& settings,
                                                const Lumetra::PinholeCamera& camera, std::size_t templatesMade);

/// Why the views that gave no template gave none, one line per cause with its count (see the
/// definition for the causes told apart).
std::vector<std::string> viewFailureReasons(const Lumetra::Linemod::TemplateTrainingResult& trained,
                                            const Lumetra::Linemod::LinemodTrainer::Settings& settings,
                                            std::size_t templatesMade, const std::string& finestStep, bool spanSaid,
                                            double clipped);

/// Why the templates could not be rendered (status 3), in a user's words.
std::string renderFailureReason(const Lumetra::Linemod::TemplateTrainingResult& trained,
                                const std::filesystem::path& modelPath);

/// Why the model leaves the camera's picture, naming the calibration value that puts it there, or
/// empty.
std::string framingReason(const CameraCalibration& calibration, const Lumetra::MeshModel& mesh,
                          const Lumetra::Linemod::LinemodTrainer::Settings& settings);
