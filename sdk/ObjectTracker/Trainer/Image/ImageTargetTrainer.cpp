#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Image/GaussianBlur.h"
#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"
#include "ObjectTracker/Trainer/Image/ImageTargetFiles.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <system_error>

namespace Obrin {

namespace {

// The corner extraction settings in the log, under the trainer's prefix.
void logExtractorSettings(const char* prefix, const Lumetra::GridFeatureExtractor::Parameters& p, std::uint8_t levels,
                          double ratio) {
  OBRIN_LOG_INFO("{} - Number of feature per frame : {}", prefix, p.numCorners);
  OBRIN_LOG_INFO("{} - FAST Corner response threshold : {}", prefix, p.threshold);
  OBRIN_LOG_INFO("{} - Minimun distance among corners : {}", prefix, static_cast<int>(p.minDistance));
  OBRIN_LOG_INFO("{} - Multi-scale level : {}", prefix, static_cast<int>(levels));
  OBRIN_LOG_INFO("{} - Resize ratio : {}", prefix, ratio);
  OBRIN_LOG_INFO("{} - Image Bin Grid : {} x {}", prefix, p.cols, p.rows);
}

// One record per keypoint and pyramid level, at the keypoint's level-0 and pyramid positions; the
// object points are set once the target geometry is known.
void appendKeyPointRecords(const std::vector<Lumetra::KeyPoint>& keyPoints, std::vector<TargetKeyPoint>& records) {
  std::size_t count = 0;
  for (const Lumetra::KeyPoint& k : keyPoints) count += k.descriptors.size();
  records.reserve(records.size() + count);
  for (const Lumetra::KeyPoint& k : keyPoints) {
    for (std::size_t l = 0; l < k.descriptors.size(); ++l) {
      records.push_back(makeTargetKeyPoint(k, l, Eigen::Vector2d(k.x0, k.y0), Eigen::Vector2d(k.x, k.y)));
    }
  }
}

// The pyramid of a training image or view is built from the image blurred with a 5 x 5 Gaussian
// of sigma 1.0, computed in floating point.
constexpr bool kBlurBeforePyramid = true;
constexpr std::int32_t kPyramidBlurKernelSize = 5;
constexpr double kPyramidBlurSigma = 1.0;
constexpr std::uint8_t kPyramidBlurFixedPoint = 0;

// Builds the blurred pyramid of the image and runs a new extractor with the parameters over it,
// inside the offset and, when one is given, through the homography.
std::unique_ptr<Lumetra::GridFeatureExtractor> detectKeyPoints(
    const Lumetra::ImageGray& image, Lumetra::ImagePyramid& pyramid,
    const Lumetra::GridFeatureExtractor::Parameters& parameters, const Eigen::Vector2i& offset,
    const Eigen::Matrix3d* homography) {
  pyramid.build(image, kBlurBeforePyramid, kPyramidBlurKernelSize, kPyramidBlurSigma, kPyramidBlurFixedPoint);
  std::unique_ptr<Lumetra::GridFeatureExtractor> extractor = Lumetra::GridFeatureExtractor::create();
  extractor->setParameters(parameters);
  extractor->configure(static_cast<std::int32_t>(image.width), static_cast<std::int32_t>(image.height), offset.x(),
                       offset.y());
  extractor->detect(pyramid, homography);
  return extractor;
}

}  // namespace

TargetKeyPoint makeTargetKeyPoint(const Lumetra::KeyPoint& keyPoint, std::size_t level,
                                  const Eigen::Vector2d& levelZeroPosition, const Eigen::Vector2d& position) {
  TargetKeyPoint record;
  record.levelZeroPosition = levelZeroPosition;
  record.position = position;
  record.objectPoint = Eigen::Vector2d(-1.0, -1.0);
  record.score = static_cast<float>(keyPoint.score);
  record.level = static_cast<std::int32_t>(level);
  record.descriptor = keyPoint.descriptors[level];
  return record;
}

ImageTargetTrainer::ImageTargetTrainer(const TrainingConfig& configuration, const CameraCalibration& calibration)
    : mConfiguration(configuration) {
  loadConfiguration();
  setCameraCalibration(calibration);
}

ImageTargetTrainer::~ImageTargetTrainer() = default;

void ImageTargetTrainer::loadConfiguration() {
  const TrainingConfig& c = mConfiguration;
  OBRIN_LOG_INFO("Image Target Trainer - Loading configuration ... ");
  mExtractorParameters.numCorners = static_cast<std::uint64_t>(static_cast<std::int64_t>(c.fastNumber.value));
  mExtractorParameters.threshold = c.fastThreshold.value;
  mExtractorParameters.cols = c.gridCol.value;
  mExtractorParameters.rows = c.gridRow.value;
  mPyramidLevels = static_cast<std::uint8_t>(c.pyramidLevel.value & 0xFF);
  mPyramidRatio = c.pyramidResizeRatio.value;
  if (c.trainingResolution.value.size() >= 2) {
    mTrainingResolution = Eigen::Vector2i(c.trainingResolution.value[0], c.trainingResolution.value[1]);
  }
  if (c.objectPhysicalWidth.value != 1.0 || c.objectPhysicalHeight.value != 1.0) mPhysicalSizeStatus = 1;

  mMvgExtractorParameters = mExtractorParameters;
  mMvgExtractorParameters.numCorners =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(c.mvgExtractorNumber.value));
  mMvgExtractorParameters.threshold = c.mvgExtractorThreshold.value;
  mMvgExtractorParameters.minDistance = static_cast<std::int8_t>(c.mvgExtractorMinDist.value & 0xFF);
  mMvgExtractorParameters.cols = c.mvgGridCol.value;
  mMvgExtractorParameters.rows = c.mvgGridRow.value;
  mMvgPyramidRatio = c.mvgExtractorPyramidRatio.value;
  mMvgPyramidLevels = static_cast<std::uint8_t>(c.mvgExtractorPyramidLevel.value & 0xFF);

