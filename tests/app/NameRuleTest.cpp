#include "Constants.h"
#include "TrainingDrivers.h"

#include <gtest/gtest.h>

TEST(TargetName, Rule) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", false},
      {"_", true},
      {"Box_1", true},
      {std::string(26, 'a'), true},
      {std::string(27, 'a'), false},
      {std::string(26, ' '), false},
      {"with blank", false},
      {"hyphen-name", false},
      {"dot.name", false},
      {"caf\xc3\xa9", false},
      {"line\n", false},
      {"\nline", false},
      {"quote\"", false},
      {"back\\slash", false},
  };
  for (const auto& [name, accepted] : cases) EXPECT_EQ(validateTargetName(name), accepted) << name;
}

TEST(TargetName, FileNamesAndBatchNames) {
  EXPECT_EQ(TARGET_PREFIX + "Box_1", "PALOM_Box_1");
  EXPECT_EQ(CAD_EDGE_MODEL_FILE, "PALOM_CAD_TARGET_EDGE_MODEL.dat");
  EXPECT_EQ(CAD_TEMPLATE_FILE, "PALOM_CAD_TARGET_TEMPLATE.dat");
  EXPECT_EQ(CAD_MODEL_FILE, "PALOM_CAD_TARGET_CAD_MODEL.obj");
  EXPECT_EQ(IMG_TARGET_TAG + CONFIG_SUFFIX + JSON_EXTENSION, "PALOM_IMG_TARGET_CONFIG.json");
  EXPECT_EQ(QRCODE_TARGET_TAG + IMG_SUFFIX + PNG_EXTENSION, "PALOM_QRCODE_TARGET_IMG.png");
  EXPECT_EQ(IMG_TARGET_TAG + KPT_SUFFIX + DAT_EXTENSION, "PALOM_IMG_TARGET_KPT.dat");
  EXPECT_EQ(IMG_TARGET_TAG + CAM_SUFFIX + CAM_EXTENSION, "PALOM_IMG_TARGET_CAM.cam");
  EXPECT_EQ(batchTargetName("Batch", 0), "Batch_00000");
  EXPECT_EQ(batchTargetName("Batch", 42), "Batch_00042");
  EXPECT_EQ(batchTargetName("B", 99999), "B_99999");
  EXPECT_EQ(batchTargetName("B", 100000), "B_100000");
}
