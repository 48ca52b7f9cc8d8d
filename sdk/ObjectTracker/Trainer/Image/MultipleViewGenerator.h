#pragma once
// Photographs the training picture from a fixed table of eye positions on a hemisphere, so that
// the trainer can add corners that survive perspective distortion.
#include "Image/Image.h"
#include "ObjectTracker/Trainer/Image/MultipleViewRenderer.h"
#include "ObjectTracker/Trainer/Image/MvgPoseTables.h"
#include "app/CameraCalibration.h"
#include "app/Configs.h"

#include <Eigen/Core>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Obrin {

/// One synthetic view: the rendered gray image and the picture's pose in the camera frame.
struct MvgView {
  Lumetra::ImageGray image;
  MvgPose pose;
};

class MultipleViewGenerator {
 public:
  /// Receives each view as soon as it is rendered, to keep; views handed to it are not kept here.
  using ViewSink = std::function<void(MvgView&&)>;

  MultipleViewGenerator(const TrainingConfig& configuration, const CameraCalibration& camera);

  /// Why the render settings cannot give a view (the key and value of the refused setting), or
  /// the empty text when they can.
  static std::string checkConfiguration(const TrainingConfig& configuration);
  /// Reads the render settings, which `checkConfiguration` has accepted.
  void loadConfiguration();
  /// Renders the picture from every table position; each view goes to the sink when one is
  /// given, else into `views()`.
  bool run(const Lumetra::ImageRGB& picture, const ViewSink& sink = nullptr);
  /// Takes the current frame and pose as a view; false when the frame is empty.
  bool storeView();

  /// Why `run` failed last, in a user's words (what the display or OpenGL driver lacks).
  const std::string& failure() const { return mFailure; }
  const std::vector<MvgView>& views() const { return mViews; }
  std::int32_t renderWidth() const { return mRenderWidth; }
  std::int32_t renderHeight() const { return mRenderHeight; }
  const MultipleViewRenderer& renderer() const { return mRenderer; }

 private:
  std::vector<MvgView> mViews;
  TrainingConfig mConfiguration;
  MultipleViewRenderer mRenderer;
  const CameraCalibration& mCamera;
  std::int32_t mRenderWidth = 0;
  std::int32_t mRenderHeight = 0;
  float mZNear = 0.0f;
  PoseDensity mDensity = PoseDensity::Min;
  bool mDebugWindow = false;
  float mDistanceFactor = 0.0f;
  float mZShift = 0.0f;
  PoseTable mTable{nullptr, 0};
  ViewSink mSink;
  std::string mFailure;
};

/// Where points of the training image (pixel coordinates, image size given) appear in a view
/// taken with the pose: the rectangle carries the training image over x from -1 to 1 and y from
/// -aspect to aspect, its first row at the top. Only the pinhole part of the camera is used.
std::vector<Eigen::Vector2d> projectImagePoints(const MvgPose& pose, const CameraCalibration& camera,
                                                const std::vector<Eigen::Vector2d>& points,
                                                const Eigen::Vector2i& imageSize, double aspect);

}  // namespace Obrin