  OBRIN_LOG_INFO("Image Target Trainer - Training image resolution is : {} x {}", mTrainingResolution.x(),
                 mTrainingResolution.y());
  OBRIN_LOG_INFO("Image Target Trainer - Object physical size : {} x {}", c.objectPhysicalWidth.value,
                 c.objectPhysicalHeight.value);
  logExtractorSettings("Image Target Trainer", mExtractorParameters, mPyramidLevels, mPyramidRatio);
  if (c.mvgEnabled.value) {
    logExtractorSettings("Image Target Trainer (MVG)", mMvgExtractorParameters, mMvgPyramidLevels, mMvgPyramidRatio);
  }
  OBRIN_LOG_INFO("Image Target Trainer - Loading configuration : Success.");
}

void ImageTargetTrainer::setCameraCalibration(const CameraCalibration& calibration) {
  mCamera = calibration;
  OBRIN_LOG_INFO("Image Target Trainer - Loading camera calibration : Success. ");
}

float ImageTargetTrainer::computeTrackabilityScore(const std::vector<Lumetra::KeyPoint>& keyPoints) const {
  const std::int32_t cols = mConfiguration.gridCol.value;
  const std::int32_t rows = mConfiguration.gridRow.value;
  if (cols < 1 || rows < 1) return 0.0f;
  const double W = mTrainingResolution.x();
  const double H = mTrainingResolution.y();
  const double columnFactor = cols / (W - 2.0 * kBorder);
  const double rowFactor = rows / (H - 2.0 * kBorder);
  std::vector<std::int32_t> counts(static_cast<std::size_t>(cols) * static_cast<std::size_t>(rows), 0);
  for (const Lumetra::KeyPoint& k : keyPoints) {
    const double cx = std::trunc((k.x - kBorder) * columnFactor);
    const double cy = std::trunc((k.y - kBorder) * rowFactor);
    const std::int32_t column = static_cast<std::int32_t>(std::clamp(cx, 0.0, static_cast<double>(cols - 1)));
    const std::int32_t row = static_cast<std::int32_t>(std::clamp(cy, 0.0, static_cast<double>(rows - 1)));
    ++counts[static_cast<std::size_t>(row) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(column)];
  }
  const float cellCount = static_cast<float>(cols * rows);
  const float quota = static_cast<float>(mConfiguration.fastNumber.value) / cellCount;
  float sum = 0.0f;
  for (std::int32_t count : counts) sum += std::min(1.0f, static_cast<float>(count) / quota);
  return sum / cellCount;
}

