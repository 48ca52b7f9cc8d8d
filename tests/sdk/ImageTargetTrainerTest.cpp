// The image-target trainer's preparation, score and geometry with their exact values.
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include "Image/ImageIO.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using Obrin::ImageTargetTrainer;

namespace {

TrainingConfig configWith(double width, double height) {
  TrainingConfig c;
  c.objectPhysicalWidth.value = width;
  c.objectPhysicalHeight.value = height;
  return c;
}

Lumetra::ImageGray randomBlocks(std::uint32_t w, std::uint32_t h, unsigned seed) {
  Lumetra::ImageGray image(Lumetra::Vec2u(w, h), Lumetra::Gray8{{90}});
  std::mt19937 rng(seed);
  for (int i = 0; i < 400; ++i) {
    const std::uint32_t x0 = rng() % w, y0 = rng() % h, bw = 4 + rng() % 40, bh = 4 + rng() % 40;
    const std::uint8_t v = static_cast<std::uint8_t>(rng());
    for (std::uint32_t y = y0; y < std::min(h, y0 + bh); ++y)
      for (std::uint32_t x = x0; x < std::min(w, x0 + bw); ++x) image.at(x, y)[0] = v;
  }
  return image;
}

Lumetra::KeyPoint keyPointAt(double x, double y) {
  Lumetra::KeyPoint k;
  k.x = k.x0 = x;
  k.y = k.y0 = y;
  return k;
}

}  // namespace

TEST(ImageTargetTrainer, AdaptedImageFitsOneAxisAndCentresThePicture) {
  struct Case {
    std::uint32_t w, h;
    Eigen::Vector2i offset;
    Obrin::Padding status;
  };
  const std::vector<Case> cases = {
      {1000, 500, {0, 80}, Obrin::Padding::AboveBelow},  // width fitted: scale 0.64, 320 rows, 160 rows of padding
      {500, 500, {80, 0}, Obrin::Padding::LeftRight},    // height fitted: scale 0.96, 480 columns
      {1280, 960, {0, 0}, Obrin::Padding::None},         // same aspect: no padding
      {1200, 960, {20, 0}, Obrin::Padding::LeftRight},
      {641, 480, {0, 0}, Obrin::Padding::None},  // a single padding row halves to no offset
  };
  ImageTargetTrainer trainer(configWith(1.0, 1.0), CameraCalibration::builtIn());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const Lumetra::ImageGray picture(Lumetra::Vec2u(c.w, c.h), Lumetra::Gray8{{200}});
    Lumetra::ImageGray adapted;
    Eigen::Vector2i offset(-1, -1);
    Obrin::Padding status = Obrin::Padding::Unset;
    ASSERT_TRUE(trainer.makeAdaptedImage(picture, adapted, offset, status));
    EXPECT_EQ(offset, c.offset);
    EXPECT_EQ(status, c.status);
    ASSERT_EQ(adapted.size(), Lumetra::Vec2u(640, 480));
    // Black padding, the picture inside it.
    if (c.offset.y() > 0) {
      EXPECT_EQ(adapted.at(320, 0)[0], 0);
      EXPECT_EQ(adapted.at(320, static_cast<std::uint32_t>(c.offset.y()) - 1)[0], 0);
      EXPECT_EQ(adapted.at(320, static_cast<std::uint32_t>(c.offset.y()))[0], 200);
      EXPECT_EQ(adapted.at(320, 479)[0], 0);
    }
    if (c.offset.x() > 0) {
      EXPECT_EQ(adapted.at(static_cast<std::uint32_t>(c.offset.x()) - 1, 240)[0], 0);
      EXPECT_EQ(adapted.at(static_cast<std::uint32_t>(c.offset.x()), 240)[0], 200);
      EXPECT_EQ(adapted.at(639, 240)[0], 0);
    }
    EXPECT_EQ(adapted.at(320, 240)[0], 200);
  }
}

