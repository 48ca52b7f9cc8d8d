// Template feature helpers: the projection of edge samples, the mask compaction and the count
// of sharp samples.
#include "Detection/TemplateFeatures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Lumetra::Linemod;

namespace {
constexpr float kPi = 3.14159265f;
}  // namespace

TEST(TemplateFeatures, ProjectionKeepsUnprojectablePointsInPlace) {
  const Lumetra::PinholeCamera camera(100, 80, 100.0f, 100.0f, 50.0f, 40.0f);
  TrainingPose pose;
  pose.translation = Eigen::Vector3f(0.0f, 0.0f, 2.0f);
  const ProjectedEdge edge = projectEdgeSamples(Eigen::Vector3f(0, 0, 0), Eigen::Vector3f(1, 0, 0),
                                                {{0.2f, -0.1f, 0.0f}, {0.0f, 0.0f, -2.0f}}, pose, camera);
  ASSERT_EQ(edge.points.size(), 2u);
  EXPECT_EQ(edge.points[0], Eigen::Vector2f(60.0f, 35.0f));
  EXPECT_FALSE(edge.points[1].allFinite());
  EXPECT_NEAR(edge.angle, kPi / 2, 1e-6f);  // normal to a horizontal image edge
}

TEST(TemplateFeatures, MaskAndSharpSampleCounts) {
  std::vector<GradientCandidate> list{{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}};
  compactByMask(std::vector<bool>{true, false, true}, list);  // no flag for the last entry
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].x, 3.0f);
  struct Edge { std::vector<Eigen::Vector3f> samples; };
  struct Model { std::vector<Edge> mEdges; std::int32_t mSharpEdgeCount; };
  const Model model{{{std::vector<Eigen::Vector3f>(3)}, {std::vector<Eigen::Vector3f>(4)}}, 1};
  EXPECT_EQ(countSharpSamples(model), 3u);
  EXPECT_EQ(countSharpSamples(Model{model.mEdges, 7}), 7u);
}
