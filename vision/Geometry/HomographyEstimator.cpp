#include "Geometry/HomographyEstimator.h"

#include <Eigen/Dense>
#include <Eigen/LU>
#include <Eigen/SVD>

#include <cmath>

#include "Core/Log.h"

namespace Lumetra {
namespace {

using Points = std::vector<Eigen::Vector2d>;
using Matrix3 = HomographyEstimator<double>::Matrix3;

// sqrt(2), computed once per process.
double sqrtTwo() {
  static const double value = std::sqrt(2.0);
  return value;
}

// The sample's points (all of them for an empty sample); false when an index is out of range.
bool gather(const PointPairs& data, const Sample& sample, Points& src, Points& dst) {
  if (sample.empty()) {
    src = data.source;
    dst = data.destination;
    return true;
  }
  src.clear();
  dst.clear();
  src.reserve(sample.size());
  dst.reserve(sample.size());
  for (std::uint64_t i : sample) {
    if (i >= data.source.size() || i >= data.destination.size()) return false;
    src.push_back(data.source[static_cast<std::size_t>(i)]);
    dst.push_back(data.destination[static_cast<std::size_t>(i)]);
  }
  return true;
}

// Moves the points to their centroid and scales them to a mean distance of sqrt(2) from it.
// False when the points coincide (no scale exists).
bool normalizePoints(Points& points, Eigen::Vector2d& centroid, double& scale, Matrix3& transform) {
  Eigen::Vector2d c = Eigen::Vector2d::Zero();
  for (const auto& p : points) c += p;
  c /= static_cast<double>(points.size());
  double meanDistance = 0.0;
  for (const auto& p : points) meanDistance += (p - c).norm();
  meanDistance /= static_cast<double>(points.size());
  const double s = sqrtTwo() / meanDistance;
  if (!(meanDistance > 0.0) || !std::isfinite(s)) return false;
  for (auto& p : points) p = (p - c) * s;
  centroid = c;
  scale = s;
  transform << s, 0.0, -s * c.x(), 0.0, s, -s * c.y(), 0.0, 0.0, 1.0;
  return true;
}

bool solve(const Points& src, const Points& dst, std::int32_t method, Matrix3& h) {
  const Eigen::Index n = static_cast<Eigen::Index>(src.size());
  if (method == 1) {
    Eigen::MatrixXd a(2 * n, 8);
    Eigen::VectorXd b(2 * n);
    for (Eigen::Index i = 0; i < n; ++i) {
      const double x = src[static_cast<std::size_t>(i)].x(), y = src[static_cast<std::size_t>(i)].y();
      const double u = dst[static_cast<std::size_t>(i)].x(), v = dst[static_cast<std::size_t>(i)].y();
      a.row(2 * i) << x, y, 1.0, 0.0, 0.0, 0.0, -x * u, -y * u;
      a.row(2 * i + 1) << 0.0, 0.0, 0.0, x, y, 1.0, -x * v, -y * v;
      b(2 * i) = u;
      b(2 * i + 1) = v;
    }
    Eigen::VectorXd x;
    if (n == 4) {
      const Eigen::FullPivLU<Eigen::MatrixXd> lu(a);
      if (lu.rank() < 8) return false;
      x = lu.solve(b);
    } else {
      const Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
      x = svd.solve(b);
    }
    h << x(0), x(1), x(2), x(3), x(4), x(5), x(6), x(7), 1.0;
  } else {
    Eigen::MatrixXd a(2 * n, 9);
    for (Eigen::Index i = 0; i < n; ++i) {
      const double x = src[static_cast<std::size_t>(i)].x(), y = src[static_cast<std::size_t>(i)].y();
      const double u = dst[static_cast<std::size_t>(i)].x(), v = dst[static_cast<std::size_t>(i)].y();
      a.row(2 * i) << x, y, 1.0, 0.0, 0.0, 0.0, -x * u, -y * u, -u;
      a.row(2 * i + 1) << 0.0, 0.0, 0.0, x, y, 1.0, -x * v, -y * v, -v;
    }
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeFullV);
    const Eigen::VectorXd x = svd.matrixV().col(8);
    h << x(0), x(1), x(2), x(3), x(4), x(5), x(6), x(7), x(8);
  }
  return h.allFinite();
}

// |d_j x d_i| <= eps (|d_i| + |d_j|) in the 1-norm: the two offsets are parallel (the three
// points collinear) or one of them is zero, within single-precision tolerance.
bool nearlyCollinear(const Eigen::Vector2d& apex, const Eigen::Vector2d& pi, const Eigen::Vector2d& pj) {
  const double dxi = pi.x() - apex.x(), dyi = pi.y() - apex.y();
  const double dxj = pj.x() - apex.x(), dyj = pj.y() - apex.y();
  return std::fabs(dxj * dyi - dyj * dxi) <=
         1.192092896e-7 * (std::fabs(dxi) + std::fabs(dyi) + std::fabs(dxj) + std::fabs(dyj));
}

// True when some three points are collinear or two coincide.
bool isDegenerate(const Points& points) {
  const std::size_t n = points.size();
  for (std::size_t a = 0; a < n; ++a)
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (i != a && j != a && nearlyCollinear(points[a], points[i], points[j])) return true;
  return false;
}

int orientationSign(const Eigen::Vector2d& p0, const Eigen::Vector2d& p1, const Eigen::Vector2d& p2) {
  Eigen::Matrix3d m;
  m << p0.x(), p1.x(), p2.x(), p0.y(), p1.y(), p2.y(), 1.0, 1.0, 1.0;
  const double d = m.determinant();
  return (d > 0.0) - (d < 0.0);
}

}  // namespace