TEST(ImageTargetTrainer, PortraitsAreTurnedAndEarlierResultsKept) {
  TestSupport::TempDir dir;
  const auto save = [&](const std::string& name, const Lumetra::ImageGray& picture) {
    const std::string path = (dir / name).string();
    EXPECT_TRUE(Lumetra::savePGM(picture, path));
    return path;
  };
  // A portrait picture is turned; its configured size turns with it.
  ImageTargetTrainer turned(configWith(0.3, 0.4), CameraCalibration::builtIn());
  ASSERT_TRUE(turned.train(save("portrait.pgm", randomBlocks(480, 640, 3)), "P"));
  const auto* data = turned.getTarget("P");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->mTargetPhysicalSize, Eigen::Vector2d(0.4, 0.3));
  EXPECT_EQ(turned.paddingStatus(), Obrin::Padding::None);
  EXPECT_EQ(data->mImages.at(0).width, 640u);

  // A flat picture has no keypoints: the training succeeds with no heat map.
  const std::string flat =
      save("flat.pgm", Lumetra::ImageGray(Lumetra::Vec2u(640, 480), Lumetra::Gray8{{77}}));
  const std::string textured = save("textured.pgm", randomBlocks(640, 480, 9));
  ImageTargetTrainer trainer(configWith(0.4, 0.3), CameraCalibration::builtIn());
  ASSERT_TRUE(trainer.train(flat, "Flat"));
  EXPECT_TRUE(trainer.getTarget("Flat")->mKeyPoints.empty());
  EXPECT_TRUE(trainer.heatMapImage().isEmpty());

  ASSERT_TRUE(trainer.train(textured, "E"));
  const auto* first = trainer.getTarget("E");
  for (const auto& k : first->mKeyPoints) ASSERT_NE(k.objectPoint, Eigen::Vector2d(-1.0, -1.0));
  EXPECT_EQ(trainer.heatMapImage().size(), Lumetra::Vec2u(640, 480));
  // The colours of both pictures are the heat map's own test.
  EXPECT_EQ(trainer.overlayImage().size(), Lumetra::Vec2u(640, 480));
  // A second training under the same name keeps the first result; one without keypoints keeps
  // the earlier heat map.
  ASSERT_TRUE(trainer.train(textured, "E"));
  EXPECT_EQ(trainer.getTarget("E"), first);
  ASSERT_TRUE(trainer.train(flat, "Flat2"));
  EXPECT_FALSE(trainer.heatMapImage().isEmpty());
  EXPECT_FALSE(trainer.saveTarget("never-trained", dir.path().string()));
}

TEST(ImageTargetTrainer, RotationIsClockwise) {
  Lumetra::ImageGray picture(Lumetra::Vec2u(2, 3), Lumetra::Gray8{{0}});
  std::uint8_t v = 1;
  for (std::uint32_t y = 0; y < 3; ++y)
    for (std::uint32_t x = 0; x < 2; ++x) picture.at(x, y)[0] = v++;
  // 1 2        5 3 1
  // 3 4   ->   6 4 2
  // 5 6
  const Lumetra::ImageGray turned = Obrin::rotateClockwise(picture);
  ASSERT_EQ(turned.width, 3u);
  ASSERT_EQ(turned.height, 2u);
  const std::uint8_t expected[2][3] = {{5, 3, 1}, {6, 4, 2}};
  for (std::uint32_t y = 0; y < 2; ++y)
    for (std::uint32_t x = 0; x < 3; ++x) EXPECT_EQ(turned.at(x, y)[0], expected[y][x]);
}

TEST(ImageTargetTrainer, TrackabilityScore) {
  TrainingConfig config = configWith(1.0, 1.0);
  config.fastNumber.value = 120;  // quota 10 per cell of the 4 x 3 grid
  ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
  // Cells are (640 - 30) / 4 = 152.5 wide and (480 - 30) / 3 = 150 high, from (15, 15).
  std::vector<Lumetra::KeyPoint> everywhere;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 3; ++r)
      for (int i = 0; i < 10; ++i) everywhere.push_back(keyPointAt(15 + 152.5 * c + 1 + i, 15 + 150.0 * r + 1));
  EXPECT_EQ(trainer.computeTrackabilityScore(everywhere), 1.0f);

  std::vector<Lumetra::KeyPoint> oneCell(100, keyPointAt(20, 20));
  EXPECT_EQ(trainer.computeTrackabilityScore(oneCell), 1.0f / 12.0f);

  // Half the quota in one cell; a keypoint right of the last boundary counts in the last column.
  std::vector<Lumetra::KeyPoint> half(5, keyPointAt(630, 470));
  EXPECT_EQ(trainer.computeTrackabilityScore(half), (5.0f / 10.0f) / 12.0f);
  EXPECT_EQ(trainer.computeTrackabilityScore({}), 0.0f);
}

