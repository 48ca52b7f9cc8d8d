#pragma once
// The model's edges (one per pair of faces that share two vertex positions), ordered from the
// sharpest (face normals most opposed) to the flattest, each with sample points along it. The
// leading mSharpEdgeCount edges are sharp; the leading mConsideredEdgeCount ones (sharp ones
// included) are considered, and the considered non-sharp ones are the silhouette candidates.
#include "Detection/TrainingPose.h"
#include "Renderer/MeshModel.h"

#include <Eigen/Core>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Lumetra {

struct EdgeModelParams {
  float sampleStep = 0.0f;          ///< sample spacing and voxel size, in model units
  float sharpAngleDeg = 44.0f;      ///< angle between face normals from which an edge is sharp
  float considerAngleDeg = 1.0f;    ///< angle between face normals from which an edge is considered
  std::int32_t maxSamples = 1000;   ///< largest number of sharp-edge samples kept after the voxel filter
  std::int32_t subsampleBudget = 0; ///< total sample budget of the per-edge thinning
  bool subsample = false;           ///< run the per-edge thinning
};

class EdgeModel {
 public:
  struct Edge {
    Eigen::Vector3f normalA = Eigen::Vector3f::Zero();  ///< normal of the pair's first face
    Eigen::Vector3f normalB = Eigen::Vector3f::Zero();  ///< normal of the pair's second face
    Eigen::Vector3f pointA = Eigen::Vector3f::Zero();   ///< the two shared vertex positions
    Eigen::Vector3f pointB = Eigen::Vector3f::Zero();
    std::vector<Eigen::Vector3f> samples;
  };

  EdgeModel() = default;
  /// Builds the edges from a model loaded with its face pairs, sorts them, counts the sharp and
  /// considered ones and samples them.
  EdgeModel(const MeshModel& mesh, const EdgeModelParams& params, std::optional<std::uint32_t> seed);

  /// One flag per edge: whether it is a silhouette edge under the pose. Only the considered edges
  /// are tested, and of them the sharp ones only when `includeSharp` is set.
  std::vector<bool> getSilhouetteEdges(const TrainingPose& pose, bool includeSharp) const;

  /// Fills every edge's samples: sharp edges at a tenth of the spacing, thinned by the voxel filter
  /// and to at most maxSamples; the other edges at the full spacing.
  static void sampleEdges(EdgeModel& edgeModel, float sampleStep, std::optional<std::uint32_t> seed);
  /// Thins every edge's samples to about budget / total of them (at least one per edge).
  static void subsampleEdges(EdgeModel& edgeModel, std::int32_t budget, std::optional<std::uint32_t> seed);

  std::vector<Edge> mEdges;
  std::int32_t mSharpEdgeCount = 0;
  std::int32_t mConsideredEdgeCount = 0;
  EdgeModelParams mParams;
};

/// What an edge model of a mesh would hold, counted from the mesh's face pairs before building it:
/// its considered edges (sharp ones included; every training view tests or projects each of them),
/// and about how many samples it draws on its sharp edges (at a tenth of the step, before the voxel
/// filter thins them), on its considered non-sharp edges (which training views project) and on its
/// flat edges.
struct EdgeModelWork {
  std::uint64_t consideredEdges = 0;
  double sharpSamples = 0.0;
  double consideredSamples = 0.0;
  double flatSamples = 0.0;
};
EdgeModelWork estimateEdgeModelWork(const MeshModel& mesh, const EdgeModelParams& params);

/// The edge (its two end points) that the most faces of the mesh share, and how many faces share it.
struct SharedEdge {
  Eigen::Vector3f pointA = Eigen::Vector3f::Zero();
  Eigen::Vector3f pointB = Eigen::Vector3f::Zero();
  std::size_t faces = 0;
};
SharedEdge mostSharedEdge(const MeshModel& mesh);

/// The length of the leading run of edges whose normals' product nA . nB is at most
/// cos(angleDeg), in single precision.
std::int32_t countEdgesAboveAngle(const EdgeModel& edgeModel, float angleDeg);

/// Appends random samples of the segment a-b to `out`: for a segment longer than twice the spacing
/// its midpoint, then the samples of both halves; otherwise its midpoint with probability
/// length / (2 spacing). End points are never appended. Where single precision cannot halve a
/// segment (far from the origin, a spacing finer than the floats there) the halving stops, so
/// the samples stay about length / spacing. The draws come from the calling thread's engine,
/// seeded on the thread's first draw (from `seed` when given).
void sampleSegment(const Eigen::Vector3f& a, const Eigen::Vector3f& b, float spacing,
                   std::optional<std::uint32_t> seed, std::vector<Eigen::Vector3f>& out);

/// One flag per point: the point kept for its cell of the grid of the cell size (the heaviest
/// point of the cell, then the one nearest the cell's centre, then the first).
std::vector<bool> voxelGridFilter(const std::vector<Eigen::Vector3f>& points, const std::vector<float>& weights,
                                  float cellSize);

/// Whether exactly one of the edge's two faces faces the camera under the pose.
bool isSilhouetteEdge(const EdgeModel::Edge& edge, const TrainingPose& pose);
/// The same for the pose's rotation matrix and translation, for many edges under one pose.
bool isSilhouetteEdge(const EdgeModel::Edge& edge, const Eigen::Matrix3f& rotation, const Eigen::Vector3f& translation);

/// Writes the edge-model file (a portable binary archive) through `writeFileInNewFolders`: missing
/// parent folders are created (the folder made is removed again when the write fails), and the
/// file is written under a temporary name and renamed. False on any failure; never throws.
bool saveEdgeModel(const EdgeModel& edgeModel, const std::string& path);

}  // namespace Lumetra
