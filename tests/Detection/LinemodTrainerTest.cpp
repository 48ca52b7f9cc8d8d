// The template trainer: feature labels and the level-1 merge, the shuffle of candidates, and the
// crop of a template pyramid.
#include "Detection/LinemodTrainer.h"

#include <gtest/gtest.h>

#include <limits>

using namespace Lumetra::Linemod;

namespace {

constexpr float kPi = 3.14159265f;

LinemodTrainer trainerWith(std::uint64_t numFeatures) {
  LinemodTrainer::Settings settings;
  settings.numFeatures = numFeatures;
  return LinemodTrainer(settings);
}

const Feature* featureAt(const Template& t, int x, int y) {
  for (const Feature& f : t.features)
    if (f.x == x && f.y == y) return &f;
  return nullptr;
}

}  // namespace

TEST(LinemodTrainer, OppositeDirectionsShareTheirLabel) {
  struct Case { float angle; int label; };
  const Case cases[] = {{-kPi, 0}, {0.0f, 0}, {kPi, 0}, {kPi / 2, 4}, {-kPi / 2, 4}, {kPi / 8, 1},
                        {kPi / 8 + kPi, 1}, {-3 * kPi / 8, 5}, {5 * kPi / 8, 5}};
  const int n = static_cast<int>(std::size(cases));
  std::vector<GradientCandidate> candidates;
  for (int i = 0; i < n; ++i) candidates.push_back({float(20 * i), float(7 * i * i), cases[i].angle});
  LinemodTrainer trainer = trainerWith(n);
  ASSERT_EQ(trainer.extractTemplateFeatures(candidates, "c", TrainingPose{}, 1, nullptr), 0);
  const Template& t = trainer.templates().at("c")[0][0];
  for (int i = 0; i < n; ++i) {
    const Feature* f = featureAt(t, 20 * i, 7 * i * i);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->label, cases[i].label) << cases[i].angle;
  }
}

TEST(LinemodTrainer, LevelOneMergesCandidatesOnOnePixel) {
  // Order: (0, 0) and (4, 1) first, then (1, 1), nearer to them than (3, 1) is to (4, 1). On
  // level 1, (1, 1) falls on (0, 0)'s pixel: labels 4 then 1 merge to 4 + (1 - 4) / 2 = 3.
  std::vector<GradientCandidate> candidates{{0.5f, 0.2f, kPi / 2}, {1.7f, 1.1f, kPi / 8}, {4, 1, 0}, {3, 1, 0}};
  LinemodTrainer trainer = trainerWith(3);
  ASSERT_EQ(trainer.extractTemplateFeatures(candidates, "c", TrainingPose{}, 2, nullptr), 0);
  const TemplatePyramid& pyramid = trainer.templates().at("c")[0];
  ASSERT_EQ(pyramid.size(), 2u);
  ASSERT_NE(featureAt(pyramid[0], 1, 1), nullptr);
  ASSERT_NE(featureAt(pyramid[1], 0, 0), nullptr);
  EXPECT_EQ(featureAt(pyramid[1], 0, 0)->label, 3);
  ASSERT_NE(featureAt(pyramid[1], 1, 0), nullptr);
  // Rejections store nothing: a merge leaving 2 pixels on level 1, too few candidates, and
  // candidates without a usable position.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  candidates.pop_back();
  const std::vector<GradientCandidate> rejected[] = {
      candidates, {{0, 0, 0}, {9, 9, 0}}, {{0, 0, 0}, {9, 9, 0}, {nan, 4, 0}}, {{0, 0, 0}, {9, 9, 0}, {1e30f, 4, 0}}};
  for (const auto& list : rejected) EXPECT_EQ(trainer.extractTemplateFeatures(list, "c", TrainingPose{}, 2, nullptr), -1);
  EXPECT_EQ(trainer.templates().at("c").size(), 1u);
}

TEST(LinemodTrainer, UnseededShufflesRepeatWithinTheProcess) {
  std::vector<GradientCandidate> grid;
  for (int i = 0; i < 64; ++i) grid.push_back({float(i % 8), float(i / 8), 0.3f * i});
  LinemodTrainer trainer = trainerWith(20);
  ASSERT_EQ(trainer.extractTemplateFeatures(grid, "c", TrainingPose{}, 1, nullptr), 0);
  ASSERT_EQ(trainer.extractTemplateFeatures(grid, "c", TrainingPose{}, 1, nullptr), 1);
  const auto& a = trainer.templates().at("c")[0][0].features;
  const auto& b = trainer.templates().at("c")[1][0].features;
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(a[i].x == b[i].x && a[i].y == b[i].y && a[i].label == b[i].label);
}

TEST(LinemodTrainer, CropToTheCommonBoundingBox) {
  TemplatePyramid pyramid(2);
  pyramid[0].features = {{-3, 5, 1}, {7, 9, 2}};
  pyramid[1].pyramidLevel = 1;
  pyramid[1].features = {{1, 3, 3}};  // (2, 6) on level 0
  const TemplateRect box = LinemodTrainer::cropTemplates(pyramid);
  // The odd negative minimum x stays; the odd minimum y 5 becomes 4.
  EXPECT_EQ(std::vector<int>({box.x, box.y, box.width, box.height}), std::vector<int>({-3, 4, 10, 5}));
  const auto t0 = pyramid[0], t1 = pyramid[1];
  EXPECT_EQ(std::vector<int>({t0.tlX, t0.tlY, t0.width, t0.height}), std::vector<int>({-3, 4, 10, 5}));
  EXPECT_EQ(std::vector<int>({t1.tlX, t1.tlY, t1.width, t1.height}), std::vector<int>({-2, 2, 5, 2}));
  EXPECT_EQ(std::vector<int>({t0.features[0].x, t0.features[0].y, t0.features[1].x, t0.features[1].y}),
            std::vector<int>({0, 1, 10, 5}));
  EXPECT_EQ(std::vector<int>({t1.features[0].x, t1.features[0].y}), std::vector<int>({3, 1}));
}
