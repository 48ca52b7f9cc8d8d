#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include "Core/FileKind.h"
#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Image/GaussianBlur.h"
#include "Image/ImageIO.h"
#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"
#include "ObjectTracker/Trainer/Image/ImageTargetFiles.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <system_error>
#include <limits>
#include <tuple>

namespace Obrin {

namespace {

// Keypoints are searched this far inside the training image; the score's grid covers the rest.
constexpr double kBorder = 15.0;
constexpr double kAspectTolerance = 0.02;

// Pixels of all pyramid levels over the pixels of level 0: the levels shrink by the ratio on each
// side and stop below 5 pixels on a side.
double pyramidFactor(std::int64_t levels, double ratio, double width, double height) {
  double factor = 0.0;
  double scale = 1.0;
  for (std::int64_t l = 0; l < levels && width * scale >= 5.0 && height * scale >= 5.0; ++l) {
    factor += scale * scale;
    scale *= ratio;
  }
  return factor;
}

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

// A pyramid of 1 to 255 levels, each level smaller than the one below it.
std::string checkPyramid(const Parameter<std::int32_t>& levels, const Parameter<double>& ratio) {
  if (levels.value < 1 || levels.value > 255) {
    return fmt::format("Configuration Error: {} must be from 1 to 255 (it is {})", levels.key, levels.value);
  }
  if (!(ratio.value > 0.0 && ratio.value < 1.0)) {
    return fmt::format("Configuration Error: {} must lie between 0 and 1 (it is {})", ratio.key, ratio.value);
  }
  return std::string();
}

// The "Configuration Error: " line for a grid whose cells would be narrower than a pixel: the
// cells share the image less the border margin on each side.
std::string checkGrid(const Parameter<std::int32_t>& rows, const Parameter<std::int32_t>& cols, std::int64_t width,
                      std::int64_t height, const char* sizeKey) {
  const std::int64_t margin = 2 * static_cast<std::int64_t>(kBorder);
  for (const auto& [key, value, size, side] :
       {std::tuple(&rows.key, rows.value, height, "height"), std::tuple(&cols.key, cols.value, width, "width")}) {
    if (value < 1 || value > size - margin) {
      return fmt::format("Configuration Error: {} {} must be from 1 to {}: the grid divides the {} {} of {}, less {} "
                         "pixels on each side, into cells of at least one pixel",
                         *key, value, size - margin, side, size, sizeKey, margin / 2);
    }
  }
  return std::string();
}

// A part of the estimated peak memory of a training and the setting that drives it, with its value
// ("" for the training resolution, which every part grows with).
struct PeakPart {
  std::string setting;
  double bytes;
};

std::vector<PeakPart> peakParts(const TrainingConfig& c) {
  const auto& resolution = c.trainingResolution.value;
  const double w = resolution.size() >= 2 ? resolution[0] : 0.0;
  const double h = resolution.size() >= 2 ? resolution[1] : 0.0;
  const double pixels = w * h;
  // Bytes per keypoint record and level: the record, the extractor's keypoint and the file buffer.
  constexpr double kRecordBytes = 200.0;
  constexpr double kCellBytes = 100.0;
  // Keypoints of one pass: the configured number, and no more than one per free square of the
  // selection mask (side the minimum distance plus one).
  const auto keyPoints = [pixels](std::int64_t number, std::int64_t minDistance) {
    const double side = static_cast<double>(std::max<std::int64_t>(minDistance, 0) + 1);
    return std::min(static_cast<double>(std::max<std::int64_t>(number, 0)), pixels / (side * side));
  };
  const auto grid = [](const Parameter<std::int32_t>& rows, const Parameter<std::int32_t>& cols) {
    return fmt::format("{} {} and {} {}", rows.key, rows.value, cols.key, cols.value);
  };
  const auto number = [](const Parameter<std::int32_t>& p) { return fmt::format("{} {}", p.key, p.value); };
  const std::int64_t levels = c.pyramidLevel.value & 0xFF;
  const double pyramid = pyramidFactor(levels, c.pyramidResizeRatio.value, w, h);
  // Per pixel: the picture, the adapted image, the blur workspace, the mask, the heat map and its
  // images (about 16 bytes), and up to one corner of 12 bytes per pixel in every cell's list, the
  // selection and the descriptors' working copies; 2 bytes per pixel of every pyramid level.
  std::vector<PeakPart> parts = {
      {"", pixels * (48.0 + 2.0 * pyramid)},
      {grid(c.gridRow, c.gridCol), kCellBytes * c.gridRow.value * c.gridCol.value},
      {number(c.fastNumber),
       kRecordBytes * keyPoints(c.fastNumber.value, Lumetra::GridFeatureExtractor::Parameters().minDistance) *
           static_cast<double>(levels)}};
  if (c.mvgEnabled.value) {
    // The renderer's texture with its mipmaps, framebuffer, depth buffer and read-back, the
    // picture in colour; a few views in flight, each with its pyramid, blur workspace and mask.
    constexpr double kViewsInFlight = 4.0;
    constexpr double kMostViews = 193.0;
    const std::int64_t mvgLevels = c.mvgExtractorPyramidLevel.value & 0xFF;
    const double mvgPyramid = pyramidFactor(mvgLevels, c.mvgExtractorPyramidRatio.value, w, h);
    parts[0].bytes += pixels * (56.0 + kViewsInFlight * 1.5 * mvgPyramid);
    parts.push_back(
        {grid(c.mvgGridRow, c.mvgGridCol), kViewsInFlight * kCellBytes * c.mvgGridRow.value * c.mvgGridCol.value});
    parts.push_back({number(c.mvgExtractorNumber),
                     kMostViews * kRecordBytes * static_cast<double>(mvgLevels) *
                         keyPoints(c.mvgExtractorNumber.value,
                                   static_cast<std::int8_t>(c.mvgExtractorMinDist.value & 0xFF))});
  }
  return parts;
}

// Why a picture that gave no image cannot be trained: a missing file, or one that cannot be decoded.
std::string unreadablePictureReason(const std::string& picturePath) {
  const std::string kind = Lumetra::describeNonRegularFile(picturePath);
  if (!kind.empty()) return picturePath + " is " + kind + ", not a picture file; name a picture file instead";
  std::error_code error;
  if (!std::filesystem::is_regular_file(picturePath, error)) {
    return picturePath + ": no such picture file (paths are taken relative to the working directory)";
  }
  return picturePath +
         ": cannot be decoded as a PNG, JPEG, BMP, binary PGM or binary PPM picture (it is empty, damaged, of another "
         "format or too large); give a picture in one of these formats";
}

// What viewers show of a picture whose JPEG headers record an orientation other than upright: the
// pixels are trained as stored.
std::string turnedPictureNote(const std::string& picturePath, std::uint16_t orientation, std::uint32_t width,
                              std::uint32_t height) {
  static const char* const kShown[9] = {"",
                                        "",
                                        "mirrored left to right",
                                        "turned 180 degrees",
                                        "mirrored top to bottom",
                                        "mirrored across its diagonal",
                                        "turned 90 degrees clockwise",
                                        "mirrored across its other diagonal",
                                        "turned 90 degrees anticlockwise"};
  const bool across = orientation >= 5;
  return fmt::format("{} is used as its pixels are stored, {} x {}; its EXIF orientation {} has viewers show it {}, "
                     "as {} x {} (save it turned upright to train what viewers show)",
                     picturePath, width, height, orientation, kShown[orientation], across ? height : width,
                     across ? width : height);
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

Lumetra::ImageGray rotateClockwise(const Lumetra::ImageGray& picture) {
  Lumetra::ImageGray turned;
  const std::uint32_t w = picture.width;
  const std::uint32_t h = picture.height;
  turned.create(Lumetra::Vec2u(h, w));
  // New pixel (x', y') is old pixel (y', h - 1 - x').
  for (std::uint32_t yNew = 0; yNew < w; ++yNew) {
    Lumetra::Gray8* out = turned.row(yNew);
    for (std::uint32_t xNew = 0; xNew < h; ++xNew) out[xNew] = picture.at(yNew, h - 1 - xNew);
  }
  return turned;
}

std::string ImageTargetTrainer::checkConfiguration(const TrainingConfig& c) {
  const auto& resolution = c.trainingResolution.value;
  if (resolution.size() < 2) return "Configuration Error: Image.Training.Resolution needs a width and a height";
  const std::int64_t w = resolution[0];
  const std::int64_t h = resolution[1];
  const std::int64_t margin = 2 * static_cast<std::int64_t>(kBorder);
  if (w <= margin || h <= margin) {
    // Each cell of the grids needs a pixel inside the margins.
    const bool mvg = c.mvgEnabled.value;
    const std::int64_t cols = std::max<std::int64_t>({1, c.gridCol.value, mvg ? c.mvgGridCol.value : 1});
    const std::int64_t rows = std::max<std::int64_t>({1, c.gridRow.value, mvg ? c.mvgGridRow.value : 1});
    return fmt::format("Configuration Error: Image.Training.Resolution [{}, {}] leaves no pixel inside the margins of "
                       "{} pixels on each side; the smallest size that works with these grids is [{}, {}]",
                       w, h, margin / 2, margin + cols, margin + rows);
  }
  if (w * h > std::numeric_limits<std::int32_t>::max()) {
    return fmt::format("Configuration Error: Image.Training.Resolution [{}, {}] is too large", w, h);
  }
  if (c.gridRow.value < 1 || c.gridCol.value < 1) {
    return fmt::format("Configuration Error: Image.Grid.Row and Image.Grid.Col must be at least 1 (they are {} and {})",
                       c.gridRow.value, c.gridCol.value);
  }
  std::string grid = checkGrid(c.gridRow, c.gridCol, w, h, "Image.Training.Resolution");
  if (grid.empty() && c.mvgEnabled.value) {
    grid = checkGrid(c.mvgGridRow, c.mvgGridCol, w, h, "the render size (Image.Training.Resolution)");
  }
  if (!grid.empty()) return grid;
  if (c.fastNumber.value < 1) {
    return fmt::format("Configuration Error: Image.FAST.Number must be at least 1 (it is {})", c.fastNumber.value);
  }
  if (c.mvgEnabled.value && c.mvgExtractorNumber.value < 0) {
    return fmt::format("Configuration Error: MVGTrainer.Extractor.Number must not be negative (it is {})",
                       c.mvgExtractorNumber.value);
  }
  for (const auto* threshold : {&c.fastThreshold, &c.mvgExtractorThreshold}) {
    if (threshold->value < 0 || threshold->value > 255) {
      return fmt::format("Configuration Error: {} must be from 0 to 255 (it is {})", threshold->key, threshold->value);
    }
  }
  std::string pyramid = checkPyramid(c.pyramidLevel, c.pyramidResizeRatio);
  // The views' pyramids grow without bound for a ratio of 1 or more.
  if (pyramid.empty() && c.mvgEnabled.value) {
    pyramid = checkPyramid(c.mvgExtractorPyramidLevel, c.mvgExtractorPyramidRatio);
  }
  if (!pyramid.empty()) return pyramid;
  const std::vector<PeakPart> parts = peakParts(c);
  double peak = 0.0;
  for (const PeakPart& part : parts) peak += part.bytes;
  if (peak > kMaxPeakBytes) {
    // The setting whose part of the estimate is largest is the one to lower.
    const PeakPart& largest = *std::max_element(
        parts.begin(), parts.end(), [](const PeakPart& a, const PeakPart& b) { return a.bytes < b.bytes; });
    const std::string size = fmt::format("Image.Training.Resolution [{}, {}]", w, h);
    const std::string others = c.mvgEnabled.value ? ", keypoint and multiple view" : " and keypoint";
    return fmt::format("Configuration Error: {} with {} settings needs about {:.1f} GiB, more than the {:.0f} GiB "
                       "allowed",
                       largest.setting.empty() ? size : largest.setting,
                       largest.setting.empty() ? "these pyramid, grid" + others : size + " and these other",
                       peak / (1024.0 * 1024 * 1024), kMaxPeakBytes / (1024.0 * 1024 * 1024));
  }
  const double pw = c.objectPhysicalWidth.value;
  const double ph = c.objectPhysicalHeight.value;
  if (!(pw > 0.0 && ph > 0.0 && std::isfinite(pw) && std::isfinite(ph))) {
    return fmt::format("Configuration Error: Object.Physical.Width and Object.Physical.Height must be finite and "
                       "positive (they are {} and {})",
                       pw, ph);
  }
  return std::string();
}

double ImageTargetTrainer::estimatePeakBytes(const TrainingConfig& c) {
  double bytes = 0.0;
  for (const PeakPart& part : peakParts(c)) bytes += part.bytes;
  return bytes;
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

bool ImageTargetTrainer::makeAdaptedImage(const Lumetra::ImageGray& picture, Lumetra::ImageGray& adapted,
                                          Eigen::Vector2i& offset, Padding& paddingStatus) const {
  const std::int32_t W = mTrainingResolution.x();
  const std::int32_t H = mTrainingResolution.y();
  const double w = picture.width;
  const double h = picture.height;
  Lumetra::ImageGray canvas(Lumetra::Vec2u(static_cast<std::uint32_t>(W), static_cast<std::uint32_t>(H)),
                            Lumetra::Gray8{{0}});
  // Fit the axis that makes the picture fill the canvas without being cut.
  bool fitWidth;
  if (w > h) {
    fitWidth = w / h >= static_cast<double>(W) / H;
  } else {
    fitWidth = !(h / w >= static_cast<double>(H) / W);
  }
  Eigen::Vector2i pad(0, 0);
  if (fitWidth) {
    const double scale = static_cast<double>(W) / w;
    pad.y() = H - static_cast<std::int32_t>(std::floor(scale * h));
  } else {
    const double scale = static_cast<double>(H) / h;
    pad.x() = W - static_cast<std::int32_t>(std::floor(scale * w));
  }
  const Eigen::Vector2i scaled(W - pad.x(), H - pad.y());
  offset = Eigen::Vector2i(pad.x() >> 1, pad.y() >> 1);
  if (offset.x() == 0 && offset.y() > 0) {
    paddingStatus = Padding::AboveBelow;
  } else if (offset.x() > 0 && offset.y() == 0) {
    paddingStatus = Padding::LeftRight;
  } else {
    paddingStatus = Padding::None;
  }
  if (scaled.x() < 1 || scaled.y() < 1) return false;
  Lumetra::ImageGray view =
      canvas.region(Lumetra::Vec2i(offset.x(), offset.y()),
                    Lumetra::Vec2u(static_cast<std::uint32_t>(scaled.x()), static_cast<std::uint32_t>(scaled.y())));
  const bool resized = Lumetra::resizeImage(picture, view);
  if (resized) adapted = canvas;
  return resized;
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

bool ImageTargetTrainer::prepareImages(const std::string& picturePath, Lumetra::ImageGray& picture,
                                       Lumetra::ImageGray& adapted) {
  // Only a regular file is read: opening a pipe without a writer never returns, and a device may
  // never end.
  std::error_code error;
  if (std::filesystem::is_regular_file(picturePath, error)) picture = Lumetra::loadImage(picturePath, false);
  const std::uint16_t orientation = picture.isEmpty() ? 1 : Lumetra::readJpegOrientation(picturePath);
  if (orientation != 1) mReasons.push_back(turnedPictureNote(picturePath, orientation, picture.width, picture.height));
  const Eigen::Vector2i pictureSize(static_cast<std::int32_t>(picture.width), static_cast<std::int32_t>(picture.height));
  mWorkingPhysicalSize =
      Eigen::Vector2d(mConfiguration.objectPhysicalWidth.value, mConfiguration.objectPhysicalHeight.value);
  if (picture.height > picture.width) {
    picture = rotateClockwise(picture);
    OBRIN_LOG_INFO("Image Target Trainer - Input image has been rotated 90 degree CW direction.");
    std::swap(mWorkingPhysicalSize.x(), mWorkingPhysicalSize.y());
  }
  if (!checkProportions(picture, pictureSize)) return false;
  if (picture.isEmpty()) {
    OBRIN_LOG_ERROR("Image Target Trainer - Failed to load a image from {}.", picturePath);
    mReasons.push_back(unreadablePictureReason(picturePath));
    return false;
  }
  return adaptPicture(picture, pictureSize, adapted);
}

bool ImageTargetTrainer::checkProportions(const Lumetra::ImageGray& picture, const Eigen::Vector2i& pictureSize) {
  const double physicalRatio = mWorkingPhysicalSize.x() / mWorkingPhysicalSize.y();
  const double pictureRatio = static_cast<double>(picture.width) / static_cast<double>(picture.height);
  if (!(std::abs(physicalRatio - pictureRatio) > kAspectTolerance)) return true;
  mPhysicalSizeStatus = 2;
  OBRIN_LOG_ERROR(
      "Image Target Trainer - Physical size was assigned wrong. Please check input configuration for the object "
      "size again. Aborting Training.");
  const double pw = mConfiguration.objectPhysicalWidth.value;
  const double ph = mConfiguration.objectPhysicalHeight.value;
  mReasons.push_back(fmt::format(
      "The picture is {} x {} pixels (width / height {:.4g}) but the physical size is {} x {} (width / height "
      "{:.4g}); set Object.Physical.Width and Object.Physical.Height in the picture's proportions (within 0.02)",
      pictureSize.x(), pictureSize.y(), static_cast<double>(pictureSize.x()) / pictureSize.y(), pw, ph, pw / ph));
  return false;
}

bool ImageTargetTrainer::adaptPicture(const Lumetra::ImageGray& picture, const Eigen::Vector2i& pictureSize,
                                      Lumetra::ImageGray& adapted) {
  Eigen::Vector2i offset(0, 0);
  if (static_cast<std::int64_t>(picture.width) == mTrainingResolution.x() &&
      static_cast<std::int64_t>(picture.height) == mTrainingResolution.y()) {
    adapted = picture;
    mPaddingStatus = Padding::None;
  } else if (!makeAdaptedImage(picture, adapted, offset, mPaddingStatus)) {
    OBRIN_LOG_ERROR("Image Target Trainer - Failed to generate adapted image.");
    mReasons.push_back(fmt::format("The {} x {} picture cannot be scaled into Image.Training.Resolution {} x {}",
                                   pictureSize.x(), pictureSize.y(), mTrainingResolution.x(),
                                   mTrainingResolution.y()));
    return false;
  }
  mPictureOffset = offset;
  return true;
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
