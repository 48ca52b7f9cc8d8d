// Image and QR-code targets trained through the executable: console lines, exit status, and
// every written file read back byte by byte with an independent reader.
#include "CameraCalibration.h"
#include "Configs.h"
#include "JsonConfig.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>
#include <picojson.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::quoted;
using TestSupport::runFormwright;
using TestSupport::TempDir;
using TestSupport::writeFile;
using testsupport::LittleEndianReader;
using testsupport::readFileBytes;

namespace {

const std::string kPhotograph = std::string(FORMWRIGHT_OPENCV_DATA) + "/graf1.png";  // 800 x 640
const std::string kSuccess = "Training successfully finished.\n";
const std::string kTrainingFailed = "ERROR: An error occurred during target training.\n";
const std::string kBatchFailed = "ERROR: An error occurred during batch target training.\n";


std::string imageConfig(const std::string& name, const std::string& extra = "") {
  return "{\"Config.Target.Type\": \"Image\", \"Config.Target.Name\": \"" + name +
         "\", \"Object.Physical.Width\": 0.5, \"Object.Physical.Height\": 0.4" + extra + "}";
}

// A structured gray picture (random rectangles) written as a binary PGM.
void writeBlocksPicture(const fs::path& path, int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> gray(static_cast<std::size_t>(width) * height, 128);
  for (int i = 0; i < 300; ++i) {
    const int x0 = static_cast<int>(rng() % width), y0 = static_cast<int>(rng() % height);
    const int w = 5 + static_cast<int>(rng() % 60), h = 5 + static_cast<int>(rng() % 60);
    const std::uint8_t tone = static_cast<std::uint8_t>(rng() % 256);
    for (int y = y0; y < std::min(height, y0 + h); ++y)
      for (int x = x0; x < std::min(width, x0 + w); ++x) gray[static_cast<std::size_t>(y) * width + x] = tone;
  }
  ASSERT_TRUE(testsupport::writePgm(path, width, height, gray));
}

struct KeyPointRecord {
  double x0, y0, x, y, ox, oy;
  std::int32_t level;
  float score;
  std::vector<std::uint8_t> descriptor;
};

// An Eigen column vector in a portable binary archive: rows, columns, then the elements.
void expectVectorHeader(LittleEndianReader& in, std::int32_t rows) {
  EXPECT_EQ(in.i32(), rows);
  EXPECT_EQ(in.i32(), 1);
}

std::vector<KeyPointRecord> readKeyPointFile(const fs::path& path) {
  LittleEndianReader in(readFileBytes(path));
  EXPECT_EQ(in.u8(), 1);
  const std::uint64_t n = in.u64();
  EXPECT_EQ(in.size(), 9 + 112 * n);
  std::vector<KeyPointRecord> records;
  for (std::uint64_t i = 0; i < n && !in.overrun(); ++i) {
    KeyPointRecord r;
    expectVectorHeader(in, 2);
    r.x0 = in.f64();
    r.y0 = in.f64();
    expectVectorHeader(in, 2);
    r.x = in.f64();
    r.y = in.f64();
    expectVectorHeader(in, 2);
    r.ox = in.f64();
    r.oy = in.f64();
    r.level = in.i32();
    r.score = in.f32();
    r.descriptor = in.bytes(32);
    records.push_back(r);
  }
  EXPECT_EQ(in.remaining(), 0u);
  return records;
}

// The members of the JSON file's single object, in the order they stand in the text.
std::vector<std::string> memberOrder(const std::string& text) {
  std::vector<std::string> keys;
  std::size_t pos = text.find('{', text.find('{') + 1);
  while ((pos = text.find('"', pos)) != std::string::npos) {
    const std::size_t end = text.find('"', pos + 1);
    keys.push_back(text.substr(pos + 1, end - pos - 1));
    pos = text.find_first_of(",}", end);
    if (pos == std::string::npos || text[pos] == '}') break;
  }
  return keys;
}

}  // namespace

