#include "Detection/PoseSampling.h"

#include <gtest/gtest.h>

#include <cmath>

using Lumetra::TrainerSettings;
using Symmetry = CadModelDescription::DiscreteSymmetry;
using V3 = Eigen::Vector3f;

namespace {

Symmetry turnAboutZ(float degrees) {
  Symmetry s;
  s.rotation = Eigen::Quaternionf(Eigen::AngleAxisf(degrees * 3.14159265f / 180.0f, V3::UnitZ()));
  return s;
}

V3 cameraCentre(const TrainingPose& pose) { return -(pose.rotation.conjugate() * pose.translation); }

}  // namespace

TEST(PoseSampling, DirectionCounts) {
  const TrainerSettings record;
  EXPECT_EQ(Lumetra::directionCount(2000, 0, record.elevationMin, record.elevationMax), 5999);
  // The configuration converts its degrees in double and stores floats.
  const float low = static_cast<float>(10.0 * 3.141592653589793 / 180.0);
  const float high = static_cast<float>(70.0 * 3.141592653589793 / 180.0);
  EXPECT_EQ(Lumetra::directionCount(2000, 0, low, high), 6000);
  EXPECT_EQ(Lumetra::directionCount(2000, 3, low, high), 18000);
  // Limits that differ in double but not as floats make an empty band.
  EXPECT_EQ(Lumetra::directionCount(2000, 0, static_cast<float>(0.5), static_cast<float>(0.5 + 1e-12)), std::nullopt);
}

TEST(PoseSampling, DefaultsGiveFourInPlaneTurnsPerPositionInTheShellAndBand) {
  TrainerSettings settings;
  settings.seedGiven = true;
  settings.seed = 11;
  const V3 centroid(0.01f, -0.02f, 0.03f);
  for (int mode : {0, 1}) {
    settings.selectionMode = mode;
    const auto poses = Lumetra::sampleTrainingPoses(settings, centroid, CadModelDescription{});
    ASSERT_EQ(poses.size(), 2000u);
    for (std::size_t i = 0; i < poses.size(); i += 4) {
      const V3 eye = cameraCentre(poses[i]);
      const float radius = (eye - centroid).norm();
      EXPECT_TRUE(radius >= 0.3f - 1e-5f && radius <= 0.6f + 1e-5f) << radius;
      const float elevation = std::asin(eye.normalized().z());
      EXPECT_TRUE(elevation > 0.1745f && elevation < 1.2218f) << elevation;
      for (int k = 0; k < 4; ++k) {  // -20, -10, 0, 10 degrees about the viewing axis
        EXPECT_LT((cameraCentre(poses[i + k]) - eye).norm(), 1e-5f);
        const Eigen::AngleAxisf turn(poses[i + k].rotation * poses[i + 2].rotation.conjugate());
        EXPECT_NEAR(turn.angle() * (turn.axis().z() < 0 ? -1.0f : 1.0f), (k - 2) * 0.17453294f, 1e-4f);
      }
    }
  }
  settings.selectionMode = 2;
  EXPECT_TRUE(Lumetra::sampleTrainingPoses(settings, centroid, CadModelDescription{}).empty());
}

TEST(PoseSampling, CapsAndEmptyInPlaneRange) {
  TrainerSettings settings;
  settings.numTemplates = 51;  // 102 views: 25 positions with 4 turns, then 2 turns of the 26th
  EXPECT_EQ(Lumetra::sampleTrainingPoses(settings, V3::Zero(), CadModelDescription{}).size(), 102u);
  settings.numTemplates = 1000;
  CadModelDescription folded;  // a thin shell folded onto x = 0 keeps only a handful of positions
  folded.continuousSymmetries.push_back({V3::UnitZ(), V3::Zero()});
  settings.minRadius = 0.5f;
  settings.maxRadius = 0.5001f;
  const std::size_t few = Lumetra::sampleTrainingPoses(settings, V3::Zero(), folded).size();
  EXPECT_TRUE(few < 2000 && few % 4 == 0) << few;
  settings.inPlaneMax = settings.inPlaneMin;
  EXPECT_TRUE(Lumetra::sampleTrainingPoses(settings, V3::Zero(), CadModelDescription{}).empty());
  settings.inPlaneMax = 1.0f;
  settings.inPlaneStep = 0.0f;  // a step that never advances gives one turn, not an endless loop
  EXPECT_EQ(Lumetra::sampleTrainingPoses(settings, V3::Zero(), CadModelDescription{}).size(), 2000u);
}

