// The configuration registry, the JSON loader and the calibration loader.
#include "CameraCalibration.h"
#include "Configs.h"
#include "JsonConfig.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

template <typename Config>
bool loadText(Config& config, const std::string& text) {
  TempDir dir;
  writeFile(dir / "c.json", text);
  return loadJsonFile(config, dir / "c.json");
}

}  // namespace

TEST(Registry, CopiesAreIndependentOfTheirSource) {
  auto source = std::make_unique<TrainingConfig>();
  ASSERT_TRUE(loadText(*source, "{\"Image.FAST.Number\": 77}"));
  TrainingConfig copy(*source);
  ASSERT_TRUE(loadText(copy, "{\"Image.FAST.Number\": 5, \"Config.Target.Name\": \"Other\"}"));
  EXPECT_EQ(source->fastNumber.value, 77);
  EXPECT_EQ(source->targetName.value, "SampleTarget");
  EXPECT_EQ(copy.fastNumber.value, 5);
  EXPECT_EQ(copy.fastNumber.defaultValue, 4000);
  source.reset();
  ASSERT_TRUE(loadText(copy, "{\"Image.Grid.Row\": 9}"));
  EXPECT_EQ(copy.gridRow.value, 9);
  EXPECT_EQ(copy.fastNumber.value, 5);
}

