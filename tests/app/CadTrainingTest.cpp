// The CAD sampling settings and symmetries taken from the configuration, and the Euler-angle
// rotation of the discrete symmetries.
#include "CadTraining.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

using Settings = Lumetra::Linemod::LinemodTrainer::Settings;

struct Row {
  const char* name;
  std::function<void(TrainingConfig&)> set;
  std::string lines;  // what the call prints
  bool accepted;
  std::function<void(const Settings&, const CadModelDescription&)> check = nullptr;
};

const std::string kViews = ") is less than or equal to 0 or exceeds maximum of 10000\n";

std::vector<Eigen::Vector3f> axes(const CadModelDescription& d) {
  std::vector<Eigen::Vector3f> out;
  for (const auto& s : d.continuousSymmetries) {
    EXPECT_EQ(s.point, Eigen::Vector3f::Zero());
    out.push_back(s.axis);
  }
  return out;
}

TEST(ConfigureCadTraining, RefusesOrFillsTheSettingsAndSymmetries) {
  const Eigen::Vector3f X = Eigen::Vector3f::UnitX(), Y = Eigen::Vector3f::UnitY(), Z = Eigen::Vector3f::UnitZ();
  const Row rows[] = {
      {"NoRadii", [](auto& c) { c.cadDetectionDistanceRange.value = {}; },
       "Configuration Error: No sampling radii set\n", false},
      {"OneRadius", [](auto& c) { c.cadDetectionDistanceRange.value = {0.3}; },
       "Configuration Error: Two radii are necessary (minimum and maximum)\n", false},
      {"MinimumAboveMaximum", [](auto& c) { c.cadDetectionDistanceRange.value = {0.6, 0.5}; },
       "Configuration Error: Minimum radius needs to be smaller or equal to maximum radius\n", false},
      {"EqualRadii", [](auto& c) { c.cadDetectionDistanceRange.value = {0.5, 0.5}; }, "", true,
       [](const Settings& s, const CadModelDescription&) {
         EXPECT_EQ(s.minRadius, 0.5f);
         EXPECT_EQ(s.maxRadius, 0.5f);
       }},
      {"ZeroRadius", [](auto& c) { c.cadDetectionDistanceRange.value = {0.0, 0.5}; },
       "Configuration Error: Radii [0, 0.5] must be finite and positive\n", false},
      {"RadiiBeyondFloat", [](auto& c) { c.cadDetectionDistanceRange.value = {1e39, 1e40}; },
       "Configuration Error: Radii [1e+39, 1e+40] must be finite and positive\n", false},
      {"ZeroViews", [](auto& c) { c.cadDetectionNumTrainingViews.value = 0; },
       "Configuration Error: Number of views (0" + kViews, false},
      {"NegativeViews", [](auto& c) { c.cadDetectionNumTrainingViews.value = -5; },
       "Configuration Error: Number of views (-5" + kViews, false},
      {"TooManyViews", [](auto& c) { c.cadDetectionNumTrainingViews.value = 10001; },
       "Configuration Error: Number of views (10001" + kViews, false},
      {"OneView", [](auto& c) { c.cadDetectionNumTrainingViews.value = 1; }, "", true,
       [](const Settings& s, const CadModelDescription&) { EXPECT_EQ(s.numTemplates, 1); }},
      {"MostViewsWithFullElevation",
       [](auto& c) {
         c.cadDetectionNumTrainingViews.value = 10000;
         c.cadDetectionElevationAngleRange.value = {-90, 90};
       },
       "", true,
       [](const Settings& s, const CadModelDescription&) {
         EXPECT_EQ(s.numTemplates, 10000);
         EXPECT_EQ(s.elevationMin, static_cast<float>(-90.0 * 3.14159265358979323846 / 180.0));
         EXPECT_EQ(s.elevationMax, static_cast<float>(90.0 * 3.14159265358979323846 / 180.0));
       }},
      {"OneElevation", [](auto& c) { c.cadDetectionElevationAngleRange.value = {10}; },
       "Configuration Error: Elevation range need to contain 2 values\n", false},
      {"ElevationBeyond90", [](auto& c) { c.cadDetectionElevationAngleRange.value = {10, 95}; },
       "Configuration Error: Elevation values must be within [-90, 90] degrees\n", false},
      {"EqualElevations", [](auto& c) { c.cadDetectionElevationAngleRange.value = {10, 10}; },
       "Configuration Error: Elevation minimum value needs to be smaller than the maximum value\n", false},
      {"ElevationsSwapped", [](auto& c) { c.cadDetectionElevationAngleRange.value = {70, 10}; },
       "Configuration Error: Elevation minimum value needs to be smaller than the maximum value\n", false},
      {"ElevationBandTooNarrowForTheViews",
       [](auto& c) {
         c.cadDetectionNumTrainingViews.value = 10000;
         c.cadDetectionElevationAngleRange.value = {10, 10.001};
       },
       "Configuration Error: Elevation range [10, 10.001] is too narrow for 10000 views: sampling would draw more "
       "than 10000000 camera directions\n",
       false},
      {"ContinuousXYZ", [](auto& c) { c.cadModelContinuousSymmetries.value = "XYZ"; }, "", true,
       [=](const Settings&, const CadModelDescription& d) { EXPECT_EQ(axes(d), (std::vector{X, Y, Z})); }},
      {"ContinuousRepeatedZ", [](auto& c) { c.cadModelContinuousSymmetries.value = "zz"; }, "", true,
       [=](const Settings&, const CadModelDescription& d) { EXPECT_EQ(axes(d), (std::vector{Z})); }},
      {"ContinuousWithOtherCharacters", [](auto& c) { c.cadModelContinuousSymmetries.value = "Z-axis"; },
       "Ignoring axis {-} for continuous symmetries\nIgnoring axis {a} for continuous symmetries\n"
       "Ignoring axis {i} for continuous symmetries\nIgnoring axis {s} for continuous symmetries\n",
       true, [=](const Settings&, const CadModelDescription& d) { EXPECT_EQ(axes(d), (std::vector{Z, X})); }},
      {"ContinuousNonAsciiBytes", [](auto& c) { c.cadModelContinuousSymmetries.value = "\xc3\x98y"; },
       "Ignoring axis {\xc3} for continuous symmetries\nIgnoring axis {\x98} for continuous symmetries\n", true,
       [=](const Settings&, const CadModelDescription& d) { EXPECT_EQ(axes(d), (std::vector{Y})); }},
      {"DiscreteZeros", [](auto& c) { c.cadModelDiscreteSymmetries.value = {0, 0, 0}; }, "", true,
       [](const Settings&, const CadModelDescription& d) { EXPECT_TRUE(d.discreteSymmetries.empty()); }},
      {"DiscreteTwoValues", [](auto& c) { c.cadModelDiscreteSymmetries.value = {90, 0}; },
       "For discrete symmetries 3 values must be provided.\n", false},
      {"DiscreteAngleBeyondFloat", [](auto& c) { c.cadModelDiscreteSymmetries.value = {1e300, 0, 0}; },
       "Configuration Error: Discrete symmetry angle 1e+300 is not finite\n", false},
      {"DiscreteHalfTurnsAboutXAndZ", [](auto& c) { c.cadModelDiscreteSymmetries.value = {180, 0, 180}; }, "", true,
       [](const Settings&, const CadModelDescription& d) {
         ASSERT_EQ(d.discreteSymmetries.size(), 2u);
         EXPECT_TRUE(d.discreteSymmetries[0].rotation.isApprox(Eigen::Quaternionf(0, 1, 0, 0), 1e-6f));
         EXPECT_TRUE(d.discreteSymmetries[1].rotation.isApprox(Eigen::Quaternionf(0, 0, 0, 1), 1e-6f));
         EXPECT_EQ(d.discreteSymmetries[1].translation, Eigen::Vector3f::Zero());
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TrainingConfig config;
    row.set(config);
    Settings settings;
    CadModelDescription description;
    testing::internal::CaptureStdout();
    const bool accepted = configureCadTraining(config, settings, description);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.lines);
    EXPECT_EQ(accepted, row.accepted);
    if (row.check) row.check(settings, description);
  }
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
