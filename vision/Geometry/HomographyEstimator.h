#pragma once
// Plane-to-plane homography by the direct linear transform, with optional normalisation of
// both point sets, and its evaluation against point pairs. The interface serves a robust
// estimation loop: minimal samples of 4 pairs, a sample validity test, estimation, evaluation
// with an inlier threshold and re-estimation from the inliers.
#include <Eigen/Core>

#include <cstdint>
#include <limits>
#include <vector>

namespace Lumetra {

/// Source and destination points; pair i is element i of both.
struct PointPairs {
  std::vector<Eigen::Vector2d> source;
  std::vector<Eigen::Vector2d> destination;
};

/// Indices into the pairs; an empty sample means all pairs.
using Sample = std::vector<std::uint64_t>;

/// The residual of one pair under a model.
struct Residual {
  double dx = 0.0;
  double dy = 0.0;
  double squaredDistance = std::numeric_limits<double>::max();
  std::uint8_t inlier = 0;
};

/// The residuals of all pairs, the root mean square inlier distance and the inlier indices.
struct ModelEvaluation {
  std::vector<Residual> residuals;
  double cost = std::numeric_limits<double>::max();
  std::vector<std::uint64_t> inliers;
};

/// Base of the estimation models: the scalar types, the minimal sample size, the point and
/// residual dimensions and the model type, with the four operations of a robust loop.
template <typename ScalarT, typename DataScalarT, int MinimalSample, int SourceDim, int TargetDim, int ResidualDim,
          typename ModelT>
class Model {
 public:
  using Scalar = ScalarT;
  using DataScalar = DataScalarT;
  using ModelType = ModelT;
  static constexpr int kMinimalSampleSize = MinimalSample;
  static constexpr int kSourceDimension = SourceDim;
  static constexpr int kTargetDimension = TargetDim;
  static constexpr int kResidualDimension = ResidualDim;

  virtual ~Model() = default;

  /// Estimates a model from the sample's pairs; false (model untouched) when it cannot.
  virtual bool estimate(ModelT& model, const PointPairs& data, const Sample& sample) = 0;
  /// Residuals of the subset's pairs (all pairs for an empty subset) under the model.
  virtual ModelEvaluation& evaluate(ModelEvaluation& evaluation, const PointPairs& data, const ModelT& model,
                                    const Sample& subset) = 0;
  /// Re-estimates from the evaluation's inliers and evaluates the result on all pairs; on
  /// failure returns the fallback and leaves the evaluation unchanged.
  virtual ModelT estimateAndEvaluate(ModelT& model, ModelEvaluation& evaluation, const PointPairs& data,
                                     const ModelT& fallback) = 0;
  /// Whether a sample can give a sound model.
  virtual bool isValidSample(const PointPairs& data, const Sample& sample) = 0;
};

template <typename T>
class HomographyEstimator;

/// Homographies in double precision. `method` 1 fixes H(2,2) to 1 and solves linearly (LU with
/// full pivoting for 4 pairs, least squares through a thin SVD for more); any other value
/// takes the right singular vector of the smallest singular value (H(2,2) as found).
template <>
class HomographyEstimator<double> final
    : public Model<double, double, 4, 2, 2, 2, Eigen::Matrix<double, 3, 3, 0, 3, 3>> {
 public:
  using Matrix3 = Eigen::Matrix<double, 3, 3, 0, 3, 3>;

  /// The last estimated homography.
  Matrix3 H = Matrix3::Identity();
  /// Normalise both point sets before solving.
  bool normalize = true;
  /// 1: linear solve with H(2,2) = 1; otherwise null-space solve.
  std::int32_t method = 0;
  /// Inlier distance in destination pixels.
  double threshold = 1.0;

  /// Normalisation of the source points of the last estimate: centroid, scale, transform.
  Eigen::Vector2d sourceCentroid = Eigen::Vector2d::Zero();
  double sourceScale = 1.0;
  Matrix3 sourceTransform = Matrix3::Identity();
  /// The same for the destination points.
  Eigen::Vector2d destinationCentroid = Eigen::Vector2d::Zero();
  double destinationScale = 1.0;
  Matrix3 destinationTransform = Matrix3::Identity();

  bool estimate(Matrix3& model, const PointPairs& data, const Sample& sample) override;
  ModelEvaluation& evaluate(ModelEvaluation& evaluation, const PointPairs& data, const Matrix3& model,
                            const Sample& subset) override;
  Matrix3 estimateAndEvaluate(Matrix3& model, ModelEvaluation& evaluation, const PointPairs& data,
                              const Matrix3& fallback) override;
  bool isValidSample(const PointPairs& data, const Sample& sample) override;
};

}  // namespace Lumetra
