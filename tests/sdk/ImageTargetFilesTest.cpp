// The four image-target files, each read back byte by byte with an independent reader.
#include "ObjectTracker/Trainer/Image/ImageTargetFiles.h"

#include "SdkFileReader.h"
#include "Process.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::LittleEndianReader;
using testsupport::readFileBytes;

const char* const kConfigFile = "PALOM_IMG_TARGET_CONFIG.json";
const char* const kKeyPointFile = "PALOM_IMG_TARGET_KPT.dat";
const char* const kImageFile = "PALOM_IMG_TARGET_IMG.dat";
const char* const kCameraFile = "PALOM_IMG_TARGET_CAM.cam";

std::uint8_t pixelPattern(std::uint32_t x, std::uint32_t y) { return static_cast<std::uint8_t>((x * 3 + y * 5) & 0xff); }

Lumetra::ImageGray patternImage(std::uint32_t width, std::uint32_t height) {
  Lumetra::ImageGray image(Lumetra::Vec2u(width, height), Lumetra::Gray8{{0}});
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) image.at(x, y)[0] = pixelPattern(x, y);
  }
  return image;
}

Obrin::TargetKeyPoint keyPointNumber(std::size_t i) {
  Obrin::TargetKeyPoint k;
  k.levelZeroPosition = Eigen::Vector2d(1.25 * double(i), 0.5 * double(i) + 0.125);
  k.position = Eigen::Vector2d(0.75 * double(i) + 0.1, 3.0 - 0.2 * double(i));
  k.objectPoint = Eigen::Vector2d(-0.15 + 1e-4 * double(i), 0.1 / 3.0 - 1e-5 * double(i));
  k.score = 100.5f + float(i);
  k.level = static_cast<std::int32_t>(i % 8);
  for (std::size_t j = 0; j < k.descriptor.size(); ++j) k.descriptor[j] = static_cast<std::uint8_t>((i * 7 + j * 13) & 0xff);
  return k;
}

void makeTarget(Obrin::ImageTargetDetectableData& data, std::size_t keyPointCount, std::uint32_t width,
                std::uint32_t height) {
  data.mTargetName = "Box_1";
  data.mTargetPhysicalSize = Eigen::Vector2d(0.3, 0.2);
  data.mTargetLeftTopObjPoint = Eigen::Vector2d(-0.15, -0.1);
  data.mTargetRightBottomObjPoint = Eigen::Vector2d(0.14953125, 0.09958);
  data.mTargetCenter = Eigen::Vector2d(0.1 / 3.0, -2.0 / 7.0);
  data.mFactorFromImageToPhysics = Eigen::Vector2d(0.1606789, 0.1600456);
  data.mTrackabilityScore = 0.7123f;
  data.mDetectabilityScore = 0.0f;
  data.mKeyPoints.clear();
  for (std::size_t i = 0; i < keyPointCount; ++i) data.mKeyPoints.push_back(keyPointNumber(i));
  data.mImages = {patternImage(width, height), patternImage(width / 2, height / 2), patternImage(width / 4, height / 4)};
  data.mCamera.mResolution = Eigen::Vector2i(640, 480);
  data.mCamera.mFocalLength = Eigen::Vector2d(321.21015433728, 320.029337062024);
  data.mCamera.mPrincipalPoint = Eigen::Vector2d(320.0, 240.0);
  data.mCamera.setDistortion(0.1, -0.02, 0.001, 0.002, 0.003);
}

void expectVector2(LittleEndianReader& r, double x, double y, const std::string& what) {
  EXPECT_EQ(r.i32(), 2) << what << " rows";
  EXPECT_EQ(r.i32(), 1) << what << " columns";
  EXPECT_EQ(r.f64(), x) << what << " x";
  EXPECT_EQ(r.f64(), y) << what << " y";
}

class ImageTargetFiles : public ::testing::Test {
 protected:
  TestSupport::TempDir scratch_;
  fs::path folder() const { return scratch_ / "PALOM_Box_1"; }
};