void ImageTargetTrainer::computeTargetGeometry(const Eigen::Vector2d& physicalSize, const Eigen::Vector2d& imageSize,
                                               const Eigen::Vector2d& offset, TargetGeometry& geometry) const {
  geometry.fill(Eigen::Vector2d(-1.0, -1.0));
  const Eigen::Vector2d extent = imageSize - 2.0 * offset;
  const Eigen::Vector2d centrePixel = 0.5 * imageSize;
  const Eigen::Vector2d bottomRightPixel = offset + extent - Eigen::Vector2d(1.0, 1.0);
  const Eigen::Vector2d c = mCamera.undistortPixel(centrePixel);
  const Eigen::Vector2d t = mCamera.undistortPixel(offset);
  const Eigen::Vector2d b = mCamera.undistortPixel(bottomRightPixel);
  const Eigen::Vector2d size = mPhysicalSizeStatus == 1 ? physicalSize : Eigen::Vector2d(1.0, extent.y() / extent.x());
  const Eigen::Vector2d factor = size.cwiseQuotient(b - t);
  geometry[0] = (t - c).cwiseProduct(factor);
  geometry[1] = (b - c).cwiseProduct(factor);
  geometry[2] = c;
  geometry[3] = factor;
}

void ImageTargetTrainer::computeObjectPoints(const TargetGeometry& geometry, ImageTargetDetectableData& data) const {
  for (TargetKeyPoint& k : data.mKeyPoints) {
    k.objectPoint = (mCamera.undistortPixel(k.levelZeroPosition) - geometry[2]).cwiseProduct(geometry[3]);
  }
}

bool ImageTargetTrainer::getCornerCorrespondences(const TargetGeometry& geometry, const Eigen::Vector2i& offset,
                                                  std::vector<Eigen::Vector3d>& objectPoints,
                                                  std::vector<Eigen::Vector2d>& imagePoints) const {
  const Eigen::Vector2d& lt = geometry[0];
  const Eigen::Vector2d& rb = geometry[1];
  const Eigen::Vector2d& f = geometry[3];
  objectPoints = {Eigen::Vector3d(lt.x(), lt.y(), 0.0), Eigen::Vector3d(rb.x(), lt.y(), 0.0),
                  Eigen::Vector3d(rb.x(), rb.y(), 0.0), Eigen::Vector3d(lt.x(), rb.y(), 0.0)};
  for (Eigen::Vector3d& p : objectPoints) {
    p.x() /= f.x();
    p.y() /= f.y();
  }
  const double W = mTrainingResolution.x();
  const double H = mTrainingResolution.y();
  imagePoints = {Eigen::Vector2d(0.0, 0.0), Eigen::Vector2d(W - 1.0, 0.0), Eigen::Vector2d(W - 1.0, H - 1.0),
                 Eigen::Vector2d(0.0, H - 1.0)};
  const Eigen::Vector2d o = offset.cast<double>();
  if (mPaddingStatus == Padding::AboveBelow) {
    imagePoints[0] += o;
    imagePoints[1] += o;
    imagePoints[2] -= o;
    imagePoints[3] -= o;
  } else if (mPaddingStatus == Padding::LeftRight) {
    imagePoints[0] += o;
    imagePoints[3] += o;
    imagePoints[1] -= o;
    imagePoints[2] -= o;
  } else if (mPaddingStatus != Padding::None) {
    OBRIN_LOG_ERROR("Image Target Trainer - Adaptive image padding was assigned wrong.");
    return false;
  }
  return true;
}

bool ImageTargetTrainer::generateHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                                         Lumetra::ImageRGB& heatMap, Lumetra::ImageRGB& overlay) const {
  return Obrin::generateHeatmap(image, points, heatMap, overlay);
}

std::vector<Lumetra::KeyPoint>& ImageTargetTrainer::extractMvgKeyPoints(std::vector<Lumetra::KeyPoint>& out,
                                                                        const Lumetra::ImageGray& view,
                                                                        const Eigen::Matrix3d* homography) const {
  out = extractViewKeyPoints(view, homography, mMvgExtractorParameters);
  return out;
}

std::vector<Lumetra::KeyPoint> ImageTargetTrainer::extractViewKeyPoints(
    const Lumetra::ImageGray& view, const Eigen::Matrix3d* homography,
    const Lumetra::GridFeatureExtractor::Parameters& parameters) const {
  Lumetra::ImagePyramid pyramid(mMvgPyramidLevels, mMvgPyramidRatio);
  return detectKeyPoints(view, pyramid, parameters, Eigen::Vector2i(0, 0), homography)->keyPoints();
}

