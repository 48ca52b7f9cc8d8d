// Image-target training with synthetic views: where added keypoints may land, the debug
// pictures, and the whole run through the executable.
#include "LogCapture.h"
#include "CameraCalibration.h"
#include "Configs.h"
#include "Image/ImageIO.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kPhotograph = std::string(FORMWRIGHT_OPENCV_DATA) + "/graf1.png";  // 800 x 640

// Runs the body with a fresh temporary folder as the working directory.
void inTempDirectory(const std::function<void(const fs::path&)>& body) {
  TestSupport::TempDir dir;
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  body(dir.path());
  fs::current_path(previous);
}

TrainingConfig photographConfig() {
  TrainingConfig config;
  config.objectPhysicalWidth.value = 0.5;
  config.objectPhysicalHeight.value = 0.4;
  config.targetName.value = "Graf";
  return config;
}

std::vector<Obrin::TargetKeyPoint> trainedRecords(const TrainingConfig& config) {
  Obrin::ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
  EXPECT_TRUE(trainer.train(kPhotograph, "Graf"));
  const Obrin::ImageTargetDetectableData* data = trainer.getTarget("Graf");
  return data ? data->mKeyPoints : std::vector<Obrin::TargetKeyPoint>();
}

// graf1 fills 600 x 480 of the 640 x 480 training image at offset (20, 0); the second row also
// takes the horizon views without height shift, which see the picture edge-on. The debug
// pictures of both trainings number on from one to the next. (The picture's own records keep
// their place in front: the executable's test compares them byte by byte.)
TEST(MvgTraining, AddedKeypointsStayInsideTheBorderMarginAndDebugPicturesNumberOn) {
  inTempDirectory([](const fs::path& dir) {
    const TestSupport::LogCapture log;
    const std::vector<Obrin::TargetKeyPoint> plain = trainedRecords(photographConfig());
    for (const auto& [border, zShift] : {std::pair<int, double>{30, 0.6}, {0, 0.0}}) {
      TrainingConfig config = photographConfig();
      config.mvgEnabled.value = true;
      config.mvgDebug.value = true;
      config.borderThreshold.value = border;
      config.mvgRenderZShift.value = zShift;
      const std::vector<Obrin::TargetKeyPoint> all = trainedRecords(config);
      ASSERT_GT(all.size(), plain.size() + 1000);
      // A margin wider than the extractor's own 15 pixels is reached on every side.
      double left = 1e9, right = -1e9, top = 1e9, bottom = -1e9;
      for (std::size_t i = plain.size(); i < all.size(); ++i) {
        const double u = std::trunc(all[i].levelZeroPosition.x()), v = std::trunc(all[i].levelZeroPosition.y());
        ASSERT_TRUE(u >= 20 + border && u < 620 - border && v >= border && v < 480 - border)
            << i << ": " << u << ", " << v;
        left = std::min(left, u), right = std::max(right, u), top = std::min(top, v), bottom = std::max(bottom, v);
        EXPECT_EQ(all[i].position, all[i].levelZeroPosition);
      }
      if (border < 15) continue;
      EXPECT_EQ(left, 20 + border);
      EXPECT_EQ(right, 619 - border);
      EXPECT_EQ(top, border);
      EXPECT_EQ(bottom, 479 - border);
    }
    std::set<int> numbers;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      ASSERT_EQ(name.size(), 18u) << name;
      ASSERT_EQ(name.substr(0, 9), "Graf_MVG_");
      ASSERT_EQ(name.substr(14), ".png");
      numbers.insert(std::stoi(name.substr(9, 5)));
      const Lumetra::ImageGray picture = Lumetra::loadImage(entry.path().string(), false);
      EXPECT_EQ(picture.size(), Lumetra::Vec2u(1280, 480));
    }
    ASSERT_EQ(numbers.size(), 52u);
    EXPECT_EQ(*numbers.rbegin() - *numbers.begin(), 51);
  });
}

// A 320 x 240 picture, black but for 4 x 4 white dots centred at (16 i + 7.5, 16 j + 5.5); with
// `ringOnly`, only the dots of the outermost ring, moved out to 2 pixels from the edges, so all
// lie about 10 pixels or more outside the 15 pixels from the edges where corners are kept.
Lumetra::ImageGray dotGrid(bool ringOnly) {
  Lumetra::ImageGray picture(Lumetra::Vec2u(320, 240), Lumetra::Gray8{{0}});
  for (int j = 0; j < 15; ++j) {
    for (int i = 0; i < 20; ++i) {
      int x = 16 * i + 6, y = 16 * j + 4;
      if (ringOnly) {
        if (i > 0 && i < 19 && j > 0 && j < 14) continue;
        x = i == 0 ? 2 : i == 19 ? 314 : x;
        y = j == 0 ? 2 : j == 14 ? 234 : y;
      }
      picture.region(Lumetra::Vec2i(x, y), Lumetra::Vec2u(4, 4)).fill(Lumetra::Gray8{{255}});
    }
  }
  return picture;
}

