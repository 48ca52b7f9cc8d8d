#include "CadTrainingReasons.h"

#include "Console.h"
#include "Renderer/OpenGL/GlContext.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace fs = std::filesystem;
using Settings = Lumetra::Linemod::LinemodTrainer::Settings;
using Lumetra::Linemod::CadTrainingStatus;

namespace {

/// A model smaller than this (in metres, as read) may well have been made in metres.
constexpr double kSmallModel = 0.01;

/// A length in metres, three significant digits.
std::string metres(double value) { return shortNumber(value) + " m"; }

}  // namespace

/// A number to three significant digits, written without an exponent from 1,000 up to 10^9.
std::string shortNumber(double value) {
  const double magnitude = std::abs(value);
  return magnitude >= 1000.0 && magnitude < 1e9 ? fmt::format("{:.0f}", value) : fmt::format("{:.3g}", value);
}

/// How many pixels the model's largest side spans from the distance.
double spanPixels(const Lumetra::MeshModel& mesh, const Lumetra::PinholeCamera& camera, double distance) {
  const double side = (mesh.mBoundingBoxMax - mesh.mBoundingBoxMin).cast<double>().maxCoeff();
  return static_cast<double>(camera.focalLength.maxCoeff()) * side / distance;
}

/// Why the views of the model gave no training (status 1 or 2), one line per cause found, from the
/// model as loaded (millimetres scaled to metres), the camera distances and the camera.
std::vector<std::string> trainingFailureReasons(CadTrainingStatus status, const Lumetra::MeshModel& mesh,
                                                const Settings& settings, const Lumetra::PinholeCamera& camera,
                                                std::size_t templatesMade) {
  const Eigen::Vector3d size = (mesh.mBoundingBoxMax - mesh.mBoundingBoxMin).cast<double>();
  const double reach = mesh.mMaxDistance, offset = mesh.mCentroid.cast<double>().norm();
  const double minRadius = settings.minRadius, maxRadius = settings.maxRadius;
  const std::string measures =
      shortNumber(size.x()) + " x " + shortNumber(size.y()) + " x " + shortNumber(size.z()) + " m (read in millimetres)";
  std::vector<std::string> reasons;
  if (status == CadTrainingStatus::ModelTooLarge) {
    reasons.push_back("The model of " + measures + " reaches " + metres(reach) +
                      " from its centre, beyond the cameras at most " + metres(maxRadius) +
                      " away: raise the maximum of CAD.Detection.DistanceRange to at least " + metres(reach) + ".");
  } else {
    reasons.push_back(fmt::format("Only {} of {} views gave a template; the model measures {} and the cameras stand {} "
                                  "to {} from its centre (CAD.Detection.DistanceRange).",
                                  templatesMade, settings.numTemplates, measures, metres(minRadius),
                                  metres(maxRadius)));
    const double pixels = spanPixels(mesh, camera, maxRadius);
    if (pixels < kFewPixels) {
      reasons.push_back(fmt::format(
          "From {} the model spans {} pixels, too few for its edges: lower CAD.Detection.DistanceRange{}.",
          metres(maxRadius), shortNumber(pixels),
          size.maxCoeff() < kSmallModel ? ", or scale the model by 1000 if it was made in metres" : ""));
    }
  }
  if (offset > reach) {
    reasons.push_back("The cameras aim at the model's origin, " + metres(offset) +
                      " from the model's centre: move the model's centre to its origin.");
  }
  if (minRadius - reach < kNearPlane) {
    reasons.push_back("Views nearer than " + metres(kNearPlane) + " are clipped, and the model comes as near as " +
                      metres(std::max(minRadius - reach, 0.0)) +
                      " to the cameras: raise the minimum of CAD.Detection.DistanceRange to at least " +
                      metres(reach + kNearPlane) + ".");
  }
  return reasons;
}