bool HomographyEstimator<double>::estimate(Matrix3& model, const PointPairs& data, const Sample& sample) {
  Points src, dst;
  const bool gathered = gather(data, sample, src, dst);
  if (!gathered || src.size() != dst.size() || src.size() < 4) {
    LUMETRA_LOG_ERROR(
        "Wrong (the size of src and dst should be identical) or insufficient data elements. src {} and dst {} are more "
        "than {}",
        src.size(), dst.size(), 4);
    return false;
  }
  Matrix3 solution;
  if (normalize) {
    Eigen::Vector2d cs, cd;
    double ss = 1.0, sd = 1.0;
    Matrix3 ts, td;
    if (!normalizePoints(src, cs, ss, ts) || !normalizePoints(dst, cd, sd, td)) return false;
    Matrix3 hn;
    if (!solve(src, dst, method, hn)) return false;
    solution = td.inverse() * hn * ts;
    if (!solution.allFinite()) return false;
    sourceCentroid = cs;
    sourceScale = ss;
    sourceTransform = ts;
    destinationCentroid = cd;
    destinationScale = sd;
    destinationTransform = td;
  } else {
    if (!solve(src, dst, method, solution)) return false;
  }
  H = solution;
  model = solution;
  return true;
}

ModelEvaluation& HomographyEstimator<double>::evaluate(ModelEvaluation& evaluation, const PointPairs& data,
                                                       const Matrix3& model, const Sample& subset) {
  const std::size_t n = std::min(data.source.size(), data.destination.size());
  evaluation.residuals.assign(n, Residual());
  evaluation.cost = 0.0;
  evaluation.inliers.clear();
  const double limit = threshold * threshold;
  auto visit = [&](std::size_t i) {
    const Eigen::Vector3d p = model * data.source[i].homogeneous();
    Residual& r = evaluation.residuals[i];
    r.dx = data.destination[i].x() - p.x() / p.z();
    r.dy = data.destination[i].y() - p.y() / p.z();
    r.squaredDistance = r.dx * r.dx + r.dy * r.dy;
    if (r.squaredDistance < limit) {
      r.inlier = 1;
      evaluation.inliers.push_back(i);
      evaluation.cost += r.squaredDistance;
    }
  };
  if (subset.empty()) {
    for (std::size_t i = 0; i < n; ++i) visit(i);
  } else {
    for (std::uint64_t i : subset)
      if (i < n) visit(static_cast<std::size_t>(i));
  }
  if (!evaluation.inliers.empty()) evaluation.cost = std::sqrt(evaluation.cost / static_cast<double>(evaluation.inliers.size()));
  return evaluation;
}

HomographyEstimator<double>::Matrix3 HomographyEstimator<double>::estimateAndEvaluate(Matrix3& model,
                                                                                      ModelEvaluation& evaluation,
                                                                                      const PointPairs& data,
                                                                                      const Matrix3& fallback) {
  // Without inliers there is nothing to re-estimate from (an empty sample would mean all pairs).
  if (evaluation.inliers.empty()) return fallback;
  Matrix3 refined;
  if (!estimate(refined, data, evaluation.inliers)) return fallback;
  ModelEvaluation fresh;
  evaluate(fresh, data, refined, Sample());
  evaluation = std::move(fresh);
  model = refined;
  return refined;
}

bool HomographyEstimator<double>::isValidSample(const PointPairs& data, const Sample& sample) {
  Points src, dst;
  if (!gather(data, sample, src, dst) || src.size() != dst.size()) return false;
  if (isDegenerate(src) || isDegenerate(dst)) return false;
  if (src.size() == 4) {
    static const int kTriangles[4][3] = {{0, 1, 2}, {1, 2, 3}, {0, 2, 3}, {0, 1, 3}};
    int flipped = 0;
    for (const auto& t : kTriangles) {
      const int a = orientationSign(src[t[0]], src[t[1]], src[t[2]]);
      const int b = orientationSign(dst[t[0]], dst[t[1]], dst[t[2]]);
      flipped += a != b ? 1 : 0;
    }
    return flipped == 0 || flipped == 4;
  }
  return true;
}

}  // namespace Lumetra
