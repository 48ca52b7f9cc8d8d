#include "Detection/PoseSampling.h"

#include "Core/Log.h"
#include "Core/Angles.h"
#include "Core/RandomSeed.h"
#include "Geometry/Sort.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

namespace Lumetra {

namespace {


Eigen::Vector3f normalisedIfNonZero(const Eigen::Vector3f& v) {
  return v.squaredNorm() > 0.0f ? v.normalized() : v;
}

Eigen::Vector3f applySymmetry(const CadModelDescription::DiscreteSymmetry& symmetry, const Eigen::Vector3f& p) {
  return symmetry.rotation * p + symmetry.translation;
}

std::mt19937& shellEngine(std::optional<std::uint32_t> seed) {
  thread_local std::unique_ptr<std::mt19937> engine;
  if (!engine) engine = std::make_unique<std::mt19937>(seed ? *seed : randomDeviceSeed());
  return *engine;
}

/// Appends the look-at pose of `eye` turned by every in-plane angle until `viewCount` poses exist.
void appendInPlaneRotations(const TrainerSettings& settings, const Eigen::Vector3f& eye, const Eigen::Vector3f& up,
                            std::size_t viewCount, std::vector<TrainingPose>& poses) {
  const TrainingPose base = lookAt(eye, Eigen::Vector3f::Zero(), up);
  for (float angle = settings.inPlaneMin; settings.inPlaneMax > angle;) {
    if (poses.size() >= viewCount) return;
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    Eigen::Matrix3f rz;
    rz << c, -s, 0.0f, s, c, 0.0f, 0.0f, 0.0f, 1.0f;
    const Eigen::Quaternionf qz(rz);
    TrainingPose pose;
    pose.rotation = qz * base.rotation;
    pose.translation = qz * base.translation;
    poses.push_back(pose);
    const float next = angle + settings.inPlaneStep;
    if (!(next > angle)) return;  // a step that does not advance the angle gives one rotation only
    angle = next;
  }
}

}  // namespace

std::optional<std::int32_t> directionCount(std::int64_t viewCount, std::size_t discreteSymmetryCount,
                                           float elevationMin, float elevationMax) {
  // The band is compared as stored: two limits that differ only beyond single precision make
  // an empty band, not a division by zero.
  if (!(elevationMax > elevationMin)) return std::nullopt;
  const float band = elevationMax - elevationMin;
  const float copies = static_cast<float>(std::max<std::size_t>(discreteSymmetryCount, 1));
  const float count = copies * (static_cast<float>(viewCount) * (kPiF / band));
  if (!(count < 2147483648.0f)) return std::nullopt;
  return static_cast<std::int32_t>(count);
}

Eigen::Vector3f randomPointInShell(float minRadius, float maxRadius, const Eigen::Vector3f& centre,
                                   std::optional<std::uint32_t> seed) {
  std::mt19937& engine = shellEngine(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float g1 = normal(engine);
  const float g2 = normal(engine);
  const float g3 = normal(engine);
  const Eigen::Vector3f direction = normalisedIfNonZero(Eigen::Vector3f(g3, g2, g1));
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  const float r = uniform(engine) * (maxRadius - minRadius) + minRadius;
  return centre + r * direction;
}

std::vector<Eigen::Vector3f> randomPointsInShell(std::int32_t count, float minRadius, float maxRadius,
                                                 const Eigen::Vector3f& centre, std::optional<std::uint32_t> seed) {
  std::vector<Eigen::Vector3f> points;
  if (count < 1) return points;
  points.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) points.push_back(randomPointInShell(minRadius, maxRadius, centre, seed));
  return points;
}

bool isOutsideElevationRange(const Eigen::Vector3f& up, const TrainerSettings& settings,
                             const Eigen::Vector3f& position) {
  // The cosine is clamped: rounding may push it just past +-1, where acos has no value.
  const float cosine = std::clamp(-up.dot(normalisedIfNonZero(position)), -1.0f, 1.0f);
  const float elevation = std::acos(cosine) - kHalfPiF;
  return settings.elevationMin > elevation || elevation > settings.elevationMax;
}

std::vector<Eigen::Vector3f>::iterator removeOutsideElevationRange(std::vector<Eigen::Vector3f>& positions,
                                                                   const Eigen::Vector3f& up,
                                                                   const TrainerSettings& settings) {
  auto kept = positions.begin();
  for (auto it = positions.begin(); it != positions.end(); ++it) {
    if (!isOutsideElevationRange(up, settings, *it)) std::swap(*kept++, *it);
  }
  return kept;
}

void dropSymmetricDuplicates(std::vector<Eigen::Vector3f>& positions,
                             const CadModelDescription::DiscreteSymmetry& symmetry, float minCosine,
                             float maxDistance) {
  const std::size_t count = positions.size();
  std::size_t write = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Eigen::Vector3f p = positions[i];
    const Eigen::Vector3f image = applySymmetry(symmetry, p);
    const Eigen::Vector3f imageDirection = normalisedIfNonZero(image);
    auto matches = [&](const Eigen::Vector3f& q) {
      return (q - image).norm() < maxDistance && normalisedIfNonZero(q).dot(imageDirection) >= minCosine;
    };
    // Witnesses are the positions kept so far and those still to come; never the position itself
    // (a turn by a multiple of 360 degrees would drop every position), and never one already
    // dropped (of a symmetric pair, both would go).
    bool duplicate = std::any_of(positions.begin(), positions.begin() + write, matches) ||
                     std::any_of(positions.begin() + i + 1, positions.end(), matches);
    if (!duplicate) positions[write++] = p;
  }
  positions.resize(write);
}