bool ImageTargetTrainer::train(const std::string& picturePath, const std::string& targetName) {
  OBRIN_LOG_INFO("Image Target Trainer - Start image target training.");
  mReasons.clear();
  Lumetra::ImageGray picture;
  Lumetra::ImageGray adapted;
  {
    PROFILE_BLOCK("Preparing Images");
    if (!prepareImages(picturePath, picture, adapted)) return false;
  }
  {
    PROFILE_BLOCK("Set camera");
    setTrainingCamera();
  }
  TargetGeometry geometry;
  computeTargetGeometry(mWorkingPhysicalSize, Eigen::Vector2d(adapted.width, adapted.height),
                        mPictureOffset.cast<double>(), geometry);
  auto data = std::make_unique<ImageTargetDetectableData>();
  if (!geometryIsUsable(geometry)) return false;
  data->mTargetName = targetName;
  Lumetra::ImagePyramid pyramid(mPyramidLevels, mPyramidRatio);
  const auto trainFromPicture = [&] { addPictureKeyPoints(adapted, pyramid, *data); };
  if (!mConfiguration.mvgEnabled.value) {
    trainFromPicture();
  } else {
    // The picture's own keypoints are extracted on a thread of their own while the synthetic
    // views are drawn here (where the OpenGL context is); they come first in the target.
    std::future<void> own;
    try {
      own = std::async(std::launch::async, trainFromPicture);
    } catch (const std::system_error&) {
      trainFromPicture();
    }
    ImageTargetDetectableData synthetic;
    {
      PROFILE_BLOCK("MVG training");
      addSyntheticViews(adapted, geometry, synthetic);
    }
    if (own.valid()) own.get();
    data->mKeyPoints.insert(data->mKeyPoints.end(), synthetic.mKeyPoints.begin(), synthetic.mKeyPoints.end());
    if (mConfiguration.mvgExtractorNumber.value == 0) {
      mReasons.push_back("MVGTrainer.Extractor.Number is 0, so the synthetic views added no keypoints; raise it to "
                         "train the target for views at an angle");
    }
  }
  {
    PROFILE_BLOCK("Set object size information");
    computeObjectPoints(geometry, *data);
    const auto infinite = [](const TargetKeyPoint& k) { return !k.objectPoint.allFinite(); };
    if (std::any_of(data->mKeyPoints.begin(), data->mKeyPoints.end(), infinite)) {
      mReasons.push_back(geometryReason("give keypoint positions on the target that are not finite", geometry));
      return false;
    }
    setObjectSize(picture, geometry, *data);
  }
  if (data->mKeyPoints.empty()) {
    mReasons.push_back(fmt::format("{}: no keypoints were found in the picture (it is plain, or too small for corners "
                                   "at Image.FAST.Threshold {}), so the target cannot be tracked; give a picture with "
                                   "more detail and contrast",
                                   picturePath, mConfiguration.fastThreshold.value));
  }
  OBRIN_LOG_INFO("Image Target Trainer - Totally, {} keypoints were trained from {}.", data->mKeyPoints.size(),
                 picturePath);
  mTargets.emplace(targetName, std::move(data));
  OBRIN_LOG_INFO("Image Target Trainer - Image target training : Success.");
  return true;
}

std::string ImageTargetTrainer::geometryReason(const std::string& what, const TargetGeometry& geometry) const {
  return fmt::format("Object.Physical.Width {} and Object.Physical.Height {} with the camera's focal lengths {} and {} "
                     "{} (scale {} x {}); give the physical size in metres and the calibration's FocalLength in "
                     "pixels",
                     mConfiguration.objectPhysicalWidth.value, mConfiguration.objectPhysicalHeight.value,
                     mCamera.mFocalLength.x(), mCamera.mFocalLength.y(), what, geometry[3].x(), geometry[3].y());
}

bool ImageTargetTrainer::geometryIsUsable(const TargetGeometry& geometry) {
  const auto finite = [](const Eigen::Vector2d& v) { return v.allFinite(); };
  const bool allFinite = std::all_of(geometry.begin(), geometry.end(), finite);
  const Eigen::Vector2d extent = geometry[1] - geometry[0];
  if (allFinite && geometry[3].x() != 0.0 && geometry[3].y() != 0.0 && extent.x() != 0.0 && extent.y() != 0.0) {
    return true;
  }
  OBRIN_LOG_ERROR("Image Target Trainer - The target geometry is not finite and non-zero.");
  mReasons.push_back(geometryReason("give a target geometry that is not finite and non-zero", geometry));
  return false;
}

