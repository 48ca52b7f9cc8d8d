#include "Detection/TemplateFile.h"

#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

using namespace Lumetra::Linemod;

TEST(TemplateFile, EveryFieldInOrder) {
  LinemodTrainer::Settings settings;
  settings.numFeatures = 3;
  LinemodTrainer trainer(settings);
  TrainingPose pose;
  pose.rotation = Eigen::Quaternionf(0.5f, -0.5f, 0.5f, 0.5f);
  pose.translation = Eigen::Vector3f(0.1f, -0.2f, 0.45f);
  const std::vector<GradientCandidate> candidates{{10, 20, 0}, {30, 21, 1}, {17, 40, 2}, {50, 50, 3}};
  TemplateRect box;
  ASSERT_EQ(trainer.extractTemplateFeatures(candidates, "Lamp", pose, 2, &box), 0);
  ASSERT_EQ(trainer.extractTemplateFeatures(candidates, "Lamp", pose, 2, &box), 1);
  trainer.setCamera("Lamp", Lumetra::PinholeCamera(640, 480, 500.5f, 501.5f, 320.25f, 240.75f));

  TestSupport::TempDir folder;
  const std::filesystem::path path = folder / "nested" / "PALOM_CAD_TARGET_TEMPLATE.dat";
  ASSERT_TRUE(writeTemplateFile(trainer, path, "Lamp"));
  testsupport::LittleEndianReader r(testsupport::readFileBytes(path));
  const auto column = [&r](std::int32_t rows) { EXPECT_TRUE(r.i32() == rows && r.i32() == 1) << rows; };
  EXPECT_EQ(r.size(), 1u + 8 + 4 + 8 + 3 * 16 + 8 + 2 * (8 + 2 * (88 + 9 * 3)));
  EXPECT_EQ(r.u8(), 1);
  ASSERT_EQ(r.u64(), 4u);
  EXPECT_EQ(r.bytes(4), std::vector<std::uint8_t>({'L', 'a', 'm', 'p'}));
  EXPECT_EQ(r.u64(), 2u);  // pyramid levels
  column(2);
  EXPECT_EQ(r.u32(), 640u);
  EXPECT_EQ(r.u32(), 480u);
  for (const auto& [x, y] : {std::pair{500.5f, 501.5f}, {320.25f, 240.75f}}) {  // focal length, principal point
    column(2);
    EXPECT_EQ(r.f32(), x);
    EXPECT_EQ(r.f32(), y);
  }
  const auto& pyramids = trainer.templates().at("Lamp");
  ASSERT_EQ(r.u64(), pyramids.size());
  for (const TemplatePyramid& pyramid : pyramids) {
    ASSERT_EQ(r.u64(), 2u);
    for (const Template& t : pyramid) {
      column(2);
      EXPECT_EQ(r.i32(), t.width);
      EXPECT_EQ(r.i32(), t.height);
      column(2);
      EXPECT_EQ(r.i32(), t.tlX);
      EXPECT_EQ(r.i32(), t.tlY);
      EXPECT_EQ(r.i32(), t.pyramidLevel);
      column(4);
      for (float q : {-0.5f, 0.5f, 0.5f, 0.5f}) EXPECT_EQ(r.f32(), q);  // x, y, z, w
      column(3);
      for (float v : {0.1f, -0.2f, 0.45f}) EXPECT_EQ(r.f32(), v);
      ASSERT_EQ(r.u64(), 3u);
      for (const Feature& f : t.features) {
        EXPECT_EQ(r.i32(), f.x);
        EXPECT_EQ(r.i32(), f.y);
        EXPECT_EQ(r.u8(), f.label);
      }
    }
  }
  EXPECT_EQ(r.remaining(), 0u);

  // A class without templates or camera; then a path whose folder is a file: false, old file kept.
  ASSERT_TRUE(writeTemplateFile(trainer, path, ""));
  EXPECT_EQ(testsupport::readFileBytes(path).size(), 1u + 8 + 8 + 3 * 16 + 8);
  EXPECT_FALSE(writeTemplateFile(trainer, path / "below-a-file.dat", "Lamp"));
  EXPECT_EQ(testsupport::readFileBytes(path).size(), 1u + 8 + 8 + 3 * 16 + 8);
}
