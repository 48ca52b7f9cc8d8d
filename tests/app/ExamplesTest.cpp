// The bundled example configurations load, and say what the examples claim.
#include "CameraCalibration.h"
#include "Configs.h"
#include "JsonConfig.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {
const std::filesystem::path kExamples = std::filesystem::path(FORMWRIGHT_SOURCE_DIR) / "examples";
}

TEST(Examples, ConfigurationsLoad) {
  TrainingConfig image;
  ASSERT_TRUE(loadJsonFile(image, kExamples / "image-target.json"));
  EXPECT_EQ(image.targetType.value, "Image");
  EXPECT_EQ(image.targetName.value, "Poster");
  EXPECT_EQ(image.objectPhysicalWidth.value, 0.4);

  TrainingConfig qr;
  ASSERT_TRUE(loadJsonFile(qr, kExamples / "qrcode-target.json"));
  EXPECT_EQ(qr.targetType.value, "QRCode");

  TrainingConfig cad;
  EXPECT_TRUE(loadJsonFile(cad, kExamples / "cad-target.json") && cad.targetType.value == "CAD");

  for (const char* name : {"batch.json", "qrcode-batch.json"}) {
    SCOPED_TRACE(name);
    BatchConfig batch;
    ASSERT_TRUE(loadJsonFile(batch, kExamples / name));
    TrainingConfig training;
    ASSERT_TRUE(loadJsonFile(training, std::filesystem::path(FORMWRIGHT_SOURCE_DIR) / batch.configFile.value));
    for (const std::string& file : batch.imageFiles.value) {
      if (batch.targetType.value == "Image") {
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(FORMWRIGHT_SOURCE_DIR) /
                                                     (batch.imagePath.value + file)));
      }
    }
  }
  CameraCalibration camera = CameraCalibration::builtIn();
  ASSERT_TRUE(loadCameraCalibration(kExamples / "camera.json", camera));
  EXPECT_EQ(camera.mResolution, Eigen::Vector2i(1280, 720));
}
