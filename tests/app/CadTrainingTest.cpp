// The CAD sampling settings and symmetries taken from the configuration (the refused values are
// checked through the executable), and the Euler-angle rotation of the discrete symmetries.
#include "CadSettings.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct Row {  // the view count and symmetries; the lines the check returns; the axes it keeps
  int views; std::string continuous; std::vector<double> discrete; std::vector<std::string> lines; std::string axes;
};

std::string ignored(const std::string& c) { return "Ignoring axis {" + c + "} for continuous symmetries"; }

TEST(ConfigureCadTraining, FillsTheSettingsAndSymmetries) {
  const Row rows[] = {
      {1, "XYZ", {}, {}, "xyz"},
      {9, "zz", {}, {}, "z"},
      {9, "\xc3\x98y", {}, {ignored("\xc3"), ignored("\x98")}, "y"},
      {9, "", {0, 0, 0}, {}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.continuous);
    TrainingConfig config;
    config.cadDetectionDistanceRange.value = {0.3, 0.5};
    config.cadDetectionElevationAngleRange.value = {10, 70};
    config.cadDetectionNumTrainingViews.value = row.views;
    config.cadModelContinuousSymmetries.value = row.continuous;
    config.cadModelDiscreteSymmetries.value = row.discrete;
    Lumetra::Linemod::LinemodTrainer::Settings settings;
    CadModelDescription description;
    const CadSettingsCheck check = configureCadTraining(config, settings, description);
    EXPECT_TRUE(check.usable && check.lines == row.lines);
    std::string axes;
    for (const auto& s : description.continuousSymmetries) {
      for (int i = 0; i < 3; ++i) axes += s.axis == Eigen::Vector3f::Unit(i) ? std::string(1, 'x' + i) : "";
      EXPECT_EQ(s.point, Eigen::Vector3f::Zero());
    }
    EXPECT_EQ(axes, row.axes);
    EXPECT_TRUE(description.discreteSymmetries.empty());  // no turn at all is no symmetry
  }
}

TEST(ConfigureCadTraining, StoresTheLimitsInSinglePrecisionAndRadians) {
  TrainingConfig config;
  config.cadDetectionDistanceRange.value = {0.5, 0.5};
  config.cadDetectionNumTrainingViews.value = 10000;
  config.cadDetectionElevationAngleRange.value = {-90, 90};
  config.cadModelDiscreteSymmetries.value = {180, 0, 180};
  Lumetra::Linemod::LinemodTrainer::Settings s;
  CadModelDescription d;
  ASSERT_TRUE(configureCadTraining(config, s, d).usable);
  EXPECT_TRUE(s.minRadius == 0.5f && s.maxRadius == 0.5f && s.numTemplates == 10000);
  EXPECT_EQ(s.elevationMin, static_cast<float>(-90.0 * 3.14159265358979323846 / 180.0));
  ASSERT_EQ(d.discreteSymmetries.size(), 2u);  // half turns about x and about z
  EXPECT_TRUE(d.discreteSymmetries[0].rotation.isApprox(Eigen::Quaternionf(0, 1, 0, 0), 1e-6f));
  EXPECT_TRUE(d.discreteSymmetries[1].rotation.isApprox(Eigen::Quaternionf(0, 0, 0, 1), 1e-6f));
}

TEST(EulerToQuaternion, IsTheProductOfTheAxisRotationsZThenYThenX) {
  for (const auto& [x, y, z] : {std::tuple{0.3f, -1.2f, 2.5f}, {3.1415927f, 0.0f, 3.1415927f}, {-0.7f, 0.4f, 0.0f}}) {
    // qz (0, 0, sz, cz) times qy (0, sy, 0, cy), then times qx (sx, 0, 0, cx), written out.
    const float cx = std::cos(x / 2.0f), sx = std::sin(x / 2.0f), cy = std::cos(y / 2.0f), sy = std::sin(y / 2.0f);
    const float cz = std::cos(z / 2.0f), sz = std::sin(z / 2.0f);
    const float w = cz * cy, a = -(sz * sy), b = cz * sy, c = sz * cy;
    const Eigen::Quaternionf q = eulerToQuaternion(x, y, z);
    EXPECT_EQ(q.w(), w * cx - a * sx);
    EXPECT_EQ(q.x(), w * sx + a * cx);
    EXPECT_EQ(q.y(), b * cx + c * sx);
    EXPECT_EQ(q.z(), c * cx - b * sx);
  }
}

}  // namespace
