#pragma once
// Trains image targets: a picture becomes a training image of a fixed size, a blurred image
// pyramid, grid-binned keypoints with descriptors, a trackability score, the target geometry and
// a heat map; the result is kept under the target's name until its files are written.
#include "Feature/GridFeatureExtractor.h"
#include "Image/Image.h"
#include "Image/ImageOP.h"
#include "ObjectTracker/Trainer/Image/TargetData.h"
#include "app/CameraCalibration.h"
#include "app/Configs.h"

#include <Eigen/Core>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Obrin {

struct MvgView;
class MultipleViewGenerator;

/// Where the picture was padded with black to fill the training resolution; the values are those
/// of the trainer's padding status.
enum class Padding : std::int32_t { Unset = -1, LeftRight = 0, AboveBelow = 1, None = 2 };

/// Left-top, right-bottom, centre and factor, in this order.
using TargetGeometry = std::array<Eigen::Vector2d, 4>;

class ImageTargetTrainer {
 public:
  ImageTargetTrainer(const TrainingConfig& configuration, const CameraCalibration& calibration);
  ~ImageTargetTrainer();
  ImageTargetTrainer(const ImageTargetTrainer&) = delete;
  ImageTargetTrainer& operator=(const ImageTargetTrainer&) = delete;

  /// An explanation when the configuration cannot train an image target (an empty grid, a
  /// training resolution too small or too large, a pyramid ratio outside (0, 1), ...), or the
  /// empty text when it can.
  static std::string checkConfiguration(const TrainingConfig& configuration);

  /// Keypoints are searched this far inside the training image; the score's grid covers the rest.
  static constexpr double kBorder = 15.0;

  /// Training refuses settings whose estimated peak memory passes this bound (16 GiB).
  static constexpr double kMaxPeakBytes = 16.0 * 1024 * 1024 * 1024;
  /// An upper estimate of the peak memory, in bytes, of training one target with these settings
  /// (the picture file itself aside): the working images, the pyramids of the plain pass and of
  /// the synthetic views in flight, the grid cells and the keypoint records.
  static double estimatePeakBytes(const TrainingConfig& configuration);

  void loadConfiguration();
  void setCameraCalibration(const CameraCalibration& calibration);

  /// Trains the picture under the name; false when the picture cannot be used.
  bool train(const std::string& picturePath, const std::string& targetName);
  /// Why the last `train` failed or lost part of its work, in a user's words (a picture that
  /// cannot be decoded, a physical size that contradicts it, a skipped multiple-view step);
  /// empty after a complete training.
  const std::vector<std::string>& reasons() const { return mReasons; }
  /// Writes the files of a trained target; false for an unknown name or a failed write.
  bool saveTarget(const std::string& targetName, const std::string& outputDirectory) const;

