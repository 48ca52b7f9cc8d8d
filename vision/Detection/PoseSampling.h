#pragma once
// Camera poses around a CAD model for template training: random camera positions in a
// spherical shell, kept within an elevation band above the model's ground plane, reduced by the
// model's symmetries, chosen in drawing or farthest-point order and turned into look-at poses
// with a few in-plane rotations each.
#include "Detection/CadModel.h"
#include "Detection/LinemodTrainer.h"
#include "Detection/TrainingPose.h"

#include <Eigen/Core>

#include <cstdint>
#include <optional>
#include <vector>

namespace Lumetra {

using TrainerSettings = Linemod::LinemodTrainer::Settings;

/// The training poses (model to camera, camera x right, y down, z forward) for the settings'
/// radii, view counts, elevation band, in-plane angles, selection mode and seed, around
/// `centre` (the model's centroid), reduced by the description's symmetries. At most
/// oversampling x numTemplates poses; fewer (possibly none) when too few positions survive.
std::vector<TrainingPose> sampleTrainingPoses(const TrainerSettings& settings, const Eigen::Vector3f& centre,
                                              const CadModelDescription& description);

/// The number of camera directions drawn for `viewCount` views and `discreteSymmetryCount`
/// symmetries, in single precision: views x pi / band width, times the symmetry count.
/// std::nullopt when the band is empty as floats or the count does not fit 32 bits.
std::optional<std::int32_t> directionCount(std::int64_t viewCount, std::size_t discreteSymmetryCount,
                                           float elevationMin, float elevationMax);

/// One position centre + r d: d a uniformly random direction, r uniform in [minRadius,
/// maxRadius). The calling thread's engine is made on its first call, from `seed` when given,
/// else from the random device; later calls continue it and ignore their seed.
Eigen::Vector3f randomPointInShell(float minRadius, float maxRadius, const Eigen::Vector3f& centre,
                                   std::optional<std::uint32_t> seed = std::nullopt);
/// `count` such positions in drawing order (none for a count below 1).
std::vector<Eigen::Vector3f> randomPointsInShell(std::int32_t count, float minRadius, float maxRadius,
                                                 const Eigen::Vector3f& centre,
                                                 std::optional<std::uint32_t> seed = std::nullopt);

/// Whether the elevation of `position` (seen from the model origin) above the plane
/// perpendicular to `up` lies outside [elevationMin, elevationMax].
bool isOutsideElevationRange(const Eigen::Vector3f& up, const TrainerSettings& settings,
                             const Eigen::Vector3f& position);
/// Moves the positions inside the band to the front in their order; returns the end of them.
std::vector<Eigen::Vector3f>::iterator removeOutsideElevationRange(std::vector<Eigen::Vector3f>& positions,
                                                                   const Eigen::Vector3f& up,
                                                                   const TrainerSettings& settings);

/// Drops every position whose image under `symmetry` lies within `maxDistance` of, and in
/// nearly the same direction (cosine >= `minCosine`) as, a position kept before it or one after
/// it: of two positions that the symmetry maps onto each other the later one stays.
void dropSymmetricDuplicates(std::vector<Eigen::Vector3f>& positions,
                             const CadModelDescription::DiscreteSymmetry& symmetry, float minCosine = 0.99f,
                             float maxDistance = 0.01f);

/// Folds positions about a rotation axis: the x axis projects onto y = 0 keeping z >= 0, the
/// y axis onto z = 0 keeping x >= 0, the z axis onto x = 0 keeping y >= 0 (any other axis
/// onto x = 0, both halves); folded positions outside [minRadius, maxRadius] are dropped.
void foldContinuousSymmetry(std::vector<Eigen::Vector3f>& positions, const Eigen::Vector3f& axis,
                            float minRadius, float maxRadius);

/// Replaces every position but the first by its symmetric image nearest to the first position
/// (or keeps it when none is strictly nearer).
void mapToNearestSymmetricImage(std::vector<Eigen::Vector3f>& positions,
                                const std::vector<CadModelDescription::DiscreteSymmetry>& symmetries);

/// The pose of a camera at `eye` looking at `centre` along its +z axis, its y axis pointing away
/// from `up`. An up vector (nearly) parallel to the view is replaced by the y or z axis.
TrainingPose lookAt(const Eigen::Vector3f& eye, const Eigen::Vector3f& centre, const Eigen::Vector3f& up);

}  // namespace Lumetra
