#include "CadSettings.h"

#include "Core/Angles.h"
#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

using Settings = Lumetra::Linemod::LinemodTrainer::Settings;

namespace {

constexpr std::int32_t kMaxTrainingViews = 10000;
/// Camera directions the pose sampler may draw before it filters them by elevation.
constexpr double kMaxDirections = 10000000.0;

/// A refusal: the lines found so far, then the line that refuses.
CadSettingsCheck refusal(std::vector<std::string> lines, std::string line) {
  lines.push_back(std::move(line));
  return {std::move(lines), false};
}

/// Degrees (a double) to radians, computed in double and stored in single precision.
float radians(double degrees) { return static_cast<float>(degrees * Lumetra::kPi / 180.0); }

/// The normalised upright axis, or nothing when the value is not three finite numbers of a
/// length above 1e-5. Normalised in double precision over the largest component, so that
/// neither large nor small components overflow or underflow on the way.
std::optional<Eigen::Vector3f> uprightAxis(const std::vector<double>& value) {
  if (value.size() != 3) return std::nullopt;
  const Eigen::Vector3d v(value[0], value[1], value[2]);
  const double largest = v.cwiseAbs().maxCoeff();
  if (!std::isfinite(largest) || largest == 0.0) return std::nullopt;
  const Eigen::Vector3d scaled = v / largest;
  const double scaledLength = scaled.norm();
  if (!(largest * scaledLength > 1e-5)) return std::nullopt;
  return (scaled / scaledLength).cast<float>();
}

/// Adds the continuous and discrete symmetries of the CAD.Model.* keys to the description, with a
/// line for each continuous-symmetry character it skips. The refusal, when the keys are refused.
std::optional<std::string> addSymmetries(const TrainingConfig& config, CadModelDescription& description,
                                         std::vector<std::string>& lines) {
  for (const char written : config.cadModelContinuousSymmetries.value) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(written)));
    if (c != 'x' && c != 'y' && c != 'z') {
      lines.push_back(std::string("Ignoring axis {") + written + "} for continuous symmetries");
      continue;
    }
    const Eigen::Vector3f axis = Eigen::Vector3f::Unit(c - 'x');
    auto& symmetries = description.continuousSymmetries;
    if (std::none_of(symmetries.begin(), symmetries.end(), [&](const auto& s) { return s.axis == axis; })) {
      symmetries.push_back({axis, Eigen::Vector3f::Zero()});
    }
  }

  const std::vector<double>& discrete = config.cadModelDiscreteSymmetries.value;
  if (!discrete.empty()) {
    if (discrete.size() != 3) return "For discrete symmetries 3 values must be provided.";
    for (int axis = 0; axis < 3; ++axis) {
      const float angle = radians(discrete[static_cast<std::size_t>(axis)]);
      if (std::isinf(angle)) {
        return fmt::format(
            "Configuration Error: Discrete symmetry angle {} degrees is {} in radians in single precision",
            discrete[axis], angle);
      }
      if (angle == 0.0f) continue;
      Eigen::Vector3f angles = Eigen::Vector3f::Zero();
      angles[axis] = angle;
      description.discreteSymmetries.push_back(
          {eulerToQuaternion(angles.x(), angles.y(), angles.z()), Eigen::Vector3f::Zero()});
    }
  }
  return std::nullopt;
}

}  // namespace

Eigen::Quaternionf eulerToQuaternion(float x, float y, float z) {
  const auto half = [](float angle) { return angle / 2.0f; };
  const Eigen::Quaternionf qx(std::cos(half(x)), std::sin(half(x)), 0.0f, 0.0f);
  const Eigen::Quaternionf qy(std::cos(half(y)), 0.0f, std::sin(half(y)), 0.0f);
  const Eigen::Quaternionf qz(std::cos(half(z)), 0.0f, 0.0f, std::sin(half(z)));
  return qz * qy * qx;
}