TEST(JsonLoading, KeysAreFoundAtAnyDepthButNotInsideArrays) {
  struct Case {
    std::string text;
    std::int32_t fastNumber;
  };
  const std::vector<Case> cases = {
      {"{\"Image.FAST.Number\": 500}", 500},
      {"{\"Image\": {\"FAST\": {\"Image.FAST.Number\": 501}}}", 501},
      {"{\"Image\": {\"FAST\": {\"Number\": 502}}}", 4000},
      {"{\"list\": [{\"Image.FAST.Number\": 503}]}", 4000},
      {"42", 4000},
      {"{\"Image.FAST.Number\": 12.9}", 12},
      {"{\"Image.FAST.Number\": 2147483647.5}", 2147483647},
      {"{\"Image.FAST.Number\": 500} xyz", 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TrainingConfig config;
    ASSERT_TRUE(loadText(config, c.text));
    EXPECT_EQ(config.fastNumber.value, c.fastNumber);
    EXPECT_EQ(config.fastNumber.defaultValue, 4000);
  }
}

TEST(JsonLoading, AStringOverTwoLinesIsJoined) {
  TrainingConfig config;
  ASSERT_TRUE(loadText(config, "{\"Config.Target.Type\": \"QR\nCode\"}"));
  EXPECT_EQ(config.targetType.value, "QRCode");
}

TEST(JsonLoading, ListLengths) {
  TrainingConfig config;
  ASSERT_TRUE(loadText(config,
                       "{\"Image.Training.Resolution\": [1280, 720, 3], \"CAD.Detection.DistanceRange\": [0.2],"
                       " \"CAD.Detection.ElevationAngleRange\": []}"));
  EXPECT_EQ(config.trainingResolution.value, (std::vector<std::int32_t>{1280, 720}));
  EXPECT_EQ(config.cadDetectionDistanceRange.value, (std::vector<double>{0.2}));
  EXPECT_TRUE(config.cadDetectionElevationAngleRange.value.empty());

  BatchConfig batch;
  ASSERT_TRUE(loadText(batch, "{\"Batch.Image.Files\": [\"a.png\", \"b.jpg\", \"c.png\"]}"));
  EXPECT_EQ(batch.imageFiles.value, (std::vector<std::string>{"a.png", "b.jpg", "c.png"}));
}

TEST(JsonLoading, RefusedFilesChangeNothing) {
  const std::vector<std::string> refused = {
      "{\"a\": {\"Name\": \"x\"}, \"b\": {\"Name\": \"y\"}}",
      "{\"Image\": {\"Image\": 1}}",
      "{\"Config.Target.Name\": \"X\", \"Config.Target.Name\": \"Y\"}",
      // Wrong kinds and ranges: keys that sort earlier than the bad one must not keep new values.
      "{\"CAD.Detection.NumTrainingViews\": 3, \"Config.Target.Name\": \"X\", \"QRCode.PhysicalSize\": \"big\"}",
      "{\"Config.Target.Name\": \"X\", \"Image.Training.Resolution\": [640]}",
      "{\"Config.Target.Name\": \"X\", \"Image.Training.Resolution\": [640, -3e9]}",
      "{\"Config.Target.Name\": \"X\", \"Image.Training.Resolution\": [640, \"480\"]}",
      "{\"Config.Target.Name\": \"X\", \"Config.MVG.Enabled\": \"true\"}",
      "{\"Config.Target.Name\": \"X\", \"Image.Grid.Row\": null}",
      "{\"Config.Target.Name\": \"X\", \"MVG.Render.Density\": 7}",
      "{\"Config.Target.Name\": \"X\", \"CAD.Detection.DistanceRange\": [1, null]}",
      // A list key given something other than an array.
      "{\"Config.Target.Name\": \"X\", \"Image.Training.Resolution\": 7}",
      "{\"CAD.Detection.NumTrainingViews\": 3, \"CAD.UprightVector\": null}",
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    TrainingConfig config;
    EXPECT_FALSE(loadText(config, text));
    EXPECT_EQ(config.targetName.value, "SampleTarget");
    EXPECT_EQ(config.cadDetectionNumTrainingViews.value, 1000);
    EXPECT_EQ(config.trainingResolution.value, (std::vector<std::int32_t>{640, 480}));
  }
  BatchConfig batch;
  EXPECT_FALSE(loadText(batch, "{\"Batch.Image.Files\": [\"a.png\", 1]}"));
  EXPECT_FALSE(loadText(batch, "{\"Batch.Target.Name\": [\"a\"]}"));
  EXPECT_FALSE(loadText(batch, "{\"Batch.Image.Files\": \"a.png\"}"));
}

TEST(Calibration, LoadingFiles) {
  TempDir dir;
  const auto load = [&](const std::string& text, CameraCalibration& c) {
    writeFile(dir / "cal.json", text);
    return loadCameraCalibration(dir / "cal.json", c);
  };
  CameraCalibration c = CameraCalibration::builtIn();
  ASSERT_TRUE(load("{\"Resolution\": [1280, 720, 1], \"FocalLength\": [1000, 1000, 5], \"PrincipalPoint\": "
                   "[640, 360], \"Distortion\": [0.1, 0.01, 0, 0, 0, 9]}",
                   c));
  EXPECT_EQ(c.mResolution, Eigen::Vector2i(1280, 720));
  EXPECT_EQ(c.mInverseFocalLength, Eigen::Vector2d(0.001, 0.001));
  const double k[9] = {1000, 0, 0, 0, 1000, 0, 640, 360, 1};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(c.mK.data()[i], k[i]) << i;
  EXPECT_EQ(c.mDistortion(0), 0.1);
  EXPECT_EQ(c.mDistortion(1), 0.01);

  // Missing keys take the zero defaults; zero focal lengths give infinite inverses.
  CameraCalibration z = CameraCalibration::builtIn();
  ASSERT_TRUE(load("{\"Distortion\": [0, 0, 0, 0, 0]}", z));
  EXPECT_EQ(z.mResolution, Eigen::Vector2i(0, 0));
  EXPECT_TRUE(std::isinf(z.mInverseFocalLength.x()) && z.mInverseFocalLength.x() > 0);

  // Arrays too short to fill the record are refused, and the record stays as it was.
  for (const std::string bad : {"{\"FocalLength\": [1]}", "{\"PrincipalPoint\": []}", "{\"Distortion\": [0, 0, 0, 0]}"}) {
    SCOPED_TRACE(bad);
    CameraCalibration kept = CameraCalibration::builtIn();
    EXPECT_FALSE(load(bad, kept));
    EXPECT_EQ(kept.mFocalLength, CameraCalibration::builtIn().mFocalLength);
    EXPECT_EQ(kept.mResolution, Eigen::Vector2i(640, 480));
  }
}