TEST(ImageTarget, FilesOfATrainedPhotographReadBackByteByByte) {
  TempDir dir;
  writeFile(dir / "config.json", imageConfig("Graf"));
  const auto r = runFormwright({dir.path().string(), (dir / "config.json").string(), kPhotograph});
  ASSERT_EQ(r.out, kSuccess);
  ASSERT_EQ(r.exitStatus, 0);

  const fs::path folder = dir / "PALOM_Graf";
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"PALOM_IMG_TARGET_CAM.cam", "PALOM_IMG_TARGET_CONFIG.json",
                                             "PALOM_IMG_TARGET_IMG.dat", "PALOM_IMG_TARGET_KPT.dat"}));

  // The same training in this process gives the data the files must hold.
  TrainingConfig config;
  ASSERT_TRUE(loadJsonFile(config, dir / "config.json"));
  Obrin::ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
  ASSERT_TRUE(trainer.train(kPhotograph, "Graf"));
  const Obrin::ImageTargetDetectableData* data = trainer.getTarget("Graf");
  ASSERT_NE(data, nullptr);

  // Keypoints: 9 + 112 n bytes; each keypoint's records count its levels up from 0.
  const auto records = readKeyPointFile(folder / "PALOM_IMG_TARGET_KPT.dat");
  ASSERT_EQ(records.size(), data->mKeyPoints.size());
  ASSERT_GT(records.size(), 500u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& f = records[i];
    const auto& k = data->mKeyPoints[i];
    ASSERT_EQ(f.x0, k.levelZeroPosition.x());
    ASSERT_EQ(f.y0, k.levelZeroPosition.y());
    ASSERT_EQ(f.x, k.position.x());
    ASSERT_EQ(f.ox, k.objectPoint.x());
    ASSERT_EQ(f.oy, k.objectPoint.y());
    ASSERT_EQ(f.level, k.level);
    ASSERT_EQ(f.score, k.score);
    ASSERT_TRUE(std::equal(f.descriptor.begin(), f.descriptor.end(), k.descriptor.begin()));
    EXPECT_TRUE(f.level == 0 || (i > 0 && records[i - 1].level == f.level - 1 && records[i - 1].x0 == f.x0));
    // 800 x 640 is fitted by height into 640 x 480: the picture spans x in [20, 620).
    EXPECT_GE(f.x0, 20.0 + 15.0);
    EXPECT_LT(f.x0, 620.0 - 15.0);
    EXPECT_NE(f.ox, -1.0);
  }

  // Training image: level 0, 33 + 640 x 480 bytes.
  {
    LittleEndianReader in(readFileBytes(folder / "PALOM_IMG_TARGET_IMG.dat"));
    ASSERT_EQ(in.size(), 33u + 640u * 480u);
    EXPECT_EQ(in.u8(), 1);
    EXPECT_EQ(in.u32(), 1u);    // channels
    EXPECT_EQ(in.u32(), 640u);  // row bytes
    expectVectorHeader(in, 2);
    EXPECT_EQ(in.u32(), 640u);
    EXPECT_EQ(in.u32(), 480u);
    EXPECT_EQ(in.u64(), 640u * 480u);
    const auto pixels = in.bytes(640 * 480);
    const Lumetra::ImageGray& level0 = data->mImages.at(0);
    for (std::uint32_t y = 0; y < 480; y += 7)
      for (std::uint32_t x = 0; x < 640; x += 3) ASSERT_EQ(pixels[y * 640 + x], level0.at(x, y)[0]);
    // The black padding columns stay black after the blur.
    EXPECT_EQ(pixels[240 * 640 + 5], 0);
    EXPECT_EQ(pixels[240 * 640 + 634], 0);
  }

  // Camera: 113 bytes, the training camera with the built-in focal lengths.
  {
    LittleEndianReader in(readFileBytes(folder / "PALOM_IMG_TARGET_CAM.cam"));
    ASSERT_EQ(in.size(), 113u);
    EXPECT_EQ(in.u8(), 1);
    expectVectorHeader(in, 2);
    EXPECT_EQ(in.i32(), 640);
    EXPECT_EQ(in.i32(), 480);
    expectVectorHeader(in, 2);
    EXPECT_EQ(in.f64(), 321.21015433728);
    EXPECT_EQ(in.f64(), 320.029337062024);
    expectVectorHeader(in, 2);
    EXPECT_EQ(in.f64(), 320.0);
    EXPECT_EQ(in.f64(), 240.0);
    expectVectorHeader(in, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(in.f64(), 0.0);
  }

  // Description: members in order, values of the trained data.
  const std::string json = TestSupport::readFile(folder / "PALOM_IMG_TARGET_CONFIG.json");
  EXPECT_EQ(memberOrder(json),
            (std::vector<std::string>{"mTargetName", "mTargetPhysicalSize(0)", "mTargetPhysicalSize(1)",
                                      "mImages.size()", "mTargetLeftTopObjPoint(0)", "mTargetLeftTopObjPoint(1)",
                                      "mTargetRightBottomObjPoint(0)", "mTargetRightBottomObjPoint(1)",
                                      "mTargetCenter(0)", "mTargetCenter(1)", "mFactorFromImageToPhysics(0)",
                                      "mFactorFromImageToPhysics(1)", "mTrackabilityScore",
                                      "mDetectabilityScore"}));
  picojson::value doc;
  ASSERT_EQ(picojson::parse(doc, json), "");
  const picojson::object& o = doc.get<picojson::object>().at("value0").get<picojson::object>();
  EXPECT_EQ(o.at("mTargetName").get<std::string>(), "Graf");
  // Pictures 800 x 640 fitted by height: offset 20; size = P + offset * 2 * (800 / 640) * (0.5 / 800).
  EXPECT_DOUBLE_EQ(o.at("mTargetPhysicalSize(0)").get<double>(), 0.5 + 20 * 2 * 1.25 * (0.5 / 800));
  EXPECT_EQ(o.at("mTargetPhysicalSize(1)").get<double>(), 0.4);
  EXPECT_EQ(o.at("mImages.size()").get<double>(), 8.0);
  EXPECT_EQ(o.at("mTargetCenter(0)").get<double>(), 0.0);
  EXPECT_EQ(o.at("mTargetLeftTopObjPoint(0)").get<double>(), data->mTargetLeftTopObjPoint.x());
  EXPECT_EQ(o.at("mFactorFromImageToPhysics(1)").get<double>(), data->mFactorFromImageToPhysics.y());
  EXPECT_EQ(o.at("mTrackabilityScore").get<double>(), static_cast<double>(data->mTrackabilityScore));
  EXPECT_GT(o.at("mTrackabilityScore").get<double>(), 0.0);
  EXPECT_EQ(o.at("mDetectabilityScore").get<double>(), 0.0);
  // The picture spans 0.5 physical units from its left to its right pixel.
  EXPECT_NEAR(o.at("mTargetRightBottomObjPoint(0)").get<double>() - o.at("mTargetLeftTopObjPoint(0)").get<double>(),
              0.5, 1e-12);
}