void foldContinuousSymmetry(std::vector<Eigen::Vector3f>& positions, const Eigen::Vector3f& axis, float minRadius,
                            float maxRadius) {
  const bool aboutX = axis == Eigen::Vector3f::UnitX();
  const bool aboutY = !aboutX && axis == Eigen::Vector3f::UnitY();
  const bool aboutZ = axis == Eigen::Vector3f::UnitZ();
  const Eigen::Vector3f mask = aboutX ? Eigen::Vector3f(1, 0, 1) : aboutY ? Eigen::Vector3f(1, 1, 0)
                                                                          : Eigen::Vector3f(0, 1, 1);
  std::size_t write = 0;
  for (const Eigen::Vector3f& p : positions) {
    Eigen::Vector3f q = mask.cwiseProduct(p);
    if (q.isZero(0.0f)) {
      q = p.cwiseAbs();
    } else if ((aboutX && q.z() < 0.0f) || (aboutY && q.x() < 0.0f) || (aboutZ && q.y() < 0.0f)) {
      continue;
    }
    const float radius = q.norm();
    if (radius > maxRadius || minRadius > radius) continue;
    positions[write++] = q;
  }
  positions.resize(write);
}

void mapToNearestSymmetricImage(std::vector<Eigen::Vector3f>& positions,
                                const std::vector<CadModelDescription::DiscreteSymmetry>& symmetries) {
  if (positions.size() < 2) return;
  const Eigen::Vector3f first = positions[0];
  for (std::size_t i = 1; i < positions.size(); ++i) {
    const Eigen::Vector3f p = positions[i];
    Eigen::Vector3f best = p;
    float bestDistance = (first - p).squaredNorm();
    for (const auto& symmetry : symmetries) {
      const Eigen::Vector3f image = applySymmetry(symmetry, p);
      const float d = (first - image).squaredNorm();
      if (bestDistance > d) {
        bestDistance = d;
        best = image;
      }
    }
    positions[i] = best;
  }
}