/// Why the views that gave no template gave none, one line per cause with its count, after
/// edge samples down to `finestStep`: views that showed too few edge points (said here when some
/// views gave a template; when none did, the best view's count is said instead) and views whose
/// edge points fell on too few pixels (unless the model is already said to span too few pixels).
/// Cameras nearer than `clipped` metres (0: none) cut the model at the near clipping plane, which
/// leaves a view few edge points on few pixels whatever its angle or distance.
std::vector<std::string> viewFailureReasons(const Lumetra::Linemod::TemplateTrainingResult& trained,
                                            const Settings& settings, std::size_t templatesMade,
                                            const std::string& finestStep, bool spanSaid, double clipped) {
  std::vector<std::string> reasons;
  const std::string of = fmt::format("of the {} camera views tried", trained.viewsTried);
  const std::string unclip = "raise the minimum of CAD.Detection.DistanceRange to at least " + metres(clipped);
  if (templatesMade > 0 && trained.viewsFewEdgePoints > 0) {
    const std::string why =
        clipped > 0.0 ? "cameras nearer than " + metres(clipped) + " cut the model at the near clipping plane, and "
                        "views that see it edge-on show little of its edges: " + unclip + "; then, if views still "
                        "give none, narrow CAD.Detection.ElevationAngleRange"
                      : "seen edge-on, the model shows little of its edges. One view in " +
                            std::to_string(settings.oversampling) + " must give a template: narrow "
                            "CAD.Detection.ElevationAngleRange to leave out the views that see the model edge-on";
    reasons.push_back(fmt::format("{} {} showed fewer than the {} edge points a template needs, even with edge samples "
                                  "down to {}: {}.",
                                  trained.viewsFewEdgePoints, of, settings.numFeatures, finestStep, why));
  }
  if (trained.viewsFewPixels > 0 && !spanSaid && trained.fewPixelsNearest < clipped) {
    // Near enough to be clipped: the model is cut, not too small.
    reasons.push_back(fmt::format(
        "{} {} showed too little of the model for a template, even with edge samples down to {}: their edge points "
        "fell on fewer than the {} distinct pixels a template needs at half resolution, from cameras as near as {}, "
        "which cut the model at the near clipping plane; {}.",
        trained.viewsFewPixels, of, finestStep, settings.numFeatures, metres(trained.fewPixelsNearest), unclip));
  } else if (trained.viewsFewPixels > 0 && !spanSaid) {
    // The nearest camera that saw the model too small, when nearer ones gave templates and leave
    // a narrower range to take.
    const double nearest = trained.fewPixelsNearest, smallest = settings.minRadius, largest = settings.maxRadius;
    const bool narrower = templatesMade > 0 && nearest > smallest + 0.1 * (largest - smallest);
    reasons.push_back(fmt::format(
        "{} {} showed the model too small for a template, even with edge samples down to {}: their edge points "
        "fell on fewer than the {} distinct pixels a template needs at half resolution{}; bring the cameras nearer: "
        "lower {}CAD.Detection.DistanceRange{}.",
        trained.viewsFewPixels, of, finestStep, settings.numFeatures,
        templatesMade > 0 ? ", from cameras as near as " + metres(nearest) : "", narrower ? "the maximum of " : "",
        narrower ? " to " + metres(nearest) : ""));
  }
  return reasons;
}

/// Why the templates could not be rendered (status 3), in a user's words.
std::string renderFailureReason(const Lumetra::Linemod::TemplateTrainingResult& trained, const fs::path& modelPath) {
  switch (trained.failure) {
    case Lumetra::Linemod::CadTrainingFailure::MeshNotLoaded:
      return "The model " + quotePath(modelPath) + " could not be loaded: " + trained.detail;
    case Lumetra::Linemod::CadTrainingFailure::OutOfMemory:
      return "There is not enough memory to train the templates: free memory, or lower "
             "CAD.Detection.NumTrainingViews.";
    case Lumetra::Linemod::CadTrainingFailure::Exception:
      return "Training the templates failed: " + trained.detail;
    case Lumetra::Linemod::CadTrainingFailure::None:
    case Lumetra::Linemod::CadTrainingFailure::RendererUnavailable:
      break;
  }
  const Lumetra::OpenGL::GlContext& context = Lumetra::OpenGL::GlContext::shared();
  return context.isInitialized() ? "The OpenGL driver cannot run the training's renderer, which needs OpenGL 4.3 or later."
                                 : "OpenGL could not be started: " + context.failure() + ".";
}

/// Why the model leaves the camera's picture, naming the calibration value that puts it there, or
/// empty. The cameras aim at the model, which appears around the principal point, at least as
/// large as from the farthest camera.
std::string framingReason(const CameraCalibration& calibration, const Lumetra::MeshModel& mesh,
                          const Settings& settings) {
  const Eigen::Vector2d picture = calibration.mResolution.cast<double>();
  const Eigen::Vector2d half = calibration.mFocalLength * (mesh.mMaxDistance / settings.maxRadius);
  const Eigen::Vector2d& centre = calibration.mPrincipalPoint;
  const std::string file = calibration.mFile.empty() ? "the built-in camera" : quotePath(calibration.mFile);
  const auto pair = [](const Eigen::Vector2d& v) { return "[" + shortNumber(v.x()) + ", " + shortNumber(v.y()) + "]"; };
  const std::string size = fmt::format("{} x {}", calibration.mResolution.x(), calibration.mResolution.y());
  if (!(2.0 * half.x() <= picture.x() && 2.0 * half.y() <= picture.y())) {
    return "FocalLength " + pair(calibration.mFocalLength) + " of " + file + " makes the model " +
           shortNumber(2.0 * half.maxCoeff()) + " pixels wide even from " + metres(settings.maxRadius) +
           ", larger than the " + size + " picture: check the focal length, in pixels.";
  }
  if (!((centre - half).minCoeff() >= 0.0 && ((centre + half).array() <= picture.array()).all())) {
    return "PrincipalPoint " + pair(centre) + " of " + file + " puts the model's centre there, and the model reaches " +
           "outside the " + size + " picture: set it near the picture's centre " + pair(picture / 2.0) + ".";
  }
  return {};
}