TEST(ImageTarget, PortraitPictureIsTurnedAndKeepsItsOrientationConsistent) {
  TempDir dir;
  writeBlocksPicture(dir / "portrait.pgm", 480, 640, 3);
  writeFile(dir / "config.json",
            "{\"Config.Target.Name\": \"Tall\", \"Object.Physical.Width\": 0.3, \"Object.Physical.Height\": 0.4}");
  const auto r = runFormwright({dir.path().string(), (dir / "config.json").string(), (dir / "portrait.pgm").string()});
  ASSERT_EQ(r.out, kSuccess);
  picojson::value doc;
  ASSERT_EQ(picojson::parse(doc, TestSupport::readFile(dir / "PALOM_Tall" / "PALOM_IMG_TARGET_CONFIG.json")), "");
  const picojson::object& o = doc.get<picojson::object>().at("value0").get<picojson::object>();
  // The stored image is 640 x 480 (turned), so the stored size is 0.4 wide and 0.3 high.
  EXPECT_EQ(o.at("mTargetPhysicalSize(0)").get<double>(), 0.4);
  EXPECT_EQ(o.at("mTargetPhysicalSize(1)").get<double>(), 0.3);
  LittleEndianReader in(readFileBytes(dir / "PALOM_Tall" / "PALOM_IMG_TARGET_IMG.dat"));
  in.bytes(17);
  EXPECT_EQ(in.u32(), 640u);
  EXPECT_EQ(in.u32(), 480u);
}

