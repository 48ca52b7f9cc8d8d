#include "ObjectTracker/Trainer/Image/ImageTargetFiles.h"

#include "Core/AtomicFile.h"
#include "Core/Log.h"
#include "Core/MatrixArchive.h"
#include "app/Constants.h"

#include <cereal/archives/json.hpp>
#include <cereal/archives/portable_binary.hpp>
#include <cereal/cereal.hpp>

#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

namespace Obrin {

namespace fs = std::filesystem;
using Lumetra::saveMatrix;
using Lumetra::writeBytes;

namespace {

using BinaryArchive = cereal::PortableBinaryOutputArchive;

// The binary files are little-endian whatever the machine.
BinaryArchive::Options binaryOptions() { return BinaryArchive::Options::LittleEndian(); }

/// 112 bytes per record; the level is written before the score.
void saveKeyPoint(BinaryArchive& archive, const TargetKeyPoint& keyPoint) {
  saveMatrix(archive, keyPoint.levelZeroPosition);
  saveMatrix(archive, keyPoint.position);
  saveMatrix(archive, keyPoint.objectPoint);
  archive(keyPoint.level, keyPoint.score);
  archive(cereal::binary_data(keyPoint.descriptor.data(), keyPoint.descriptor.size()));
}

/// The description object of the JSON file, members in the order the tracking side reads them.
struct ImageTargetDescription {
  const ImageTargetDetectableData& data;

  template <class Archive>
  void save(Archive& archive) const {
    archive(cereal::make_nvp("mTargetName", data.mTargetName),
            cereal::make_nvp("mTargetPhysicalSize(0)", data.mTargetPhysicalSize(0)),
            cereal::make_nvp("mTargetPhysicalSize(1)", data.mTargetPhysicalSize(1)),
            cereal::make_nvp("mImages.size()", static_cast<std::uint64_t>(data.mImages.size())),
            cereal::make_nvp("mTargetLeftTopObjPoint(0)", data.mTargetLeftTopObjPoint(0)),
            cereal::make_nvp("mTargetLeftTopObjPoint(1)", data.mTargetLeftTopObjPoint(1)),
            cereal::make_nvp("mTargetRightBottomObjPoint(0)", data.mTargetRightBottomObjPoint(0)),
            cereal::make_nvp("mTargetRightBottomObjPoint(1)", data.mTargetRightBottomObjPoint(1)),
            cereal::make_nvp("mTargetCenter(0)", data.mTargetCenter(0)),
            cereal::make_nvp("mTargetCenter(1)", data.mTargetCenter(1)),
            cereal::make_nvp("mFactorFromImageToPhysics(0)", data.mFactorFromImageToPhysics(0)),
            cereal::make_nvp("mFactorFromImageToPhysics(1)", data.mFactorFromImageToPhysics(1)),
            cereal::make_nvp("mTrackabilityScore", static_cast<double>(data.mTrackabilityScore)),
            cereal::make_nvp("mDetectabilityScore", static_cast<double>(data.mDetectabilityScore)));
  }
};

std::string configJson(const ImageTargetDetectableData& data) {
  std::ostringstream stream;
  {
    cereal::JSONOutputArchive archive(stream);
    archive(ImageTargetDescription{data});
  }  // the archive closes its objects when it goes
  return stream.str();
}

std::string keyPointBytes(const std::vector<TargetKeyPoint>& keyPoints) {
  std::ostringstream stream(std::ios::binary);
  {
    BinaryArchive archive(stream, binaryOptions());
    archive(cereal::make_size_tag(static_cast<cereal::size_type>(keyPoints.size())));
    for (const TargetKeyPoint& keyPoint : keyPoints) saveKeyPoint(archive, keyPoint);
  }
  return stream.str();
}

std::string imageBytes(const Lumetra::ImageGray& image) {
  // The pixels of the image itself, row after row; a view is written packed, so its row size in
  // bytes is its width.
  const std::uint32_t width = image.width;
  const std::uint32_t height = image.height;
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    const Lumetra::uchar* row = image.row(y)->c;
    std::copy(row, row + width, pixels.begin() + static_cast<std::ptrdiff_t>(std::size_t(y) * width));
  }
  const std::uint32_t rowBytes = image.isView() ? width : image.rowBytes;

  std::ostringstream stream(std::ios::binary);
  {
    BinaryArchive archive(stream, binaryOptions());
    archive(static_cast<std::int32_t>(image.channels), rowBytes);
    saveMatrix(archive, Lumetra::Vec2u(width, height));
    archive(cereal::make_size_tag(static_cast<cereal::size_type>(pixels.size())));
    archive(cereal::binary_data(pixels.data(), pixels.size()));
  }
  return stream.str();
}

std::string cameraBytes(const CameraCalibration& camera) {
  std::ostringstream stream(std::ios::binary);
  {
    BinaryArchive archive(stream, binaryOptions());
    saveMatrix(archive, camera.mResolution);  // "mResolution"
    saveMatrix(archive, camera.mFocalLength);
    saveMatrix(archive, camera.mPrincipalPoint);
    saveMatrix(archive, camera.mDistortion);
  }
  return stream.str();
}

std::string imageTargetFileName(const std::string& suffix, const std::string& extension) {
  return IMG_TARGET_TAG + suffix + extension;
}

}  // namespace

bool saveImageTargetFiles(const fs::path& outputDirectory, const ImageTargetDetectableData& data) {
  try {
    if (data.mImages.empty() || data.mImages.front().isEmpty()) {
      OBRIN_LOG_ERROR("Image target {} has no training image to save", data.mTargetName);
      return false;
    }

    // Everything is put together in memory first, so that nothing is touched on disk when
    // that fails.
    const std::string json = configJson(data);
    const std::string keyPoints = keyPointBytes(data.mKeyPoints);
    const std::string image = imageBytes(data.mImages.front());
    const std::string camera = cameraBytes(data.mCamera);

    fs::path folder;
    if (!targetFolderPath(outputDirectory, data.mTargetName, folder)) return false;

    auto contentOf = [](const std::string& bytes) {
      return [&bytes](const fs::path& temporary) { return writeBytes(temporary, bytes); };
    };
    return Lumetra::writeTargetFiles(folder, {
        {imageTargetFileName(CONFIG_SUFFIX, JSON_EXTENSION), contentOf(json)},
        {imageTargetFileName(KPT_SUFFIX, DAT_EXTENSION), contentOf(keyPoints)},
        {imageTargetFileName(IMG_SUFFIX, DAT_EXTENSION), contentOf(image)},
        {imageTargetFileName(CAM_SUFFIX, CAM_EXTENSION), contentOf(camera)},
    });
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Failed to save image target {}: {}", data.mTargetName, e.what());
    return false;
  }
}

}  // namespace Obrin