  /// The picture scaled into the training resolution and centred on a black canvas.
  bool makeAdaptedImage(const Lumetra::ImageGray& picture, Lumetra::ImageGray& adapted, Eigen::Vector2i& offset,
                        Padding& paddingStatus) const;
  float computeTrackabilityScore(const std::vector<Lumetra::KeyPoint>& keyPoints) const;
  void computeTargetGeometry(const Eigen::Vector2d& physicalSize, const Eigen::Vector2d& imageSize,
                             const Eigen::Vector2d& offset, TargetGeometry& geometry) const;
  void computeObjectPoints(const TargetGeometry& geometry, ImageTargetDetectableData& data) const;
  bool getCornerCorrespondences(const TargetGeometry& geometry, const Eigen::Vector2i& offset,
                                std::vector<Eigen::Vector3d>& objectPoints,
                                std::vector<Eigen::Vector2d>& imagePoints) const;
  /// The heat map of the keypoint points over the training image and its overlay on the image;
  /// false, leaving the outputs as they were, for an empty image or no points.
  bool generateHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                       Lumetra::ImageRGB& heatMap, Lumetra::ImageRGB& overlay) const;
  /// One extraction pass with the multiple-view settings on a synthetic view.
  std::vector<Lumetra::KeyPoint>& extractMvgKeyPoints(std::vector<Lumetra::KeyPoint>& out,
                                                      const Lumetra::ImageGray& view,
                                                      const Eigen::Matrix3d* homography) const;

  /// The homography from four training-image points to four view points; false when the points
  /// are degenerate.
  bool estimateHomography(const std::vector<Eigen::Vector2d>& imagePoints,
                          const std::vector<Eigen::Vector2d>& viewPoints, Eigen::Matrix3d& homography) const;
  /// Renders the training image from the pose table, extracts corners in every view and appends
  /// those that map back inside the border margin as further keypoints of the target. False,
  /// adding nothing, when the views cannot be rendered.
  bool trainMVG(const Lumetra::ImageGray& trainingImage, const Eigen::Vector2i& offset,
                const TargetGeometry& geometry, ImageTargetDetectableData& data);

  const ImageTargetDetectableData* getTarget(const std::string& targetName) const;
  const Lumetra::ImageRGB& heatMapImage() const { return mHeatMapImage; }
  const Lumetra::ImageRGB& overlayImage() const { return mOverlayImage; }
  float trackabilityScore() const { return mTrackabilityScore; }
  const Eigen::Vector2i& pictureOffset() const { return mPictureOffset; }
  Padding paddingStatus() const { return mPaddingStatus; }
  std::int32_t physicalSizeStatus() const { return mPhysicalSizeStatus; }
  const CameraCalibration& camera() const { return mCamera; }
  const Lumetra::GridFeatureExtractor::Parameters& extractorParameters() const { return mExtractorParameters; }
  const Lumetra::GridFeatureExtractor::Parameters& mvgExtractorParameters() const { return mMvgExtractorParameters; }

 private:
  // The steps of `train`, in their order.
  bool prepareImages(const std::string& picturePath, Lumetra::ImageGray& picture, Lumetra::ImageGray& adapted);
  bool checkProportions(const Lumetra::ImageGray& picture, const Eigen::Vector2i& pictureSize);
  bool adaptPicture(const Lumetra::ImageGray& picture, const Eigen::Vector2i& pictureSize,
                    Lumetra::ImageGray& adapted);
  void setTrainingCamera();
  /// The picture's own keypoints, trackability score, records and heat map. Touches nothing that
  /// `addSyntheticViews` uses, so the two run side by side.
  void addPictureKeyPoints(const Lumetra::ImageGray& adapted, Lumetra::ImagePyramid& pyramid,
                           ImageTargetDetectableData& data);
  void makeHeatmap(const Lumetra::ImageGray& adapted, const std::vector<TargetKeyPoint>& records);
  void addSyntheticViews(const Lumetra::ImageGray& adapted, const TargetGeometry& geometry,
                         ImageTargetDetectableData& data);
  void setObjectSize(const Lumetra::ImageGray& picture, const TargetGeometry& geometry,
                     ImageTargetDetectableData& data) const;
  // Whether the geometry is finite with a non-zero scale and extent; adds the reason when it is not.
  bool geometryIsUsable(const TargetGeometry& geometry);
  // Why the physical size and the camera give no usable geometry: `what` they give.
  std::string geometryReason(const std::string& what, const TargetGeometry& geometry) const;
  // One extraction pass with the given multiple-view parameters.
  std::vector<Lumetra::KeyPoint> extractViewKeyPoints(const Lumetra::ImageGray& view, const Eigen::Matrix3d* homography,
                                                      const Lumetra::GridFeatureExtractor::Parameters& parameters) const;

  // The steps of `trainMVG`: what every view of one training shares, a view's keypoints mapped
  // back into the training image, and the views drawn and mapped side by side.
  struct MvgViewSetup;
  struct MvgViewResult;
  bool makeMvgViewSetup(const Lumetra::ImageGray& trainingImage, const Eigen::Vector2i& offset,
                        const TargetGeometry& geometry, MvgViewSetup& setup);
  MvgViewResult mapView(const MvgViewSetup& setup, const MvgView& view, double aspect) const;
  void keepView(const MvgViewSetup& setup, const MvgViewResult& result,
                std::vector<TargetKeyPoint>& records) const;
  bool renderAndMapViews(MultipleViewGenerator& generator, const MvgViewSetup& setup,
                         std::vector<TargetKeyPoint>& records) const;

  TrainingConfig mConfiguration;
  Eigen::Vector2i mTrainingResolution{0, 0};
  Eigen::Vector2i mPictureOffset{0, 0};
  Padding mPaddingStatus = Padding::Unset;
  std::int32_t mPhysicalSizeStatus = 0;
  std::uint8_t mPyramidLevels = 1;
  std::uint8_t mMvgPyramidLevels = 1;
  double mPyramidRatio = 1.0;
  double mMvgPyramidRatio = 1.0;
  std::map<std::string, std::unique_ptr<ImageTargetDetectableData>> mTargets;
  std::unique_ptr<Lumetra::GridFeatureExtractor> mExtractor;
  Lumetra::GridFeatureExtractor::Parameters mExtractorParameters;
  Lumetra::GridFeatureExtractor::Parameters mMvgExtractorParameters;
  CameraCalibration mCamera;
  Lumetra::ImageRGB mHeatMapImage;
  Lumetra::ImageRGB mOverlayImage;
  float mTrackabilityScore = 0.0f;
  float mDetectabilityScore = 0.0f;
  // Working physical size of the current picture (swapped for a turned portrait picture).
  Eigen::Vector2d mWorkingPhysicalSize{1.0, 1.0};
  std::vector<std::string> mReasons;
  // Why the last multiple-view step failed.
  std::string mMvgFailure;
};

/// The record of a keypoint's descriptor of one pyramid level, at the given level-0 and pyramid
/// positions; its object point is set once the target geometry is known.
TargetKeyPoint makeTargetKeyPoint(const Lumetra::KeyPoint& keyPoint, std::size_t level,
                                  const Eigen::Vector2d& levelZeroPosition, const Eigen::Vector2d& position);

/// The picture turned 90 degrees clockwise.
Lumetra::ImageGray rotateClockwise(const Lumetra::ImageGray& picture);

}  // namespace Obrin