TEST(PoseSampling, ElevationBand) {
  const TrainerSettings settings;  // 10 to 70 degrees
  const V3 up = V3::UnitZ();
  auto at = [](float degrees) { return V3(std::cos(degrees * 0.0174532925f), 0.0f, std::sin(degrees * 0.0174532925f)); };
  EXPECT_TRUE(Lumetra::isOutsideElevationRange(up, settings, at(9.9f)));
  EXPECT_FALSE(Lumetra::isOutsideElevationRange(up, settings, at(10.1f)));
  EXPECT_FALSE(Lumetra::isOutsideElevationRange(up, settings, 3.0f * at(69.9f)));
  EXPECT_TRUE(Lumetra::isOutsideElevationRange(up, settings, at(70.1f)));
  // Straight above, with a cosine that rounds to just over 1.
  const V3 tilted(0.01f, 0.09f, 1.0f);
  EXPECT_TRUE(Lumetra::isOutsideElevationRange(tilted.normalized(), settings, tilted));
  std::vector<V3> positions{at(5.0f), at(20.0f), at(80.0f), at(30.0f)};
  positions.erase(Lumetra::removeOutsideElevationRange(positions, up, settings), positions.end());
  EXPECT_EQ(positions, (std::vector<V3>{at(20.0f), at(30.0f)}));
}

TEST(PoseSampling, DiscreteSymmetryRules) {
  const V3 p(0.3f, 0.2f, 0.1f), q(-0.3f, -0.2f, 0.1f), r(0.0f, 0.4f, 0.2f);
  std::vector<V3> pair{p, q, r};  // q is p turned by 180 degrees: one of the two stays
  Lumetra::dropSymmetricDuplicates(pair, turnAboutZ(180.0f));
  EXPECT_EQ(pair, (std::vector<V3>{q, r}));
  for (float turn : {0.0f, 360.0f, 720.0f}) {  // the identity drops nothing
    std::vector<V3> all{p, q, r};
    Lumetra::dropSymmetricDuplicates(all, turnAboutZ(turn));
    EXPECT_EQ(all.size(), 3u) << turn;
  }
  std::vector<V3> mapped{p, q, r};  // q's image is p itself; r's image is farther from p than r
  Lumetra::mapToNearestSymmetricImage(mapped, {turnAboutZ(180.0f)});
  EXPECT_LT((mapped[1] - p).norm(), 1e-6f);
  EXPECT_EQ(mapped[2], r);
}

TEST(PoseSampling, ContinuousSymmetryFolds) {
  struct Case { V3 axis; V3 in; bool kept; V3 out; };
  const V3 other = V3(1.0f, 1.0f, 0.0f).normalized();
  const Case cases[] = {
      {V3::UnitZ(), {0.3f, 0.4f, 0.1f}, true, {0.0f, 0.4f, 0.1f}},
      {V3::UnitZ(), {0.3f, -0.4f, 0.1f}, false, {}},
      {V3::UnitZ(), {0.45f, 0.0f, 0.0f}, true, {0.45f, 0.0f, 0.0f}},  // on the axis: kept as |p|
      {V3::UnitZ(), {0.9f, 0.1f, 0.1f}, false, {}},                   // folded radius below 0.3
      {V3::UnitX(), {0.3f, 0.4f, -0.4f}, false, {}},
      {V3::UnitX(), {0.3f, 0.4f, 0.4f}, true, {0.3f, 0.0f, 0.4f}},
      {V3::UnitY(), {-0.3f, 0.4f, 0.4f}, false, {}},
      {V3::UnitY(), {0.3f, 0.4f, 0.4f}, true, {0.3f, 0.4f, 0.0f}},
      {other, {0.3f, -0.4f, 0.1f}, true, {0.0f, -0.4f, 0.1f}},
  };
  for (const Case& c : cases) {
    std::vector<V3> positions{c.in};
    Lumetra::foldContinuousSymmetry(positions, c.axis, 0.3f, 0.6f);
    EXPECT_EQ(positions, c.kept ? std::vector<V3>{c.out} : std::vector<V3>{}) << c.in.transpose();
  }
}

TEST(PoseSampling, LookAt) {
  struct Case { V3 eye; V3 up; V3 usedUp; };  // an up vector along the view is replaced
  const Case cases[] = {{{0.5f, 0.0f, 0.0f}, V3::UnitZ(), V3::UnitZ()},
                        {{0.0f, 0.0f, 0.4f}, V3::UnitZ(), V3::UnitY()},
                        {{0.0f, 0.3f, 0.0f}, V3::UnitY(), V3::UnitZ()}};
  for (const Case& c : cases) {
    const TrainingPose pose = Lumetra::lookAt(c.eye, V3::Zero(), c.up);
    EXPECT_NEAR(pose.rotation.norm(), 1.0f, 1e-6f);
    EXPECT_LT((cameraCentre(pose) - c.eye).norm(), 1e-6f);
    const V3 origin = pose.rotation * V3::Zero() + pose.translation;  // straight ahead
    EXPECT_LT((origin - V3(0.0f, 0.0f, c.eye.norm())).norm(), 1e-6f) << c.eye.transpose();
    const V3 cameraY = pose.rotation.conjugate() * V3::UnitY();
    EXPECT_LT(cameraY.dot(c.usedUp), -1e-3f) << c.eye.transpose();
    EXPECT_NEAR(cameraY.dot(c.eye), 0.0f, 1e-6f);
  }
}