TrainingPose lookAt(const Eigen::Vector3f& eye, const Eigen::Vector3f& centre, const Eigen::Vector3f& givenUp) {
  const Eigen::Vector3f f = normalisedIfNonZero(eye - centre);
  Eigen::Vector3f up = givenUp;
  if (std::abs(static_cast<double>(f.dot(up))) > 0.99999) {
    const Eigen::Vector3f y = Eigen::Vector3f::UnitY();
    const Eigen::Vector3f z = Eigen::Vector3f::UnitZ();
    up = std::abs(f.dot(z)) < std::abs(f.dot(y)) ? z : y;
    LUMETRA_LOG_WARN(
        "Given up vector {} aligns with the view ray connecting given eye and center. Using {} as up vector "
        "instead!",
        fmt::format("({}, {}, {})", givenUp.x(), givenUp.y(), givenUp.z()),
        fmt::format("({}, {}, {})", up.x(), up.y(), up.z()));
  }
  const Eigen::Vector3f z = normalisedIfNonZero(eye - centre);
  const Eigen::Vector3f u = normalisedIfNonZero(up);
  const Eigen::Vector3f s = normalisedIfNonZero(u.cross(z));
  const Eigen::Vector3f v = normalisedIfNonZero(s.cross(z));
  Eigen::Matrix3f rotation;
  rotation.row(0) = s;
  rotation.row(1) = v;
  rotation.row(2) = -z;
  TrainingPose pose;
  pose.rotation = Eigen::Quaternionf(rotation);
  pose.translation = Eigen::Vector3f(-s.dot(eye), -v.dot(eye), z.dot(eye));
  return pose;
}

std::vector<TrainingPose> sampleTrainingPoses(const TrainerSettings& settings, const Eigen::Vector3f& centre,
                                              const CadModelDescription& description) {
  std::vector<TrainingPose> poses;
  const std::int64_t viewCount = static_cast<std::int64_t>(settings.oversampling) * settings.numTemplates;
  if (viewCount < 1 || viewCount > std::numeric_limits<std::int32_t>::max()) return poses;
  poses.reserve(static_cast<std::size_t>(viewCount));

  const auto symmetries = description.discreteSymmetries;
  const std::optional<std::int32_t> directions =
      directionCount(viewCount, symmetries.size(), settings.elevationMin, settings.elevationMax);
  if (!directions) {
    LUMETRA_LOG_WARN("Elevation range [{}, {}] gives no camera directions.", settings.elevationMin,
                     settings.elevationMax);
    return poses;
  }
  const std::optional<std::uint32_t> seed =
      settings.seedGiven ? std::optional<std::uint32_t>(settings.seed) : std::nullopt;
  std::vector<Eigen::Vector3f> positions =
      randomPointsInShell(*directions, settings.minRadius, settings.maxRadius, centre, seed);

  positions.erase(removeOutsideElevationRange(positions, description.upVector, settings), positions.end());
  for (const auto& symmetry : symmetries) dropSymmetricDuplicates(positions, symmetry, 0.99f, 0.01f);
  for (const auto& symmetry : description.continuousSymmetries) {
    foldContinuousSymmetry(positions, symmetry.axis, settings.minRadius, settings.maxRadius);
  }
  if (!symmetries.empty()) mapToNearestSymmetricImage(positions, symmetries);

  std::vector<std::int32_t> order;
  if (settings.selectionMode == 0) {
    const std::int64_t count = std::min<std::int64_t>(viewCount, static_cast<std::int64_t>(positions.size()));
    order.resize(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) order[i] = static_cast<std::int32_t>(i);
  } else if (settings.selectionMode == 1) {
    order = sortByPairDistance(positions, 0.0f, static_cast<std::int32_t>(viewCount), seed);
  }

  for (const std::int32_t index : order) {
    if (poses.size() >= static_cast<std::size_t>(viewCount)) break;
    appendInPlaneRotations(settings, positions[index], description.upVector, static_cast<std::size_t>(viewCount),
                           poses);
  }
  return poses;
}

}  // namespace Lumetra