CadSettingsCheck configureCadUpright(const TrainingConfig& config, CadModelDescription& description) {
  const std::optional<Eigen::Vector3f> up = uprightAxis(config.cadUprightVector.value);
  if (!up) {
    return refusal({},
                   "Configuration Error: Upright axis malformed. Provide an axis in the following format: [x,y,z] \n"
                   " Example: +X:[1,0,0] , -Y [0,-1,0]");
  }
  description.upVector = *up;
  return {};
}

CadSettingsCheck checkCadCamera(const CameraCalibration& calibration, std::int64_t largestRenderbuffer) {
  using Tester = Lumetra::OpenGL::MultiPoseMeshOcclusionTester;
  const std::string problem = checkCameraCalibration(calibration);
  if (!problem.empty()) return refusal({}, problem);
  const Eigen::Vector2i& size = calibration.mResolution;
  const std::int64_t largest = largestRenderbuffer;
  if (largest > 0 && !Tester::cameraFits(pinholeCamera(calibration), largest)) {
    return refusal({}, fmt::format("Configuration Error: Camera resolution {} x {} is too large: training renders {} x "
                                   "{} views of it and the OpenGL driver allows at most {} x {} pixels",
                                   size.x(), size.y(), Tester::mGridSize, Tester::mGridSize, largest, largest));
  }
  return {};
}

CadSettingsCheck configureCadTraining(const TrainingConfig& config, Settings& settings,
                                      CadModelDescription& description) {
  const std::vector<double>& radii = config.cadDetectionDistanceRange.value;
  if (radii.empty()) return refusal({}, "Configuration Error: No sampling radii set");
  if (radii.size() != 2) return refusal({}, "Configuration Error: Two radii are necessary (minimum and maximum)");
  if (radii[0] > radii[1]) {
    return refusal({}, "Configuration Error: Minimum radius needs to be smaller or equal to maximum radius");
  }
  settings.minRadius = static_cast<float>(radii[0]);
  settings.maxRadius = static_cast<float>(radii[1]);
  for (const double radius : radii) {
    const std::string why = singlePrecisionProblem(radius);
    if (!why.empty()) return refusal({}, fmt::format("Configuration Error: Radius {} {}", radius, why));
  }

  const std::int32_t views = config.cadDetectionNumTrainingViews.value;
  if (views < 1 || views > kMaxTrainingViews) {
    return refusal({}, "Configuration Error: Number of views (" + std::to_string(views) +
                           ") is less than or equal to 0 or exceeds maximum of " + std::to_string(kMaxTrainingViews));
  }
  settings.numTemplates = views;

  const std::vector<double>& elevation = config.cadDetectionElevationAngleRange.value;
  if (elevation.size() != 2) return refusal({}, "Configuration Error: Elevation range need to contain 2 values");
  for (const double value : elevation) {
    if (!(value >= -90.0 && value <= 90.0)) {
      return refusal({}, "Configuration Error: Elevation values must be within [-90, 90] degrees");
    }
  }
  if (!(elevation[0] < elevation[1])) {
    return refusal({}, "Configuration Error: Elevation minimum value needs to be smaller than the maximum value");
  }
  settings.elevationMin = radians(elevation[0]);
  settings.elevationMax = radians(elevation[1]);

  std::vector<std::string> lines;
  if (std::optional<std::string> refused = addSymmetries(config, description, lines)) {
    return refusal(lines, std::move(*refused));
  }

  // The pose sampler draws views x pi / band directions (per symmetry copy) before it keeps those
  // in the band: a narrow band would ask for more than memory holds.
  const double band = static_cast<double>(settings.elevationMax) - static_cast<double>(settings.elevationMin);
  const double copies = static_cast<double>(std::max<std::size_t>(description.discreteSymmetries.size(), 1));
  const double directions = copies * static_cast<double>(settings.oversampling) * views * Lumetra::kPi / band;
  if (!(band > 0.0) || !(directions <= kMaxDirections)) {
    return refusal(lines, fmt::format("Configuration Error: Elevation range [{}, {}] is too narrow for {} views: "
                                      "sampling would draw more than {} camera directions",
                                      elevation[0], elevation[1], views, static_cast<std::int64_t>(kMaxDirections)));
  }
  return {lines, true};
}
