// The bundled example configurations load, and say what the examples claim.
#include "CameraCalibration.h"
#include "Configs.h"
#include "JsonConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

namespace {
const std::filesystem::path kExamples = std::filesystem::path(FORMWRIGHT_SOURCE_DIR) / "examples";
}

TEST(Examples, ConfigurationsLoad) {
  for (const auto& [file, type] : {std::pair<const char*, const char*>{"image-target.json", "Image"},
                                   {"qrcode-target.json", "QRCode"}, {"cad-target.json", "CAD"}}) {
    TrainingConfig config;
    EXPECT_TRUE(loadJsonFile(config, kExamples / file) && config.targetType.value == type) << file;
  }

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
}
