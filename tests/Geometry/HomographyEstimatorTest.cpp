// Homography estimation and evaluation.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <random>

#include "Geometry/HomographyEstimator.h"

using namespace Lumetra;
using Estimator = Lumetra::HomographyEstimator<double>;
using Matrix3 = Estimator::Matrix3;

namespace {

Eigen::Vector2d apply(const Matrix3& h, const Eigen::Vector2d& p) {
  const Eigen::Vector3d q = h * p.homogeneous();
  return q.hnormalized();
}

PointPairs pairsUnder(const Matrix3& h, const std::vector<Eigen::Vector2d>& source) {
  PointPairs pairs;
  pairs.source = source;
  for (const auto& p : source) pairs.destination.push_back(apply(h, p));
  return pairs;
}

std::vector<Eigen::Vector2d> squareAndMore(int count) {
  std::vector<Eigen::Vector2d> pts = {{0, 0}, {100, 0}, {100, 80}, {0, 80}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(-50.0, 150.0);
  while (static_cast<int>(pts.size()) < count) pts.emplace_back(coord(rng), coord(rng));
  return pts;
}

Matrix3 similarity() {
  const double a = 30.0 * 3.14159265358979323846 / 180.0;
  Matrix3 h;
  h << 1.5 * std::cos(a), -1.5 * std::sin(a), 12.0, 1.5 * std::sin(a), 1.5 * std::cos(a), -7.0, 0.0, 0.0, 1.0;
  return h;
}

Matrix3 perspective() {
  Matrix3 h;
  h << 0.9, 0.1, 20.0, -0.05, 1.1, 5.0, 0.0008, -0.0005, 1.0;
  return h;
}

}  // namespace

TEST(HomographyEstimate, RecoversKnownHomographies) {
  const struct {
    const char* name;
    Matrix3 truth;
  } models[] = {{"similarity", similarity()}, {"perspective", perspective()}};
  for (const auto& m : models) {
    for (bool normalize : {false, true}) {
      for (int method : {0, 1}) {
        for (int count : {4, 12}) {
          SCOPED_TRACE(::testing::Message() << m.name << " normalize " << normalize << " method " << method << " n "
                                            << count);
          Estimator estimator;
          estimator.normalize = normalize;
          estimator.method = method;
          const PointPairs pairs = pairsUnder(m.truth, squareAndMore(count));
          Matrix3 h = Matrix3::Zero();
          ASSERT_TRUE(estimator.estimate(h, pairs, Sample()));
          EXPECT_EQ(h, estimator.H);
          if (method == 1 && !normalize) {
            EXPECT_EQ(h(2, 2), 1.0);
          }
          const Matrix3 scaled = h / h(2, 2);
          EXPECT_LT((scaled - m.truth).cwiseAbs().maxCoeff(), 1e-8) << scaled;
          for (std::size_t i = 0; i < pairs.source.size(); ++i)
            EXPECT_LT((apply(h, pairs.source[i]) - pairs.destination[i]).norm(), 1e-8);
        }
      }
    }
  }
}

TEST(HomographyEstimate, FailuresLeaveTheOutputUntouched) {
  const Matrix3 marker = Matrix3::Constant(7.0);
  Estimator estimator;
  estimator.method = 1;
  // Three source points on a line: the 4-point system is singular.
  estimator.normalize = false;
  const PointPairs collinear{{{0, 0}, {10, 10}, {20, 20}, {0, 30}}, {{1, 2}, {11, 12}, {21, 24}, {3, 31}}};
  Matrix3 h0 = marker;
  EXPECT_FALSE(estimator.estimate(h0, collinear, Sample()));
  EXPECT_EQ(h0, marker);
  for (bool normalize : {false, true}) {
    estimator.normalize = normalize;
    Matrix3 h = marker;

    // Unequal sets, and too few pairs.
    PointPairs unequal = pairsUnder(similarity(), squareAndMore(5));
    unequal.destination.pop_back();
    EXPECT_FALSE(estimator.estimate(h, unequal, Sample()));
    EXPECT_FALSE(estimator.estimate(h, pairsUnder(similarity(), squareAndMore(5)), Sample{0, 1, 2}));
    EXPECT_FALSE(estimator.estimate(h, pairsUnder(similarity(), squareAndMore(5)), Sample{0, 1, 2, 99}));
    EXPECT_EQ(h, marker);
  }
  // All source points in one place: no normalisation exists.
  estimator.normalize = true;
  estimator.method = 0;
  const PointPairs same{std::vector<Eigen::Vector2d>(5, Eigen::Vector2d(3, 4)), squareAndMore(5)};
  Matrix3 h = marker;
  EXPECT_FALSE(estimator.estimate(h, same, Sample()));
  EXPECT_EQ(h, marker);
}

TEST(HomographyEvaluate, ThresholdCostAndSubsets) {
  Estimator estimator;
  estimator.threshold = 1.0;
  const PointPairs pairs{{{0, 0}, {10, 0}, {0, 10}, {10, 10}, {5, 5}},
                         {{0.5, 0}, {11, 0}, {0, 10}, {10, 13}, {5, 5.25}}};
  ModelEvaluation evaluation;
  estimator.evaluate(evaluation, pairs, Matrix3::Identity(), Sample());
  ASSERT_EQ(evaluation.residuals.size(), 5u);
  // Distance exactly 1.0 is an outlier.
  EXPECT_EQ(evaluation.residuals[1].squaredDistance, 1.0);
  EXPECT_EQ(evaluation.residuals[1].inlier, 0);
  EXPECT_EQ(evaluation.residuals[3].dy, 3.0);
  EXPECT_EQ(evaluation.inliers, (std::vector<std::uint64_t>{0, 2, 4}));
  EXPECT_DOUBLE_EQ(evaluation.cost, std::sqrt((0.25 + 0.0 + 0.0625) / 3.0));

  // A subset: only its pairs are evaluated; the others keep the default record.
  estimator.evaluate(evaluation, pairs, Matrix3::Identity(), Sample{3, 0});
  EXPECT_EQ(evaluation.inliers, (std::vector<std::uint64_t>{0}));
  EXPECT_DOUBLE_EQ(evaluation.cost, 0.5);
  EXPECT_EQ(evaluation.residuals[2].squaredDistance, std::numeric_limits<double>::max());
  EXPECT_EQ(evaluation.residuals[4].inlier, 0);

  // No inliers: cost 0.
  estimator.threshold = 0.1;
  estimator.evaluate(evaluation, pairs, similarity(), Sample());
  EXPECT_TRUE(evaluation.inliers.empty());
  EXPECT_EQ(evaluation.cost, 0.0);
}

TEST(HomographyEvaluate, EstimateAndEvaluateRefitsOnTheInliers) {
  PointPairs pairs = pairsUnder(perspective(), squareAndMore(10));
  pairs.destination[7] += Eigen::Vector2d(25.0, 0.0);
  Estimator estimator;
  estimator.threshold = 2.0;
  ModelEvaluation evaluation;
  estimator.evaluate(evaluation, pairs, perspective(), Sample());
  ASSERT_EQ(evaluation.inliers.size(), 9u);
  const Matrix3 fallback = Matrix3::Identity();
  Matrix3 h;
  const Matrix3 result = estimator.estimateAndEvaluate(h, evaluation, pairs, fallback);
  EXPECT_EQ(result, h);
  EXPECT_LT((result / result(2, 2) - perspective()).cwiseAbs().maxCoeff(), 1e-8);
  EXPECT_EQ(evaluation.inliers.size(), 9u);
  EXPECT_LT(evaluation.cost, 1e-8);
  EXPECT_EQ(evaluation.residuals[7].inlier, 0);

  // Too few inliers: the fallback comes back and the evaluation stays as it was.
  ModelEvaluation few;
  few.inliers = {0, 1, 2};
  few.cost = 3.0;
  EXPECT_EQ(estimator.estimateAndEvaluate(h, few, pairs, fallback), fallback);
  EXPECT_EQ(few.cost, 3.0);
  EXPECT_EQ(few.inliers.size(), 3u);
  ModelEvaluation none;
  EXPECT_EQ(estimator.estimateAndEvaluate(h, none, pairs, fallback), fallback);
  EXPECT_TRUE(none.residuals.empty());
}

TEST(HomographySample, ValidityRules) {
  Estimator estimator;
  const std::vector<Eigen::Vector2d> square = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
  const struct {
    const char* name;
    PointPairs data;
    bool valid;
  } cases[] = {
      {"similar", {square, {{1, 1}, {21, 1}, {21, 21}, {1, 21}}}, true},
      {"mirrored", {square, {{0, 0}, {-10, 0}, {-10, 10}, {0, 10}}}, true},
      {"folded", {square, {{0, 0}, {10, 0}, {0, 10}, {10, 10}}}, false},
      {"last collinear", {{{0, 0}, {10, 0}, {10, 10}, {5, 0}}, square}, false},
      {"first three collinear", {{{0, 0}, {5, 5}, {10, 10}, {0, 10}}, square}, false},
      {"destination collinear", {square, {{0, 0}, {1, 1}, {2, 2}, {0, 9}}}, false},
      {"five points", {{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {3, 6}}, {{0, 0}, {10, 0}, {0, 10}, {10, 10}, {3, 6}}},
       true},
      {"five points, three collinear",
       {{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {3, 7}}, {{0, 0}, {10, 0}, {10, 10}, {0, 10}, {4, 6}}},
       false},
  };
  for (const auto& c : cases) EXPECT_EQ(estimator.isValidSample(c.data, Sample()), c.valid) << c.name;
  EXPECT_TRUE(estimator.isValidSample(cases[0].data, Sample{3, 2, 1, 0}));  // the similar pairs
  EXPECT_FALSE(estimator.isValidSample(cases[0].data, Sample{0, 1, 2, 8}));
}