TEST(ImageTargetTrainer, GeometryWithoutDistortion) {
  const CameraCalibration camera = CameraCalibration::builtIn();
  const double fx = camera.mFocalLength.x(), fy = camera.mFocalLength.y();

  // The training camera is centred on the training image.
  ImageTargetTrainer trainer(configWith(0.4, 0.3), camera);
  Obrin::TargetGeometry g;
  trainer.computeTargetGeometry(Eigen::Vector2d(0.4, 0.3), Eigen::Vector2d(640, 480), Eigen::Vector2d(0, 0), g);
  // The constructor keeps the calibration's principal point until training sets the camera,
  // which for the built-in intrinsics is the centre as well.
  EXPECT_EQ(g[2], Eigen::Vector2d(0.0, 0.0));
  const Eigen::Vector2d t(-320.0 * (1.0 / fx), -240.0 * (1.0 / fy));
  const Eigen::Vector2d b(319.0 * (1.0 / fx), 239.0 * (1.0 / fy));
  const Eigen::Vector2d f(0.4 / (b.x() - t.x()), 0.3 / (b.y() - t.y()));
  EXPECT_EQ(g[3], f);
  EXPECT_EQ(g[0], Eigen::Vector2d(t.x() * f.x(), t.y() * f.y()));
  EXPECT_EQ(g[1], Eigen::Vector2d(b.x() * f.x(), b.y() * f.y()));

  // Without a configured size the picture is one unit wide and keeps its aspect.
  ImageTargetTrainer unit(TrainingConfig(), camera);
  unit.computeTargetGeometry(Eigen::Vector2d(1, 1), Eigen::Vector2d(640, 480), Eigen::Vector2d(80, 0), g);
  EXPECT_NEAR(g[1].x() - g[0].x(), 1.0, 1e-15);
  EXPECT_NEAR(g[1].y() - g[0].y(), 480.0 / 480.0, 1e-15);

  // Corner correspondences before any training: the padding is not known yet.
  std::vector<Eigen::Vector3d> objectPoints;
  std::vector<Eigen::Vector2d> imagePoints;
  EXPECT_FALSE(trainer.getCornerCorrespondences(g, Eigen::Vector2i(0, 0), objectPoints, imagePoints));
}

TEST(ImageTargetTrainer, CornerCorrespondencesFollowThePadding) {
  TestSupport::TempDir dir;
  const std::string wide = (dir / "wide.pgm").string();
  ASSERT_TRUE(Lumetra::savePGM(randomBlocks(1000, 500, 5), wide));
  ImageTargetTrainer trainer(configWith(2.0, 1.0), CameraCalibration::builtIn());
  ASSERT_TRUE(trainer.train(wide, "W"));
  const auto* data = trainer.getTarget("W");
  const Obrin::TargetGeometry g = {data->mTargetLeftTopObjPoint, data->mTargetRightBottomObjPoint,
                                   data->mTargetCenter, data->mFactorFromImageToPhysics};
  std::vector<Eigen::Vector3d> objectPoints;
  std::vector<Eigen::Vector2d> imagePoints;
  ASSERT_TRUE(trainer.getCornerCorrespondences(g, trainer.pictureOffset(), objectPoints, imagePoints));
  ASSERT_EQ(imagePoints.size(), 4u);
  EXPECT_EQ(imagePoints[0], Eigen::Vector2d(0, 80));
  EXPECT_EQ(imagePoints[1], Eigen::Vector2d(639, 80));
  EXPECT_EQ(imagePoints[2], Eigen::Vector2d(639, 399));
  EXPECT_EQ(imagePoints[3], Eigen::Vector2d(0, 399));
  EXPECT_EQ(objectPoints[0], Eigen::Vector3d(g[0].x() / g[3].x(), g[0].y() / g[3].y(), 0.0));
  EXPECT_EQ(objectPoints[2], Eigen::Vector3d(g[1].x() / g[3].x(), g[1].y() / g[3].y(), 0.0));
  // The stored size adds the padding at the picture's own scale: 2 x (1 + 160 / 320).
  EXPECT_DOUBLE_EQ(data->mTargetPhysicalSize.y(), 1.0 + 80 * 2.0 * (1000.0 / 640.0) * (2.0 / 1000.0));
  EXPECT_EQ(data->mTargetPhysicalSize.x(), 2.0);
}

TEST(ImageTargetTrainer, RefusedConfigurations) {
  const std::vector<std::pair<void (*)(TrainingConfig&), bool>> cases = {
      {[](TrainingConfig& c) { c.pyramidResizeRatio.value = std::nan(""); }, false},
      {[](TrainingConfig& c) { c.pyramidLevel.value = 256; }, false},
      {[](TrainingConfig& c) { c.objectPhysicalHeight.value = -0.3; }, false},
      // The default 4 x 3 grid needs a pixel per cell inside the 15-pixel margins.
      {[](TrainingConfig& c) { c.trainingResolution.value = {34, 33}; }, true},
      {[](TrainingConfig& c) { c.trainingResolution.value = {33, 33}; }, false},
  };
  for (const auto& [change, accepted] : cases) {
    TrainingConfig c = configWith(0.4, 0.3);
    change(c);
    EXPECT_EQ(ImageTargetTrainer::checkConfiguration(c).empty(), accepted);
  }
}

TEST(ImageTargetTrainer, MultipleViewExtractionUsesItsOwnSettings) {
  TrainingConfig config = configWith(0.4, 0.3);
  config.mvgExtractorNumber.value = 300;
  config.mvgExtractorMinDist.value = 7;
  config.mvgGridRow.value = 2;
  config.mvgGridCol.value = 3;
  const ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
  EXPECT_EQ(trainer.mvgExtractorParameters().numCorners, 300u);
  EXPECT_EQ(trainer.mvgExtractorParameters().minDistance, 7);
  EXPECT_EQ(trainer.mvgExtractorParameters().rows, 2);
  EXPECT_EQ(trainer.mvgExtractorParameters().cols, 3);
}
