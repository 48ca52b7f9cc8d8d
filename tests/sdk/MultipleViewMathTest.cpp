// The multiple view generator's geometry without a window: pose tables and the projection matrix.
#include "ObjectTracker/Trainer/Image/MultipleViewGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

double degrees(double radians) { return radians * 180.0 / 3.14159265358979323846; }

// The MIN table, row by row, to four decimals.
const char* const kMinRows[] = {
    "26.2866 0.0000 42.5325",     "8.1230 25.0000 42.5325",     "-21.2663 15.4508 42.5325",
    "-21.2663 -15.4509 42.5325",  "8.1230 -25.0000 42.5325",    "34.4095 25.0000 26.2866",
    "-13.1433 40.4508 26.2866",   "-42.5325 0.0000 26.2866",    "-13.1433 -40.4509 26.2866",
    "34.4095 -25.0000 26.2866",   "44.7214 0.0000 22.3607",     "13.8197 42.5325 22.3607",
    "-36.1803 26.2866 22.3607",   "-36.1803 -26.2866 22.3607",  "13.8197 -42.5325 22.3607",
    "47.5528 15.4509 0.0000",     "29.3893 40.4509 0.0000",     "0.0000 50.0000 0.0000",
    "-29.3893 40.4509 0.0000",    "-47.5528 15.4508 0.0000",    "-47.5528 -15.4508 0.0000",
    "-29.3893 -40.4509 0.0000",   "0.0000 -50.0000 0.0000",     "29.3893 -40.4508 0.0000",
    "47.5528 -15.4508 0.0000",    "-47.5528 15.4508 0.0000"};

struct TableCase {
  Obrin::PoseDensity density;
  std::vector<std::pair<double, int>> rings;  // elevation in degrees: count
  std::map<int, std::string> rows;            // rows known in full
};

TEST(MvgPoseTables, RingsRowsAndZenithAsTabled) {
  std::vector<TableCase> cases = {
      {Obrin::PoseDensity::Min,
       {{58.28, 5}, {31.72, 5}, {26.57, 5}, {0, 11}},
       {}},
      {Obrin::PoseDensity::Moderate,
       {{90, 1}, {74.14, 4}, {63.43, 5}, {58.28, 5}, {46.35, 10}, {42.42, 5}, {31.72, 5}, {30.38, 10}, {26.57, 5},
        {16.05, 10}, {13.44, 10}, {0, 20}},
       {{0, "4.2222 12.9946 48.0969"}, {1, "26.2866 -0.000007 42.5325"}, {13, "0 -0.000008 50"}}},
      {Obrin::PoseDensity::Max,
       {{90, 1},     {79.43, 4},  {72.62, 5},  {68.85, 5},  {62.81, 10}, {58.28, 5},  {52.46, 5},  {50.77, 10},
        {47.71, 5},  {41.66, 10}, {40.22, 10}, {37.14, 5},  {31.72, 5},  {31.12, 10}, {29.36, 10}, {26.57, 5},
        {21.33, 10}, {19.96, 10}, {17.87, 10}, {10.97, 5},  {10.72, 10}, {9.19, 5},   {8.98, 10},  {0, 28}},
       {{0, "2.8349 8.7250 49.1512"}, {1, "18.0365 -0.000008 46.6335"}, {26, "0 -0.000008 50"}}},
  };
  for (int row = 0; row < 26; ++row) cases[0].rows[row] = kMinRows[row];
  for (const TableCase& c : cases) {
    const Obrin::PoseTable table = Obrin::poseTable(c.density);
    std::vector<int> counts(c.rings.size(), 0);
    std::size_t expectedSize = 0;
    for (const auto& ring : c.rings) expectedSize += static_cast<std::size_t>(ring.second);
    ASSERT_EQ(table.size, expectedSize);
    for (std::size_t i = 0; i < table.size; ++i) {
      const Eigen::Vector3d p(table.rows[i][0], table.rows[i][1], table.rows[i][2]);
      EXPECT_NEAR(p.norm(), 50.0, 1e-3) << i;
      EXPECT_GE(p.z(), -1e-5) << i;
      const double elevation = degrees(std::asin(std::min(1.0, p.z() / p.norm())));
      // The rings lie further apart than the tolerance: a row outside all of them leaves one short.
      for (std::size_t r = 0; r < c.rings.size(); ++r) {
        if (std::abs(elevation - c.rings[r].first) <= 0.0051) ++counts[r];
      }
    }
    for (std::size_t r = 0; r < c.rings.size(); ++r) EXPECT_EQ(counts[r], c.rings[r].second) << c.rings[r].first;
    // Each value, rounded to the digits it is written with here, reads as written.
    for (const auto& [row, text] : c.rows) {
      std::istringstream in(text);
      std::string value;
      for (int k = 0; k < 3 && in >> value; ++k) {
        const std::size_t point = value.find('.');
        const int digits = point == std::string::npos ? 0 : static_cast<int>(value.size() - point - 1);
        char printed[32];
        std::snprintf(printed, sizeof printed, "%.*f", digits, static_cast<double>(table.rows[row][k]));
        EXPECT_EQ(printed, value) << "row " << row;
      }
    }
  }
}

TEST(MultipleViewRenderer, ProjectionFollowsTheFormula) {
  Obrin::MultipleViewRenderer renderer;
  // Off-centre and with unequal focal lengths, so that every term of the matrix counts.
  const Lumetra::PinholeCamera cam(638, 480, 500.5f, 510.25f, 300.5f, 250.75f);
  const float zFar = 100.0f, zNear = 1e-5f;
  const float W = static_cast<float>(cam.width), H = static_cast<float>(cam.height);
  const float fx = cam.focalLength.x(), fy = cam.focalLength.y();
  const float cx = cam.principalPoint.x(), cy = cam.principalPoint.y();
  ASSERT_TRUE(renderer.setProjection(cam, zFar, zNear));
  const float expected[16] = {2 * fx / W, 0, 0, 0, 0, 2 * fy / H, 0, 0, 1 - 2 * cx / W, 2 * cy / H - 1,
                              (zFar + zNear) / (zNear - zFar), -1, 0, 0, 2 * zFar * zNear / (zNear - zFar), 0};
  EXPECT_EQ(renderer.projectionMatrix(), Eigen::Map<const Eigen::Matrix4f>(expected));  // column by column
  EXPECT_FALSE(renderer.setProjection(Lumetra::PinholeCamera(0, 480, 320, 240, 320, 240), 100.0f, 1e-5f));
}

}  // namespace
