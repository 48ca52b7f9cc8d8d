#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include "Core/FileKind.h"
#include "Core/Log.h"
#include "Image/ImageIO.h"

#include <fmt/format.h>

#include <cmath>
#include <filesystem>
#include <system_error>
#include <utility>

namespace Obrin {

namespace {

constexpr double kAspectTolerance = 0.02;

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

}  // namespace

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

}  // namespace Obrin
