#include "ObjectTracker/Trainer/QRCode/QRCodeTargetGenerator.h"

#include "Core/AtomicFile.h"
#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Image/ImageIO.h"
#include "app/Constants.h"

#include <cereal/archives/json.hpp>
#include <cereal/cereal.hpp>

#include <fmt/format.h>

#include <cmath>
#include <exception>
#include <sstream>
#include <vector>

namespace Obrin {

namespace fs = std::filesystem;
using Lumetra::writeBytes;

namespace {

constexpr std::uint8_t kPngFlipOnWrite = 0;
constexpr std::uint32_t kPngQuality = 80;

struct QRCodeTargetDescription {
  const QRCodeTargetDetectableData& data;

  template <class Archive>
  void save(Archive& archive) const {
    archive(cereal::make_nvp("Version", static_cast<int>(QRCodeTargetGenerator::kQRCodeVersion)),
            cereal::make_nvp("Target Name", data.mTargetName),
            cereal::make_nvp("Target Width (m)", data.mTargetPhysicalSize(0)),
            cereal::make_nvp("Target Height (m)", data.mTargetPhysicalSize(1)),
            cereal::make_nvp("Pixel per Block", data.mPixelPerBlock));
  }
};

std::string configJson(const QRCodeTargetDetectableData& data) {
  std::ostringstream stream;
  {
    cereal::JSONOutputArchive archive(stream);
    archive(QRCodeTargetDescription{data});
  }
  return stream.str();
}

/// The picture writer does not notice a short write, so the file is decoded again and compared.
bool writeAndVerifyPicture(const Lumetra::ImageGray& image, const fs::path& path) {
  if (!Lumetra::saveImage(image, path.string(), kPngFlipOnWrite, kPngQuality)) return false;
  const Lumetra::ImageGray written = Lumetra::loadImage(path.string(), false);
  if (written.width != image.width || written.height != image.height) return false;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      if (written.at(x, y) != image.at(x, y)) return false;
    }
  }
  return true;
}

// Names in byte mode (any lower-case letter or '_') fit version 2 at level M up to this length.
constexpr std::size_t kByteModeLength = 26;

std::string tooLongReason(const std::string& targetName) {
  return fmt::format(
      "Target name \"{}\" has {} characters, more than a version-{} QR code holds ({} with lower-case letters or "
      "'_', {} otherwise); a batch appends \"_00000\", which leaves {} characters for Batch.Target.Name",
      targetName, targetName.size(), QRCodeTargetGenerator::kQRCodeVersion, kByteModeLength,
      QRCodeTargetGenerator::kMaxNameLength, kByteModeLength - 6);
}

// The name encoded at the fixed version and level M and drawn with the pixel size; the empty image,
// with `failure` saying why, when the name does not fit or the picture cannot be drawn.
Lumetra::ImageGray drawName(const std::string& targetName, std::int32_t pixelsPerModule, std::string& failure) {
  constexpr std::int32_t version = QRCodeTargetGenerator::kQRCodeVersion;
  std::vector<qrcodegen::QrSegment> segments = qrcodegen::QrSegment::makeSegments(targetName.c_str());
  std::unique_ptr<qrcodegen::QrCode> code;
  try {
    code = std::make_unique<qrcodegen::QrCode>(
        qrcodegen::QrCode::encodeSegments(segments, qrcodegen::QrCode::Ecc::MEDIUM, version, version, 0, false));
  } catch (const qrcodegen::data_too_long& e) {
    OBRIN_LOG_ERROR("Target name {} does not fit a version {} QRCode: {}", targetName, version, e.what());
    failure = tooLongReason(targetName);
    return Lumetra::ImageGray();
  }
  const std::int32_t moduleCount = code->getSize();
  constexpr std::int64_t maxSide = QRCodeTargetGenerator::kMaxPictureSide;
  const std::int64_t maxPixelSize = maxSide / moduleCount;
  if (pixelsPerModule < 1 || pixelsPerModule > maxPixelSize) {
    OBRIN_LOG_ERROR("QRCode pixel size per pattern {} cannot be drawn", pixelsPerModule);
    failure = fmt::format("QRCode.Pattern.PixelSize {} must be from 1 to {} (the {} modules of the code make a "
                          "picture of at most {} pixels a side)",
                          pixelsPerModule, maxPixelSize, moduleCount, maxSide);
    return Lumetra::ImageGray();
  }
  Lumetra::ImageGray image = drawQRCode(*code, pixelsPerModule, moduleCount);
  if (image.isEmpty()) failure = "the QR code picture could not be drawn";
  return image;
}

}  // namespace

QRCodeTargetGenerator::QRCodeTargetGenerator(const TrainingConfig* config) : mConfig(config) {}

const QRCodeTargetDetectableData* QRCodeTargetGenerator::getTarget(const std::string& targetName) const {
  const auto found = mTargets.find(targetName);
  return found == mTargets.end() ? nullptr : found->second.get();
}

std::string QRCodeTargetGenerator::checkConfiguration(const TrainingConfig& config) {
  const double size = config.qrPhysicalSize.value;
  if (!(std::isfinite(size) && size > 0.0)) {
    return fmt::format("Configuration Error: QRCode.PhysicalSize {} must be finite and positive", size);
  }
  // A code of the fixed version has 17 + 4 x version modules a side.
  constexpr std::int64_t moduleCount = 17 + 4 * kQRCodeVersion;
  const std::int32_t pixels = config.qrPatternPixelSize.value;
  if (pixels < 1 || pixels > kMaxPictureSide / moduleCount) {
    return fmt::format("Configuration Error: QRCode.Pattern.PixelSize {} must be from 1 to {} (the {} modules of the "
                       "code make a picture of at most {} pixels a side)",
                       pixels, kMaxPictureSide / moduleCount, moduleCount, kMaxPictureSide);
  }
  return std::string();
}

