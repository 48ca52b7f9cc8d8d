#pragma once
// The trained result of one target, held until it is written to its target folder: the base
// `Target` (name and physical size) and the detectable data of image and QR-code targets.
#include "Image/Image.h"
#include "app/CameraCalibration.h"

#include <Eigen/Core>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Obrin {

/// Type ids reported by `Target::getType`.
constexpr std::uint64_t kPlainTargetType = 0;
constexpr std::uint64_t kImageTargetType = 1;
constexpr std::uint64_t kQRCodeTargetType = 2;

class Target {
 public:
  Target() = default;
  virtual ~Target() = default;

  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  virtual std::uint64_t getType() const { return kPlainTargetType; }

  /// Leading word of the record; no operation gives it another value.
  std::uint64_t mReservedHead = 0;
  std::string mTargetName = "unknown";
  /// Physical width and height of the whole target image, in the configuration's unit.
  Eigen::Vector2d mTargetPhysicalSize = Eigen::Vector2d::Zero();
  /// Trailing word of the record; the trainers set it to 0 and nothing reads it.
  std::uint64_t mReservedTail = 0;
};

/// One trained keypoint on one pyramid level where it has a descriptor.
struct TargetKeyPoint {
  static constexpr std::size_t kDescriptorBytes = 32;

  /// Position on pyramid level 0, in pixels of the training image.
  Eigen::Vector2d levelZeroPosition = Eigen::Vector2d::Zero();
  /// Position on the level where the keypoint was detected.
  Eigen::Vector2d position = Eigen::Vector2d::Zero();
  /// Position on the target plane in physical units, relative to the target centre;
  /// (-1, -1) until the physical size is known.
  Eigen::Vector2d objectPoint = Eigen::Vector2d(-1.0, -1.0);
  float score = 0.0f;
  /// Index of the descriptor within the keypoint's descriptor list (0 = level 0).
  std::int32_t level = 0;
  std::array<std::uint8_t, kDescriptorBytes> descriptor{};
};

struct ImageTargetDetectableData : public Target {
  ImageTargetDetectableData();
  ~ImageTargetDetectableData() override = default;

  std::uint64_t getType() const override { return kImageTargetType; }

  /// Object-plane position of the picture's top-left pixel, relative to the centre.
  Eigen::Vector2d mTargetLeftTopObjPoint = Eigen::Vector2d::Zero();
  /// Undistorted normalised camera coordinates of the training image's centre.
  Eigen::Vector2d mTargetCenter = Eigen::Vector2d::Zero();
  /// Per-axis factor from undistorted normalised coordinates to physical units.
  Eigen::Vector2d mFactorFromImageToPhysics = Eigen::Vector2d::Zero();
  /// Object-plane position of the picture's bottom-right pixel, relative to the centre.
  Eigen::Vector2d mTargetRightBottomObjPoint = Eigen::Vector2d::Zero();
  std::vector<TargetKeyPoint> mKeyPoints;
  /// The levels of the training pyramid, level 0 first.
  std::vector<Lumetra::ImageGray> mImages;
  /// The training camera.
  CameraCalibration mCamera;
  float mTrackabilityScore = 0.0f;
  /// Not computed; stays 0.
  float mDetectabilityScore = 0.0f;
};

struct QRCodeTargetDetectableData : public Target {
  static constexpr std::uint32_t kDefaultPixelPerBlock = 15;

  QRCodeTargetDetectableData() = default;
  ~QRCodeTargetDetectableData() override = default;

  std::uint64_t getType() const override { return kQRCodeTargetType; }

  /// The drawn code, black modules on white, no quiet zone.
  Lumetra::ImageGray mQRCodeImage;
  /// Pixels per module of `mQRCodeImage`.
  std::uint32_t mPixelPerBlock = kDefaultPixelPerBlock;
};

}  // namespace Obrin