TEST(ImageTarget, FailuresAndTheirLines) {
  TempDir dir;
  const std::string picture = kPhotograph;
  const auto run = [&](const std::string& config, const std::string& data) {
    writeFile(dir / "config.json", config);
    return runFormwright({dir.path().string(), (dir / "config.json").string(), data});
  };
  struct Case {
    std::string config;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {imageConfig("A", ", \"Image.Grid.Row\": 0"),
       "Configuration Error: Image.Grid.Row and Image.Grid.Col must be at least 1 (they are 0 and 4)\n"},
      {imageConfig("A", ", \"Image.Grid.Col\": -2"),
       "Configuration Error: Image.Grid.Row and Image.Grid.Col must be at least 1 (they are 3 and -2)\n"},
      {imageConfig("A", ", \"Image.Training.Resolution\": [29, 480]"),
       "Configuration Error: Image.Training.Resolution [29, 480] is too small; each side needs at least 30 pixels\n"},
      {imageConfig("A", ", \"Image.Training.Resolution\": [100000, 100000]"),
       "Configuration Error: Image.Training.Resolution [100000, 100000] is too large\n"},
      {imageConfig("A", ", \"Image.Pyramid.ResizeRatio\": 1.0"),
       "Configuration Error: Image.Pyramid.ResizeRatio must lie between 0 and 1 (it is 1)\n"},
      {imageConfig("A", ", \"Image.Pyramid.ResizeRatio\": 0"),
       "Configuration Error: Image.Pyramid.ResizeRatio must lie between 0 and 1 (it is 0)\n"},
      {imageConfig("A", ", \"Image.Pyramid.Level\": 0"),
       "Configuration Error: Image.Pyramid.Level must be from 1 to 255 (it is 0)\n"},
      {imageConfig("A", ", \"Image.FAST.Number\": -5"),
       "Configuration Error: Image.FAST.Number must be at least 1 (it is -5)\n"},
      {"{\"Config.Target.Name\": \"A\", \"Object.Physical.Width\": 0, \"Object.Physical.Height\": 0}",
       "Configuration Error: Object.Physical.Width and Object.Physical.Height must be positive (they are 0 and 0)\n"},
      // The default physical size 1 x 1 contradicts a 800 x 640 picture.
      {"{\"Config.Target.Name\": \"A\"}", "Failed to train from " + picture + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    const auto r = run(c.config, picture);
    EXPECT_EQ(r.out, c.expected + kTrainingFailed);
    EXPECT_EQ(r.exitStatus, 255);
  }
  // A file that is no picture.
  writeFile(dir / "fake.png", "this is not a picture");
  const auto r = run(imageConfig("A"), (dir / "fake.png").string());
  EXPECT_EQ(r.out, "Failed to train from " + (dir / "fake.png").string() + "\n" + kTrainingFailed);
  EXPECT_FALSE(fs::exists(dir / "PALOM_A"));
}

TEST(ImageTarget, UnwritableOutputLeavesWhatWasThere) {
  TempDir dir;
  writeFile(dir / "config.json", imageConfig("Keep"));
  const std::vector<std::string> args = {dir.path().string(), (dir / "config.json").string(), kPhotograph};
  ASSERT_EQ(runFormwright(args).out, kSuccess);
  const auto before = TestSupport::snapshotTree(dir.path());

  // A full disk: no file may grow beyond 64 KiB, the keypoint file needs more.
  TestSupport::RunOptions limited;
  limited.fileSizeLimit = 64 * 1024;
  const auto r = runFormwright(args, limited);
  EXPECT_EQ(r.out, "Failed to write training data to " + quoted(dir.path().string()) + "\n" + kTrainingFailed);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(TestSupport::snapshotTree(dir.path()), before);

  // The target's folder name is taken by a file.
  writeFile(dir / "config.json", imageConfig("Blocked"));
  writeFile(dir / "PALOM_Blocked", "keep me");
  const auto blocked = runFormwright({dir.path().string(), (dir / "config.json").string(), kPhotograph});
  EXPECT_EQ(blocked.out, "Failed to write training data to " + quoted(dir.path().string()) + "\n" + kTrainingFailed);
  EXPECT_EQ(TestSupport::readFile(dir / "PALOM_Blocked"), "keep me");
}

TEST(QRCodeTarget, PictureDecodesToTheNameAndFilesFollowTheSettings) {
  TempDir dir;
  writeFile(dir / "qr.json",
            "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"Gate_7\", \"QRCode.Pattern.PixelSize\": "
            "10, \"QRCode.PhysicalSize\": 0.25}");
  // The data file of a QR-code target is ignored, even when it does not exist.
  const auto r = runFormwright({dir.path().string(), (dir / "qr.json").string(), (dir / "nothing.png").string()});
  ASSERT_EQ(r.out, kSuccess);
  testsupport::DecodedPicture picture;
  ASSERT_TRUE(testsupport::decodePng(dir / "PALOM_Gate_7" / "PALOM_QRCODE_TARGET_IMG.png", picture));
  EXPECT_EQ(picture.width, 250);
  EXPECT_EQ(picture.height, 250);
  EXPECT_EQ(testsupport::decodeWithZbar(picture.gray, 250, 10, dir.path()), "Gate_7");
  const std::string json = TestSupport::readFile(dir / "PALOM_Gate_7" / "PALOM_QRCODE_TARGET_CONFIG.json");
  EXPECT_EQ(memberOrder(json), (std::vector<std::string>{"Version", "Target Name", "Target Width (m)",
                                                         "Target Height (m)", "Pixel per Block"}));
  picojson::value doc;
  ASSERT_EQ(picojson::parse(doc, json), "");
  const picojson::object& o = doc.get<picojson::object>().at("value0").get<picojson::object>();
  EXPECT_EQ(o.at("Target Name").get<std::string>(), "Gate_7");
  EXPECT_EQ(o.at("Target Width (m)").get<double>(), 0.25);
  EXPECT_EQ(o.at("Pixel per Block").get<double>(), 10.0);

  // Its folder taken by a file: the write fails and the file stays.
  writeFile(dir / "qr.json", "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"Gate_8\"}");
  writeFile(dir / "PALOM_Gate_8", "x");
  const auto blocked = runFormwright({dir.path().string(), (dir / "qr.json").string()});
  EXPECT_EQ(blocked.out, "Failed to write QR Code target data\n" + kTrainingFailed);
  EXPECT_EQ(TestSupport::readFile(dir / "PALOM_Gate_8"), "x");
}

TEST(Batch, ImagesAreTrainedInOrderAndTheFirstFailureStopsTheBatch) {
  TempDir dir;
  writeBlocksPicture(dir / "a.pgm", 640, 480, 1);
  writeBlocksPicture(dir / "c.pgm", 800, 600, 2);
  writeFile(dir / "training.json",
            "{\"Config.Target.Name\": \"ignored name\", \"Object.Physical.Width\": 0.4, \"Object.Physical.Height\": 0.3}");
  const auto batch = [&](const std::string& files) {
    writeFile(dir / "batch.json", "{\"Batch.Target.Name\": \"Shelf\", \"Batch.Image.Path\": \"" +
                                      (dir.path() / "").string() + "\", \"Batch.Image.Files\": [" + files +
                                      "], \"Batch.Config.File\": \"" + (dir / "training.json").string() + "\"}");
    return runFormwright({"-B", dir.path().string(), (dir / "batch.json").string()});
  };
  const auto failed = batch("\"a.pgm\", \"missing.png\", \"c.pgm\"");
  EXPECT_EQ(failed.out, "Failed to train from " + (dir / "missing.png").string() + "\n" + kBatchFailed);
  EXPECT_EQ(failed.exitStatus, 255);
  EXPECT_TRUE(fs::is_regular_file(dir / "PALOM_Shelf_00000" / "PALOM_IMG_TARGET_KPT.dat"));
  EXPECT_FALSE(fs::exists(dir / "PALOM_Shelf_00001"));
  EXPECT_FALSE(fs::exists(dir / "PALOM_Shelf_00002"));

  const auto ok = batch("\"a.pgm\", \"c.pgm\"");
  EXPECT_EQ(ok.out, kSuccess);
  EXPECT_TRUE(fs::is_regular_file(dir / "PALOM_Shelf_00001" / "PALOM_IMG_TARGET_CAM.cam"));
}

TEST(Batch, QRCodeNamesThatDoNotFitTheCodeFailCleanly) {
  TempDir dir;
  writeFile(dir / "training.json", "{}");
  const auto batch = [&](const std::string& name, int count) {
    writeFile(dir / "batch.json", "{\"Batch.Target.Type\": \"QRCode\", \"Batch.Target.Name\": \"" + name +
                                      "\", \"Batch.QRCodeTarget.Num\": " + std::to_string(count) +
                                      ", \"Batch.Config.File\": \"" + (dir / "training.json").string() + "\"}");
    return runFormwright({"-B", dir.path().string(), (dir / "batch.json").string()});
  };
  EXPECT_EQ(batch("Seat", 2).out, kSuccess);
  EXPECT_TRUE(fs::is_regular_file(dir / "PALOM_Seat_00001" / "PALOM_QRCODE_TARGET_IMG.png"));
  // 21 characters + "_00000" = 27 bytes: too long for a version-2 code at level M.
  const auto r = batch(std::string(21, 'Q'), 1);
  EXPECT_EQ(r.out, "Failed to generate QR Code target data\n" + kBatchFailed);
  EXPECT_FALSE(fs::exists(dir / ("PALOM_" + std::string(21, 'Q') + "_00000")));
}