bool QRCodeTargetGenerator::run(const std::string& targetName) {
  mFailure.clear();
  try {
    OBRIN_LOG_INFO("Start QRCode target generation.");
    if (mConfig == nullptr) return false;

    // An existing target of the name is updated only once the new code has been made.
    const auto existing = mTargets.find(targetName);
    const bool overwrite = existing != mTargets.end() && existing->second != nullptr;
    if (overwrite) OBRIN_LOG_INFO("Overwrite the existing QRCode target.");

    const std::int32_t pixelsPerModule = mConfig->qrPatternPixelSize.value;
    const double physicalSize = mConfig->qrPhysicalSize.value;
    OBRIN_LOG_INFO("QRCode encode string (same as input target name) : {}", targetName);
    OBRIN_LOG_INFO("QRCode encode version (constant variable) : {}", kQRCodeVersion);
    OBRIN_LOG_INFO("QRCode pixel size per pattern : {}", pixelsPerModule);
    OBRIN_LOG_INFO("QRCode physical size : {}", physicalSize);

    if (targetName.size() > kMaxNameLength) {
      OBRIN_LOG_ERROR("Target name is too long, please rename your target name under {} character length.",
                      kMaxNameLength);
      mFailure = tooLongReason(targetName);
      return false;
    }

    PROFILE_BLOCK("Obrin::QRCodeTargetGenerator::run");
    const Lumetra::ImageGray image = drawName(targetName, pixelsPerModule, mFailure);
    if (image.isEmpty()) return false;

    std::unique_ptr<QRCodeTargetDetectableData> created;
    QRCodeTargetDetectableData* data = nullptr;
    if (overwrite) {
      data = existing->second.get();
    } else {
      created = std::make_unique<QRCodeTargetDetectableData>();
      data = created.get();
    }
    data->mTargetName = targetName;
    data->mQRCodeImage = image;
    data->mTargetPhysicalSize = Eigen::Vector2d(physicalSize, physicalSize);
    // The picture is drawn with the configured pixel size, and the description says so.
    data->mPixelPerBlock = static_cast<std::uint32_t>(pixelsPerModule);
    data->mReservedTail = 0;
    if (created) mTargets[targetName] = std::move(created);

    OBRIN_LOG_INFO("QRCode image output resolution : {} x {}", image.width, image.height);
    OBRIN_LOG_INFO("QRCode target generation : Success.");
    return true;
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("QRCode target generation failed: {}", e.what());
    mFailure = std::string("QR code generation failed: ") + e.what();
    return false;
  }
}

bool QRCodeTargetGenerator::saveTarget(const std::string& targetName, const fs::path& outputDirectory) const {
  const QRCodeTargetDetectableData* data = getTarget(targetName);
  if (data == nullptr) {
    OBRIN_LOG_ERROR("Failed to save a target.");
    return false;
  }
  return saveQRCodeTargetFiles(outputDirectory, *data);
}

Lumetra::ImageGray drawQRCode(const qrcodegen::QrCode& code, std::int32_t pixelsPerModule, std::int32_t moduleCount) {
  if (pixelsPerModule < 1 || moduleCount < 1) return Lumetra::ImageGray();
  const std::uint32_t p = static_cast<std::uint32_t>(pixelsPerModule);
  const std::uint32_t n = static_cast<std::uint32_t>(moduleCount);
  const std::uint32_t side = n * p;
  Lumetra::ImageGray image(Lumetra::Vec2u(side, side), Lumetra::Gray8{{0}});
  for (std::uint32_t y = 0; y < n; ++y) {
    for (std::uint32_t x = 0; x < n; ++x) {
      if (code.getModule(static_cast<int>(x), static_cast<int>(y))) continue;  // dark stays black
      if ((x + 1) * p > side || (y + 1) * p > side) continue;
      for (std::uint32_t row = y * p; row < (y + 1) * p; ++row) {
        Lumetra::Gray8* pixels = image.row(row) + x * p;
        std::fill(pixels, pixels + p, Lumetra::Gray8{{255}});
      }
    }
  }
  return image;
}

bool saveQRCodeTargetFiles(const fs::path& outputDirectory, const QRCodeTargetDetectableData& data) {
  try {
    if (outputDirectory.empty()) return false;
    if (data.mQRCodeImage.isEmpty()) {
      OBRIN_LOG_ERROR("QRCode target {} has no picture to save", data.mTargetName);
      return false;
    }
    const std::string json = configJson(data);

    fs::path folder;
    if (!targetFolderPath(outputDirectory, data.mTargetName, folder)) return false;

    const Lumetra::ImageGray& image = data.mQRCodeImage;
    return Lumetra::writeTargetFiles(folder, {
        {QRCODE_TARGET_TAG + CONFIG_SUFFIX + JSON_EXTENSION,
         [&json](const fs::path& temporary) { return writeBytes(temporary, json); }},
        {QRCODE_TARGET_TAG + IMG_SUFFIX + PNG_EXTENSION,
         [&image](const fs::path& temporary) { return writeAndVerifyPicture(image, temporary); }},
    });
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to save QRCode target {}: {}", data.mTargetName, e.what());
    return false;
  }
}

}  // namespace Obrin