TEST_F(ImageTargetFiles, EveryFileReadsBackByteByByte) {
  Obrin::ImageTargetDetectableData data;
  makeTarget(data, 300, 40, 30);
  // Level 0 as a 10 x 6 view at (5, 7) of the 40 x 30 picture: written packed.
  data.mImages[0] = data.mImages[0].region(Lumetra::Vec2i(5, 7), Lumetra::Vec2u(10, 6));
  ASSERT_TRUE(Obrin::saveImageTargetFiles(scratch_.path(), data));
  EXPECT_EQ(TestSupport::folderEntries(folder()),
            (std::vector<std::string>{kCameraFile, kConfigFile, kImageFile, kKeyPointFile}));

  LittleEndianReader k(readFileBytes(folder() / kKeyPointFile));
  ASSERT_EQ(k.size(), 9u + 112u * 300u);
  EXPECT_EQ(k.u8(), 1);  // little-endian archive
  ASSERT_EQ(k.u64(), 300u);
  for (std::size_t i = 0; i < 300; ++i) {
    expectVector2(k, 1.25 * double(i), 0.5 * double(i) + 0.125, "levelZeroPosition");
    expectVector2(k, 0.75 * double(i) + 0.1, 3.0 - 0.2 * double(i), "position");
    expectVector2(k, -0.15 + 1e-4 * double(i), 0.1 / 3.0 - 1e-5 * double(i), "objectPoint");
    ASSERT_EQ(k.i32(), static_cast<std::int32_t>(i % 8)) << "level of record " << i;
    ASSERT_EQ(k.f32(), 100.5f + float(i)) << "score of record " << i;
    const std::vector<std::uint8_t> descriptor = k.bytes(32);
    for (std::size_t j = 0; j < 32; ++j) ASSERT_EQ(descriptor[j], (i * 7 + j * 13) & 0xff) << i << " byte " << j;
  }

  LittleEndianReader img(readFileBytes(folder() / kImageFile));
  ASSERT_EQ(img.size(), 33u + 60u);
  EXPECT_EQ(img.u8(), 1);
  // Channels, bytes per row, then a 2 x 1 matrix of the width and height.
  for (std::uint32_t v : {1u, 10u, 2u, 1u, 10u, 6u}) EXPECT_EQ(img.u32(), v);
  ASSERT_EQ(img.u64(), 60u);
  const std::vector<std::uint8_t> pixels = img.bytes(60);
  for (std::uint32_t y = 0; y < 6; ++y)
    for (std::uint32_t x = 0; x < 10; ++x) EXPECT_EQ(pixels[y * 10 + x], pixelPattern(x + 5, y + 7));

  LittleEndianReader cam(readFileBytes(folder() / kCameraFile));
  ASSERT_EQ(cam.size(), 113u);
  EXPECT_EQ(cam.u8(), 1);
  for (std::int32_t v : {2, 1, 640, 480}) EXPECT_EQ(cam.i32(), v);
  expectVector2(cam, 321.21015433728, 320.029337062024, "focal length");
  expectVector2(cam, 320.0, 240.0, "principal point");
  for (std::int32_t v : {5, 1}) EXPECT_EQ(cam.i32(), v);
  for (double expected : {0.1, -0.02, 0.001, 0.002, 0.003}) EXPECT_EQ(cam.f64(), expected);

  const std::vector<std::uint8_t> bytes = readFileBytes(folder() / kConfigFile);
  const std::string text(bytes.begin(), bytes.end());
  // Indentation by four blanks per level.
  EXPECT_EQ(text.rfind("{\n    \"value0\": {\n        \"mTargetName\": \"Box_1\",\n", 0), 0u) << text;
  rapidjson::Document document;
  document.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str());
  ASSERT_FALSE(document.HasParseError()) << text;
  ASSERT_EQ(document.MemberCount(), 1u);
  const auto& object = document["value0"];
  const std::vector<std::pair<const char*, double>> numbers = {
      {"mTargetPhysicalSize(0)", 0.3},          {"mTargetPhysicalSize(1)", 0.2},
      {"mImages.size()", 3.0},                  {"mTargetLeftTopObjPoint(0)", -0.15},
      {"mTargetLeftTopObjPoint(1)", -0.1},      {"mTargetRightBottomObjPoint(0)", 0.14953125},
      {"mTargetRightBottomObjPoint(1)", 0.09958}, {"mTargetCenter(0)", 0.1 / 3.0},
      {"mTargetCenter(1)", -2.0 / 7.0},         {"mFactorFromImageToPhysics(0)", 0.1606789},
      {"mFactorFromImageToPhysics(1)", 0.1600456}, {"mTrackabilityScore", static_cast<double>(0.7123f)},
      {"mDetectabilityScore", 0.0},
  };
  ASSERT_EQ(object.MemberCount(), 1u + numbers.size());
  auto member = object.MemberBegin();
  EXPECT_STREQ((member++)->value.GetString(), "Box_1");
  for (const auto& [name, number] : numbers) {
    ASSERT_STREQ(member->name.GetString(), name);
    EXPECT_EQ((member++)->value.GetDouble(), number) << name;
  }
  EXPECT_TRUE(object["mImages.size()"].IsUint64());
}

TEST_F(ImageTargetFiles, RefusedTargetsAndNamesGiveFalse) {
  Obrin::ImageTargetDetectableData data;
  makeTarget(data, 1, 16, 12);
  data.mImages.clear();
  EXPECT_FALSE(Obrin::saveImageTargetFiles(scratch_.path(), data));
  data.mImages.push_back(Lumetra::ImageGray());
  EXPECT_FALSE(Obrin::saveImageTargetFiles(scratch_.path(), data));
  EXPECT_TRUE(TestSupport::folderEntries(scratch_.path()).empty());

  makeTarget(data, 1, 16, 12);
  data.mTargetName = "x/../../y";  // a name that would leave its folder
  EXPECT_FALSE(Obrin::saveImageTargetFiles(scratch_.path(), data));
}

}  // namespace
