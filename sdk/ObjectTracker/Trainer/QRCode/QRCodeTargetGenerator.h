#pragma once
// QR-code targets: the target's name encoded as a QR code of version 2 at error-correction level
// M (mask 0), drawn with a configured number of pixels per module, with its physical size. The
// target folder receives "PALOM_QRCODE_TARGET_CONFIG.json" and "PALOM_QRCODE_TARGET_IMG.png".
#include "ObjectTracker/Trainer/Image/TargetData.h"
#include "app/Configs.h"

#include <qrcodegen/qrcodegen.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace Obrin {

class QRCodeTargetGenerator {
 public:
  /// Longest name the generator accepts at all; names in byte mode must also fit version 2-M
  /// (26 characters), which the encoder decides.
  static constexpr std::size_t kMaxNameLength = 38;
  /// The fixed QR code version (25 x 25 modules).
  static constexpr int kQRCodeVersion = 2;
  /// Longest side of the drawn picture, in pixels: bounds the memory that drawing, writing and
  /// checking the picture take.
  static constexpr std::int64_t kMaxPictureSide = 16384;

  /// The "Configuration Error: " line for settings that describe no real QR code (a physical
  /// size that is not finite and positive), or the empty text.
  static std::string checkConfiguration(const TrainingConfig& config);

  /// Reads QRCode.Pattern.PixelSize and QRCode.PhysicalSize from the configuration, which must
  /// outlive the generator.
  explicit QRCodeTargetGenerator(const TrainingConfig* config);

  /// Encodes and draws the target. False, with the target not created (or an earlier one of the
  /// same name left unchanged), when the name is longer than 38 characters, does not fit a
  /// version-2 code at level M, or the configured pixel size cannot be drawn. Never throws.
  bool run(const std::string& targetName);

  /// Writes the files of a target made by `run`. False for a name that was never made, an empty
  /// output directory, or a failure to write (see `saveQRCodeTargetFiles`).
  bool saveTarget(const std::string& targetName, const std::filesystem::path& outputDirectory) const;

  /// Why the last `run` failed, in a user's words; empty after a success.
  const std::string& failure() const { return mFailure; }

  /// The target made under the name, or null.
  const QRCodeTargetDetectableData* getTarget(const std::string& targetName) const;

 private:
  const TrainingConfig* mConfig;
  std::map<std::string, std::unique_ptr<QRCodeTargetDetectableData>> mTargets;
  std::string mFailure;
};

/// An 8-bit image of side n * p, black (0) for dark modules and white (255) for light ones, each
/// module a p x p square with its top-left at (x * p, y * p); no quiet zone. The empty image for
/// p or n below 1.
Lumetra::ImageGray drawQRCode(const qrcodegen::QrCode& code, std::int32_t pixelsPerModule, std::int32_t moduleCount);

/// Writes the JSON description and the PNG picture into output directory / ("PALOM_" + name).
/// Both files are written completely under temporary names (the picture is read back and
/// compared) before they replace earlier ones. False, with earlier files unchanged, for an empty
/// output directory, a target without picture, a folder that cannot be made or a failed write.
/// Never throws.
bool saveQRCodeTargetFiles(const std::filesystem::path& outputDirectory, const QRCodeTargetDetectableData& data);

}  // namespace Obrin
