#pragma once
// From model edges seen under one pose to gradient candidates: projection of an edge's sample
// points into the camera image with the orientation of the edge's image normal, and the small
// geometric routines around it.
#include "Detection/PinholeCamera.h"
#include "Detection/TrainingPose.h"

#include <Eigen/Core>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Lumetra::Linemod {

/// A projected edge sample: pixel position in the camera image and the orientation (radians) of
/// its edge's image normal.
struct GradientCandidate {
  float x = 0.0f;
  float y = 0.0f;
  float angle = 0.0f;
};
static_assert(sizeof(GradientCandidate) == 12, "candidate record is three floats");

/// A template pyramid's bounding rectangle in level-0 pixels.
struct TemplateRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct ProjectedEdge {
  /// One image point per sample, in sample order. A sample that projects to no finite point
  /// (on the camera plane) is kept in place, so that the points stay paired with per-sample
  /// flags; `extractTemplateFeatures` ignores such candidates.
  std::vector<Eigen::Vector2f> points;
  float cosAngle = 1.0f;
  float sinAngle = 0.0f;
  float angle = 0.0f;  ///< direction normal to the projected edge, radians
};

/// K [R | t] of the camera and the pose.
Eigen::Matrix<float, 3, 4> projectionMatrix(const PinholeCamera& camera, const TrainingPose& pose);

/// R p + t: a model point in camera coordinates.
Eigen::Vector3f transformPoint(const TrainingPose& pose, const Eigen::Vector3f& p);

/// Projects the samples of the edge from `pointA` to `pointB` and gives the edge's image
/// normal angle.
ProjectedEdge projectEdgeSamples(const Eigen::Vector3f& pointA, const Eigen::Vector3f& pointB,
                                 const std::vector<Eigen::Vector3f>& samples, const TrainingPose& pose,
                                 const PinholeCamera& camera);

/// The same for an edge record with members `pointA`, `pointB` (Eigen::Vector3f) and `samples`
/// (std::vector<Eigen::Vector3f>), such as the sharp-edge model's edges.
template <typename Edge>
ProjectedEdge projectEdgeSamples(const Edge& edge, const TrainingPose& pose, const PinholeCamera& camera) {
  return projectEdgeSamples(edge.pointA, edge.pointB, edge.samples, pose, camera);
}

/// The number of sharp edges of an edge model with members `mEdges` (sharpest first) and
/// `mSharpEdgeCount`: the first ones of its list. A count outside the edge list is clamped to it.
template <typename EdgeModel>
std::size_t sharpEdgeCount(const EdgeModel& model) {
  return static_cast<std::size_t>(
      std::clamp<std::int64_t>(model.mSharpEdgeCount, 0, static_cast<std::int64_t>(model.mEdges.size())));
}

/// The number of samples on the sharp edges (`sharpEdgeCount`); each edge has a `samples` vector.
template <typename EdgeModel>
std::size_t countSharpSamples(const EdgeModel& model) {
  const std::size_t sharp = sharpEdgeCount(model);
  std::size_t count = 0;
  for (std::size_t i = 0; i < sharp; ++i) count += model.mEdges[i].samples.size();
  return count;
}

/// Keeps, in order, the entries of `list` whose flag in `mask` is set; entries beyond the end of
/// the mask count as unset.
template <typename Mask, typename T>
void compactByMask(const Mask& mask, std::vector<T>& list) {
  std::size_t kept = 0;
  const std::size_t flagged = std::min<std::size_t>(mask.size(), list.size());
  for (std::size_t i = 0; i < flagged; ++i) {
    if (mask[i]) list[kept++] = list[i];
  }
  list.resize(kept);
}

}  // namespace Lumetra::Linemod