void ImageTargetTrainer::setTrainingCamera() {
  mCamera.setPinhole(mTrainingResolution.x(), mTrainingResolution.y(), mCamera.mFocalLength.x(),
                     mCamera.mFocalLength.y(), 0.5 * mTrainingResolution.x(), 0.5 * mTrainingResolution.y());
}

void ImageTargetTrainer::addPictureKeyPoints(const Lumetra::ImageGray& adapted, Lumetra::ImagePyramid& pyramid,
                                             ImageTargetDetectableData& data) {
  {
    PROFILE_BLOCK("Multi-scale corner extraction");
    mExtractor = detectKeyPoints(adapted, pyramid, mExtractorParameters, mPictureOffset, nullptr);
  }
  {
    PROFILE_BLOCK("Score Estimation");
    mTrackabilityScore = computeTrackabilityScore(mExtractor->keyPoints());
    OBRIN_LOG_INFO("Image Target Trainer - Trackability score is {}", mTrackabilityScore);
    OBRIN_LOG_INFO("Image Target Trainer - Detectability score is not supported yet.");
  }
  {
    PROFILE_BLOCK("Adding target data");
    data.mImages = pyramid.levels;
    appendKeyPointRecords(mExtractor->keyPoints(), data.mKeyPoints);
  }
  PROFILE_BLOCK("Generating Heatmap");
  makeHeatmap(adapted, data.mKeyPoints);
}

void ImageTargetTrainer::makeHeatmap(const Lumetra::ImageGray& adapted, const std::vector<TargetKeyPoint>& records) {
  std::vector<Eigen::Vector2i> points;
  points.reserve(records.size());
  for (const TargetKeyPoint& k : records) {
    points.emplace_back(static_cast<std::int32_t>(std::trunc(k.levelZeroPosition.x())),
                        static_cast<std::int32_t>(std::trunc(k.levelZeroPosition.y())));
  }
  Lumetra::ImageRGB heatMap;
  Lumetra::ImageRGB overlay;
  if (generateHeatmap(adapted, points, heatMap, overlay)) {
    mHeatMapImage = heatMap;
    mOverlayImage = overlay;
  }
}

void ImageTargetTrainer::addSyntheticViews(const Lumetra::ImageGray& adapted, const TargetGeometry& geometry,
                                           ImageTargetDetectableData& data) {
  if (trainMVG(adapted, mPictureOffset, geometry, data)) {
    OBRIN_LOG_INFO("Image Target Trainer (MVG) - keypoints generation success.");
    return;
  }
  OBRIN_LOG_ERROR("Image Target Trainer (MVG) - Failed to generate synthetic keypoints from MVG.");
  mReasons.push_back("The multiple view generator was skipped (" + mMvgFailure +
                     "); the target was trained without synthetic views");
}

void ImageTargetTrainer::setObjectSize(const Lumetra::ImageGray& picture, const TargetGeometry& geometry,
                                       ImageTargetDetectableData& data) const {
  // The stored size follows the working (possibly turned) orientation, like the stored image.
  const double pw = mWorkingPhysicalSize.x();
  const double ph = mWorkingPhysicalSize.y();
  const double w = picture.width;
  const double h = picture.height;
  const double levelToTraining = w > h ? w / mTrainingResolution.x() : h / mTrainingResolution.y();
  const double s = 2.0 * levelToTraining * (pw / w);
  data.mTargetPhysicalSize = Eigen::Vector2d(pw + mPictureOffset.x() * s, ph + mPictureOffset.y() * s);
  data.mReservedTail = 0;
  data.mCamera = mCamera;
  data.mTargetLeftTopObjPoint = geometry[0];
  data.mTargetRightBottomObjPoint = geometry[1];
  data.mTargetCenter = geometry[2];
  data.mFactorFromImageToPhysics = geometry[3];
  data.mTrackabilityScore = mTrackabilityScore;
  data.mDetectabilityScore = mDetectabilityScore;
}

bool ImageTargetTrainer::saveTarget(const std::string& targetName, const std::string& outputDirectory) const {
  const auto it = mTargets.find(targetName);
  if (it == mTargets.end() || !it->second) {
    OBRIN_LOG_ERROR("Image Target Trainer - Failed to load a target.");
    return false;
  }
  return saveImageTargetFiles(outputDirectory, *it->second);
}

const ImageTargetDetectableData* ImageTargetTrainer::getTarget(const std::string& targetName) const {
  const auto it = mTargets.find(targetName);
  return it == mTargets.end() ? nullptr : it->second.get();
}

}  // namespace Obrin