// The records the synthetic views add for a picture that is the whole training image, taken with
// the built-in camera scaled to the 320 x 240 training resolution and the lens coefficient k1.
std::vector<Obrin::TargetKeyPoint> addedRecords(TrainingConfig config, double k1, const Lumetra::ImageGray& picture) {
  CameraCalibration camera = CameraCalibration::builtIn();
  camera.mFocalLength /= 2.0;
  camera.setDistortion(k1, 0.0, 0.0, 0.0, 0.0);
  const TestSupport::TempDir dir;
  EXPECT_TRUE(Lumetra::saveImage(dotGrid(false), (dir / "dots.png").string(), 0, 100));
  config.trainingResolution.value = {320, 240};
  config.objectPhysicalWidth.value = 0.4;
  config.objectPhysicalHeight.value = 0.3;
  Obrin::ImageTargetTrainer trainer(config, camera);
  EXPECT_TRUE(trainer.train((dir / "dots.png").string(), "Dots"));  // places the picture, sets the camera
  Obrin::TargetGeometry geometry;
  geometry.fill(Eigen::Vector2d(1.0, 1.0));
  Obrin::ImageTargetDetectableData data;
  EXPECT_TRUE(trainer.trainMVG(picture, Eigen::Vector2i(0, 0), geometry, data));
  return data.mKeyPoints;
}

// Mapped back into the training image, the corners found in the views lie on the dots, far above
// the few percent that a wrong mapping leaves there by chance; the lens model plays no part.
TEST(MvgTraining, AddedKeypointsLieOnThePicturesDotsWhateverTheDensityAndTheLens) {
  const TestSupport::LogCapture log;
  std::vector<Obrin::TargetKeyPoint> min;
  for (const char* density : {"MIN", "MODERATE", "MAX"}) {
    TrainingConfig config;
    config.mvgRenderDensity.value = density;
    const std::vector<Obrin::TargetKeyPoint> records = addedRecords(config, 0.0, dotGrid(false));
    std::size_t onDot = 0;
    for (const Obrin::TargetKeyPoint& r : records) {
      const double du = std::remainder(r.levelZeroPosition.x() - 7.5, 16.0);
      const double dv = std::remainder(r.levelZeroPosition.y() - 5.5, 16.0);
      if (std::hypot(du, dv) <= 2.0) ++onDot;
    }
    ASSERT_GT(records.size(), 300u) << density;
    EXPECT_GE(onDot, records.size() * 4 / 5) << density << ": " << onDot << " of " << records.size();
    if (min.empty()) min = records;
  }
  const std::vector<Obrin::TargetKeyPoint> lens = addedRecords(TrainingConfig(), 0.1, dotGrid(false));
  ASSERT_EQ(lens.size(), min.size());
  std::size_t moved = 0;
  for (std::size_t i = 0; i < min.size(); ++i) moved += lens[i].levelZeroPosition != min[i].levelZeroPosition;
  EXPECT_EQ(moved, 0u);
}

// The views' corners are kept by where they land in the training image: when all land closer than
// 15 pixels to its edge, none is kept, though in the views they lie well inside.
TEST(MvgTraining, CornersLandingInTheExtractorBorderOfTheTrainingImageAddNothing) {
  const TestSupport::LogCapture log;
  EXPECT_TRUE(addedRecords(TrainingConfig(), 0.0, dotGrid(true)).empty());
}

struct TrainedFiles {
  std::string cam, config, img;
  std::vector<std::uint8_t> keyPoints;
};

TrainedFiles trainThroughExecutable(const std::string& mvgEnabled) {
  TestSupport::TempDir dir;
  TestSupport::writeFile(dir / "c.json", "{\"Config.Target.Type\": \"Image\", \"Config.Target.Name\": \"Graf\", "
                                         "\"Object.Physical.Width\": 0.5, \"Object.Physical.Height\": 0.4, "
                                         "\"Config.MVG.Enabled\": " + mvgEnabled + "}");
  fs::create_directory(dir / "out");
  const TestSupport::RunResult result =
      TestSupport::runFormwright({(dir / "out").string(), (dir / "c.json").string(), kPhotograph});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "Training successfully finished.\n");
  const fs::path target = dir / "out" / "PALOM_Graf";
  return {TestSupport::readFile(target / "PALOM_IMG_TARGET_CAM.cam"),
          TestSupport::readFile(target / "PALOM_IMG_TARGET_CONFIG.json"),
          TestSupport::readFile(target / "PALOM_IMG_TARGET_IMG.dat"),
          testsupport::readFileBytes(target / "PALOM_IMG_TARGET_KPT.dat")};
}

TEST(MvgTraining, ExecutableAddsRecordsWithObjectPointsAndWithoutADisplayAddsNone) {
  const TrainedFiles off = trainThroughExecutable("false");
  const TrainedFiles on = trainThroughExecutable("true");
  EXPECT_EQ(on.cam, off.cam);
  EXPECT_EQ(on.img, off.img);
  EXPECT_EQ(on.config, off.config);
  // A count of 9 bytes, then records of 112 bytes (the file layout has its own test).
  const std::uint64_t plain = (off.keyPoints.size() - 9) / 112, all = (on.keyPoints.size() - 9) / 112;
  ASSERT_GT(all, plain);
  EXPECT_TRUE(std::equal(off.keyPoints.begin() + 9, off.keyPoints.end(), on.keyPoints.begin() + 9));
  for (std::uint64_t i = plain; i < all; ++i) {
    // Record: three 2-vectors of 8 header bytes and two doubles; the object point is the third.
    testsupport::LittleEndianReader in(std::vector<std::uint8_t>(on.keyPoints.begin() + 9 + 112 * i + 56,
                                                                 on.keyPoints.begin() + 9 + 112 * i + 72));
    const double ox = in.f64(), oy = in.f64();
    ASSERT_FALSE(ox == -1.0 && oy == -1.0) << i;
  }

  const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  unsetenv("DISPLAY");
  const TrainedFiles headless = trainThroughExecutable("true");
  setenv("DISPLAY", display.c_str(), 1);
  EXPECT_EQ(headless.keyPoints, off.keyPoints);
}

}  // namespace
