#include "ObjectTracker/Trainer/Image/MultipleViewGenerator.h"

#include "Core/Log.h"

#include <fmt/format.h>

#include <cmath>
#include <string>

namespace Obrin {

std::vector<Eigen::Vector2d> projectImagePoints(const MvgPose& pose, const CameraCalibration& camera,
                                                const std::vector<Eigen::Vector2d>& points,
                                                const Eigen::Vector2i& imageSize, double aspect) {
  const Eigen::Matrix3d R = pose.rotation.cast<double>().toRotationMatrix();
  const Eigen::Matrix3d M = R * Eigen::Vector3d(-1.0, 1.0, -1.0).asDiagonal();
  const Eigen::Vector3d t = -pose.translation.cast<double>();
  std::vector<Eigen::Vector2d> projected;
  projected.reserve(points.size());
  for (const Eigen::Vector2d& q : points) {
    // The rectangle's point under the pixel's centre, with y pointing down the picture.
    const Eigen::Vector3d p(2.0 * (q.x() + 0.5) / imageSize.x() - 1.0,
                            aspect * (2.0 * (q.y() + 0.5) / imageSize.y() - 1.0), 0.0);
    // The camera frame comes out negated (z < 0 in front); the division cancels it. A point behind
    // the camera still lands where the plane's homography puts it.
    const Eigen::Vector3d pc = M * p + t;
    // The view is drawn by a plain pinhole camera: the lens distortion of the calibration
    // plays no part in it, so none is applied here either.
    const Eigen::Vector2d d(pc.x() / pc.z(), pc.y() / pc.z());
    // Pixel (0, 0) has its centre at (0, 0), as the extractor reports positions.
    projected.emplace_back(camera.mFocalLength.x() * d.x() + camera.mPrincipalPoint.x() - 0.5,
                           camera.mFocalLength.y() * d.y() + camera.mPrincipalPoint.y() - 0.5);
  }
  return projected;
}

MultipleViewGenerator::MultipleViewGenerator(const TrainingConfig& configuration, const CameraCalibration& camera)
    : mConfiguration(configuration), mCamera(camera) {}

std::string MultipleViewGenerator::checkConfiguration(const TrainingConfig& c) {
  const std::string& density = c.mvgRenderDensity.value;
  if (density != "MIN" && density != "MODERATE" && density != "MAX") {
    return "MVG.Render.Density \"" + density + "\" is not MIN, MODERATE or MAX";
  }
  // Settings that cannot give a view: no frame, an eye at infinity or behind the picture, an
  // empty or inverted depth range. The renderer holds them as floats.
  const double zNear = c.mvgRenderZNear.value;
  const double zFar = c.mvgRenderZFar.value;
  if (!(zNear > 0.0) || !std::isfinite(zNear) || !(static_cast<float>(zNear) > 0.0f)) {
    return fmt::format("MVG.Render.ZNear {} must be positive and at least 1e-45, the smallest the renderer holds",
                       zNear);
  }
  const auto& resolution = c.trainingResolution.value;
  const bool frame = resolution.size() >= 2 && resolution[0] >= 1 && resolution[1] >= 1;
  const float distanceFactor = static_cast<float>(1.0 / c.mvgRenderDistScale.value);
  const bool distance = c.mvgRenderDistScale.value > 0.0 && std::isfinite(distanceFactor) && distanceFactor > 0.0f;
  const bool shift = std::isfinite(static_cast<float>(c.mvgRenderZShift.value));
  const bool depth = zFar > zNear && std::isfinite(static_cast<float>(zFar)) &&
                     static_cast<float>(zFar) > static_cast<float>(zNear);
  if (frame && distance && shift && depth) return std::string();
  if (!distance) return fmt::format("MVG.Render.DistScale {} must be positive and finite", c.mvgRenderDistScale.value);
  if (!shift) return fmt::format("MVG.Render.ZShift {} must be finite", c.mvgRenderZShift.value);
  return fmt::format("MVG.Render.ZFar {} must be finite and beyond MVG.Render.ZNear {}", zFar, zNear);
}

void MultipleViewGenerator::loadConfiguration() {
  const TrainingConfig& c = mConfiguration;
  const auto& resolution = c.trainingResolution.value;
  mRenderWidth = resolution.size() >= 2 ? resolution[0] : 0;
  mRenderHeight = resolution.size() >= 2 ? resolution[1] : 0;
  mZNear = static_cast<float>(c.mvgRenderZNear.value);
  mDistanceFactor = static_cast<float>(1.0 / c.mvgRenderDistScale.value);
  mZShift = static_cast<float>(c.mvgRenderZShift.value);
  mDebugWindow = c.mvgRenderDebugWindow.value;
  OBRIN_LOG_INFO("Loading Multiple View Generator configuration ... ");
  OBRIN_LOG_INFO("Render framebuffer resolution : {} x {}", mRenderWidth, mRenderHeight);
  OBRIN_LOG_INFO("(Temporary Feature) Minimum z distance of the perspective frustum to the camera centre: {}", mZNear);
  OBRIN_LOG_INFO("Shrink constant : {}", mDistanceFactor);
  OBRIN_LOG_INFO("Enable visible GLFW render window : {}", mDebugWindow);
  const std::string& density = c.mvgRenderDensity.value;
  mDensity = density == "MAX" ? PoseDensity::Max : density == "MODERATE" ? PoseDensity::Moderate : PoseDensity::Min;
  OBRIN_LOG_INFO("Pose density of rendered training images : {}", density);
  OBRIN_LOG_INFO("Loading configuration : Success.");
}

bool MultipleViewGenerator::run(const Lumetra::ImageRGB& picture, const ViewSink& sink) {
  OBRIN_LOG_INFO("Start Synthetic Image Generation.");
  if (picture.isEmpty()) {
    OBRIN_LOG_ERROR("Failed to load a image.");
    mFailure = "the training image is empty";
    return false;
  }
  OBRIN_LOG_INFO("Image Load : Success");
  if (!mRenderer.initWindow(mRenderWidth, mRenderHeight, mDebugWindow)) {
    OBRIN_LOG_ERROR("Failed to initialise GLFW window.");
    mFailure = mRenderer.failure();
    return false;
  }
  OBRIN_LOG_INFO("GLFW window initialisation : Success");
  if (!mRenderer.setupObject(picture)) {
    OBRIN_LOG_ERROR("OpenGL object generation failed.");
    mFailure = "the OpenGL driver could not take the picture as a texture";
    return false;
  }
  OBRIN_LOG_INFO("OpenGL object generation : Success.");
  mTable = poseTable(mDensity);
  if (!mRenderer.setProjection(pinholeCamera(mCamera), static_cast<float>(mConfiguration.mvgRenderZFar.value),
                               static_cast<float>(mConfiguration.mvgRenderZNear.value))) {
    OBRIN_LOG_ERROR("OpenGL camera creation failed.");
    mFailure = "the camera and MVG.Render.ZNear / MVG.Render.ZFar give no projection";
    return false;
  }
  OBRIN_LOG_INFO("OpenGL camera creation: Success.");
  mSink = sink;
  std::size_t rendered = 0;
  for (std::size_t i = 0; i < mTable.size; ++i) {
    const float* p = mTable.rows[i];
    const Eigen::Vector3f eye(mDistanceFactor * p[0], mDistanceFactor * p[1], mDistanceFactor * p[2] + mZShift);
    mRenderer.setView(eye, Eigen::Vector3f::Zero());
    mRenderer.render();
    if (storeView()) ++rendered;
  }
  mSink = nullptr;
  OBRIN_LOG_INFO("Training image generation complete.");
  OBRIN_LOG_INFO("Number of training images : {}", rendered);
  return true;
}

bool MultipleViewGenerator::storeView() {
  MvgView view;
  view.image = mRenderer.getImage();
  if (view.image.isEmpty()) {
    OBRIN_LOG_ERROR("Fail to load grayscale projection image.");
    return false;
  }
  view.pose = mRenderer.getPose();
  if (mSink) {
    mSink(std::move(view));
  } else {
    mViews.push_back(std::move(view));
  }
  return true;
}

}  // namespace Obrin
