#include "Detection/LinemodTrainer.h"

#include "Core/Log.h"
#include "Core/Angles.h"
#include "Core/Profiler.h"
#include "Core/RandomSeed.h"
#include "Detection/PoseSampling.h"
#include "Detection/TemplateFile.h"
#include "Geometry/Sort.h"
#include "Renderer/EdgeModel.h"
#include "Renderer/MeshModel.h"
#include "Renderer/OpenGL/MultiPoseMeshOcclusionTester.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <random>

namespace Lumetra::Linemod {

namespace {

/// Candidates farther out than this are ignored: every level's coordinates, their level-0
/// multiples and the bounding box then stay far inside 32-bit integers.
constexpr float kCoordinateLimit = 536870912.0f;  // 2^29

struct ShuffleRecord {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint8_t label = 0;
  float score = 1.0f;
};

std::optional<ShuffleRecord> toShuffleRecord(const GradientCandidate& c) {
  if (!(std::abs(c.x) < kCoordinateLimit) || !(std::abs(c.y) < kCoordinateLimit)) return std::nullopt;
  // 8 / pi per radian: 8 bins of 22.5 degrees over a turn, a direction and its opposite alike.
  const float bin = (kPiF + c.angle) * 2.546479f + 0.5f;
  if (!(std::abs(bin) < 2147483648.0f)) return std::nullopt;
  ShuffleRecord record;
  record.x = static_cast<std::int32_t>(c.x);
  record.y = static_cast<std::int32_t>(c.y);
  record.label = static_cast<std::uint8_t>(static_cast<std::int32_t>(bin) & 7);
  return record;
}

/// The seed of every shuffle without a configured seed, drawn once per process on first need.
std::uint32_t processShuffleSeed() {
  static const std::uint32_t seed = [] {
    const std::uint32_t value = randomDeviceSeed();
    LUMETRA_LOG_INFO("Random shuffle seed set to {}.", value);
    return value;
  }();
  return seed;
}

/// The features of one level from the records in `order`, or nothing when fewer than
/// `featureCount` distinct pixels of the level are reached.
std::optional<std::vector<Feature>> levelFeatures(const std::vector<ShuffleRecord>& records,
                                                  const std::vector<std::int32_t>& order, std::size_t featureCount,
                                                  std::uint64_t level) {
  std::vector<Feature> features;
  features.reserve(featureCount);
  std::vector<std::int32_t> counts(featureCount, 1);
  const std::int32_t scale = std::int32_t{1} << level;
  for (const std::int32_t index : order) {
    if (features.size() >= featureCount) break;
    const ShuffleRecord& c = records[static_cast<std::size_t>(index)];
    const std::int32_t fx = c.x / scale;
    const std::int32_t fy = c.y / scale;
    auto same = std::find_if(features.begin(), features.end(),
                             [fx, fy](const Feature& f) { return f.x == fx && f.y == fy; });
    if (same == features.end()) {
      features.push_back({fx, fy, c.label});
      continue;
    }
    const std::int32_t counter = ++counts[static_cast<std::size_t>(same - features.begin())];
    same->label = static_cast<std::uint8_t>(same->label + (c.label - same->label) / counter);
  }
  if (features.size() < featureCount) return std::nullopt;
  return features;
}

using Tester = OpenGL::MultiPoseMeshOcclusionTester;

/// The templates the poses must give: numTemplates; when the model's symmetries left fewer poses
/// than oversampling x numTemplates (a symmetric model has fewer distinct views), one for every
/// `oversampling` poses left, at least one.
std::int32_t templatesWanted(const LinemodTrainer::Settings& settings, const CadModelDescription& description,
                             std::size_t poseCount) {
  const std::int64_t full = static_cast<std::int64_t>(settings.oversampling) * settings.numTemplates;
  const bool symmetric = !description.continuousSymmetries.empty() || !description.discreteSymmetries.empty();
  if (!symmetric || static_cast<std::int64_t>(poseCount) >= full || settings.oversampling < 1) {
    return settings.numTemplates;
  }
  const std::int64_t left = static_cast<std::int64_t>(poseCount) / settings.oversampling;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(left, 1, settings.numTemplates));
}

TemplateTrainingResult trainingEnded(CadTrainingStatus status) {
  TemplateTrainingResult result;
  result.status = status;
  return result;
}

TemplateTrainingResult failedTraining(CadTrainingFailure failure, std::string detail = {}) {
  TemplateTrainingResult result = trainingEnded(CadTrainingStatus::RendererFailed);
  result.failure = failure;
  result.detail = std::move(detail);
  return result;
}

/// The camera the occlusion tester renders with: the given one's intrinsics, its inverses and K
/// recomputed from them.
PinholeCamera testerCamera(const PinholeCamera& camera) {
  return PinholeCamera(camera.width, camera.height, camera.focalLength.x(), camera.focalLength.y(),
                       camera.principalPoint.x(), camera.principalPoint.y());
}

/// The positions of the mesh's vertices, in vertex order.
Tester::Points meshVertices(const MeshModel& mesh) {
  Tester::Points vertices;
  vertices.reserve(mesh.mVertices.size());
  for (const MeshModel::Vertex& v : mesh.mVertices) vertices.push_back(v.position);
  return vertices;
}

/// The samples of the sharp edges, edge by edge, in the order the tester reports their visibility.
Tester::Points sharpSamplePoints(const EdgeModel& edgeModel) {
  Tester::Points points;
  points.reserve(countSharpSamples(edgeModel));
  for (std::size_t i = 0; i < sharpEdgeCount(edgeModel); ++i) {
    const auto& samples = edgeModel.mEdges[i].samples;
    points.insert(points.end(), samples.begin(), samples.end());
  }
  return points;
}

/// Appends one candidate per sample of the edge: its image position and the edge's normal angle.
void appendProjectedSamples(const EdgeModel::Edge& edge, const TrainingPose& pose, const PinholeCamera& camera,
                            std::vector<GradientCandidate>& candidates) {
  const ProjectedEdge projected = projectEdgeSamples(edge, pose, camera);
  for (const Eigen::Vector2f& point : projected.points) candidates.push_back({point.x(), point.y(), projected.angle});
}

/// The candidates of one view: the projected samples of the sharp edges and of the edges on the
/// view's silhouette, and the silhouette edges' samples for the occlusion tester. Kept across views
/// so that their storage is reused. Only edges with samples add candidates, so only those are
/// visited: the sharp ones, and the considered non-sharp ones (the silhouette candidates).
struct ViewCandidates {
  std::vector<std::size_t> sampledSharpEdges;
  std::vector<std::size_t> sampledSilhouetteCandidates;
  std::size_t sharpSamples = 0;
  std::vector<GradientCandidate> sharp;
  std::vector<GradientCandidate> silhouette;
  Tester::Points silhouettePoints;

  explicit ViewCandidates(const EdgeModel& edgeModel) : sharpSamples(countSharpSamples(edgeModel)) {
    const std::size_t sharpEdges = sharpEdgeCount(edgeModel);
    const std::size_t considered = std::min(static_cast<std::size_t>(std::max(0, edgeModel.mConsideredEdgeCount)),
                                            edgeModel.mEdges.size());
    for (std::size_t i = 0; i < std::max(sharpEdges, considered); ++i) {
      if (edgeModel.mEdges[i].samples.empty()) continue;
      (i < sharpEdges ? sampledSharpEdges : sampledSilhouetteCandidates).push_back(i);
    }
  }
};

/// Fills `view` with the candidates of the view from `pose`.
void projectView(const EdgeModel& edgeModel, const TrainingPose& pose, const PinholeCamera& camera,
                 ViewCandidates& view) {
  view.sharp.clear();
  view.sharp.reserve(view.sharpSamples);
  view.silhouette.clear();
  view.silhouettePoints.clear();
  for (const std::size_t i : view.sampledSharpEdges) appendProjectedSamples(edgeModel.mEdges[i], pose, camera, view.sharp);
  const Eigen::Matrix3f rotation = pose.rotation.toRotationMatrix();
  for (const std::size_t i : view.sampledSilhouetteCandidates) {
    const EdgeModel::Edge& edge = edgeModel.mEdges[i];
    if (!isSilhouetteEdge(edge, rotation, pose.translation)) continue;
    view.silhouettePoints.insert(view.silhouettePoints.end(), edge.samples.begin(), edge.samples.end());
    appendProjectedSamples(edge, pose, camera, view.silhouette);
  }
}

/// Drops the view's candidates that the tester finds hidden; false when the tester failed to draw.
bool keepVisible(Tester& tester, const TrainingPose& pose, ViewCandidates& view) {
  const Tester::Visibility sharpVisible = tester.calculateVisibleSamplePoints({pose});
  const Tester::Visibility silhouetteVisible = tester.calculateVisibleSamplePoints({pose}, {view.silhouettePoints});
  if (sharpVisible.size() != 1 || silhouetteVisible.size() != 1) {
    LUMETRA_LOG_ERROR("The occlusion tester failed to draw.");
    return false;
  }
  compactByMask(sharpVisible.front(), view.sharp);
  compactByMask(silhouetteVisible.front(), view.silhouette);
  return true;
}

}  // namespace

TemplateTrainingResult LinemodTrainer::trainTemplates(const std::filesystem::path& templatePath,
                                                      CadModelSource& source, const PinholeCamera& camera,
                                                      const EdgeModel& edgeModel) noexcept {
  PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::trainTemplates");
  try {
    const std::shared_ptr<MeshModel> mesh = loadSharedMeshModel(source, true, true);
    if (!mesh) return failedTraining(CadTrainingFailure::OutOfMemory);
    if (!mesh->mLoaded) return failedTraining(CadTrainingFailure::MeshNotLoaded, mesh->mLoadFailure);
    if (mesh->mMaxDistance > mSettings.maxRadius) {
      LUMETRA_LOG_INFO("Camera is at least partially inside the object with all given radii.");
      return trainingEnded(CadTrainingStatus::ModelTooLarge);
    }
    OpenGL::MultiPoseMeshOcclusionTester tester(testerCamera(camera), meshVertices(*mesh), mesh->mIndices,
                                                sharpSamplePoints(edgeModel));
    if (!tester.isReady()) return failedTraining(CadTrainingFailure::RendererUnavailable);

    std::vector<TrainingPose> poses;
    {
      PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::trainTemplates: pose sampling");
      poses = sampleTrainingPoses(mSettings, mesh->mCentroid, source.description);
    }
    TemplateTrainingResult trained = trainingEnded(CadTrainingStatus::Success);
    trained.viewsSampled = poses.size();
    trained.templatesWanted = templatesWanted(mSettings, source.description, poses.size());
    const std::string& className = source.targetName;
    const std::optional<std::int32_t> made = trainViews(tester, poses, className, camera, edgeModel, mesh->mCentroid, trained);
    if (!made) return failedTraining(CadTrainingFailure::RendererUnavailable);
    if (*made < trained.templatesWanted) {
      trained.status = CadTrainingStatus::NotEnoughTemplates;
      return trained;
    }

    mCameras[className] = camera;
    PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::trainTemplates: template file");
    trained.templateFileWritten = writeTemplateFile(*this, templatePath, className);
    return trained;
  } catch (const std::bad_alloc& e) {
    LUMETRA_LOG_ERROR("Template training failed: {}", e.what());
    return failedTraining(CadTrainingFailure::OutOfMemory);
  } catch (const std::exception& e) {
    LUMETRA_LOG_ERROR("Template training failed: {}", e.what());
    return failedTraining(CadTrainingFailure::Exception, e.what());
  }
}

std::optional<std::int32_t> LinemodTrainer::trainViews(OpenGL::MultiPoseMeshOcclusionTester& tester,
                                                      const std::vector<TrainingPose>& poses,
                                                      const std::string& className, const PinholeCamera& camera,
                                                      const EdgeModel& edgeModel, const Eigen::Vector3f& centre,
                                                      TemplateTrainingResult& result) {
  const std::int32_t wanted = result.templatesWanted;
  std::int32_t counter = 0;
  ViewCandidates view(edgeModel);
  for (const TrainingPose& pose : poses) {
    if (counter >= wanted) break;
    {
      PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::trainTemplates: edge projection");
      projectView(edgeModel, pose, camera, view);
    }
    {
      PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::trainTemplates: visibility");
      if (!keepVisible(tester, pose, view)) return std::nullopt;
    }
    view.sharp.insert(view.sharp.end(), view.silhouette.begin(), view.silhouette.end());
    result.mostEdgePoints = std::max(result.mostEdgePoints, view.sharp.size());
    std::int32_t id = -1;
    {
      PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::trainTemplates: feature extraction");
      TemplateRect rectangle;
      id = extractTemplateFeatures(view.sharp, className, pose, 2, &rectangle);
    }
    ++result.viewsTried;
    if (id == -1) {
      if (view.sharp.size() < mSettings.numFeatures) {
        ++result.viewsFewEdgePoints;
      } else {
        const float distance = (pose.rotation * centre + pose.translation).norm();
        if (result.viewsFewPixels++ == 0 || distance < result.fewPixelsNearest) result.fewPixelsNearest = distance;
      }
      continue;
    }
    ++counter;
    if (counter % 100 == 0) {
      LUMETRA_LOG_INFO("Added template id: {} ({:5.2f}%) of {}.", id,
                       100.0 * static_cast<double>(counter) / static_cast<double>(wanted), wanted);
    }
  }
  return counter;
}

std::int32_t LinemodTrainer::extractTemplateFeatures(const std::vector<GradientCandidate>& candidates,
                                                     const std::string& className, const TrainingPose& pose,
                                                     std::uint64_t levels, TemplateRect* rectangle) {
  const std::uint64_t featureCount = mSettings.numFeatures;
  if (featureCount == 0 || levels == 0 || levels > 30) {
    LUMETRA_LOG_WARN("Cannot make templates of {} features on {} levels.", featureCount, levels);
    return -1;
  }
  std::vector<ShuffleRecord> records;
  records.reserve(candidates.size());
  for (const GradientCandidate& c : candidates) {
    if (auto record = toShuffleRecord(c)) records.push_back(*record);
  }
  if (records.size() < featureCount) {
    LUMETRA_LOG_INFO("Not enough features were extracted {}/{}.", records.size(), featureCount);
    return -1;
  }
  std::vector<TemplatePyramid>& classPyramids = mTemplates[className];

  const std::optional<std::uint32_t> seed =
      mSettings.seedGiven ? std::optional<std::uint32_t>(mSettings.seed) : std::nullopt;
  std::mt19937 engine(seed ? *seed : processShuffleSeed());
  std::shuffle(records.begin(), records.end(), engine);

  std::vector<Eigen::Vector2i> points;
  points.reserve(records.size());
  for (const ShuffleRecord& r : records) points.emplace_back(r.x, r.y);
  const float limit = static_cast<float>(featureCount) * 1.5f;
  const std::int32_t orderLimit = limit < 2147483648.0f ? static_cast<std::int32_t>(limit)
                                                        : std::numeric_limits<std::int32_t>::max();
  const std::vector<std::int32_t> order = sortByPairDistance(points, 0, orderLimit, seed);

  TemplatePyramid pyramid;
  for (std::uint64_t level = 0; level < levels; ++level) {
    std::optional<std::vector<Feature>> features =
        levelFeatures(records, order, static_cast<std::size_t>(featureCount), level);
    if (!features) return -1;
    Template t;
    t.pyramidLevel = static_cast<std::int32_t>(level);
    t.rotation = pose.rotation;
    t.translation = pose.translation;
    t.features = std::move(*features);
    pyramid.push_back(std::move(t));
  }
  if (rectangle) *rectangle = cropTemplates(pyramid);
  classPyramids.push_back(std::move(pyramid));
  return static_cast<std::int32_t>(classPyramids.size() - 1);
}

TemplateRect LinemodTrainer::cropTemplates(TemplatePyramid& pyramid) {
  PROFILE_BLOCK("Lumetra::Linemod::LinemodTrainer::cropTemplates");
  std::int64_t minX = std::numeric_limits<std::int32_t>::max();
  std::int64_t minY = minX;
  std::int64_t maxX = std::numeric_limits<std::int32_t>::min();
  std::int64_t maxY = maxX;
  bool any = false;
  for (const Template& t : pyramid) {
    // Level coordinates scaled up by multiplication: they may be negative.
    const std::int64_t scale = std::int64_t{1} << std::clamp(t.pyramidLevel, 0, 30);
    for (const Feature& f : t.features) {
      any = true;
      minX = std::min(minX, f.x * scale);
      minY = std::min(minY, f.y * scale);
      maxX = std::max(maxX, f.x * scale);
      maxY = std::max(maxY, f.y * scale);
    }
  }
  if (!any) return {};
  if (minX % 2 == 1) --minX;  // an odd negative minimum has remainder -1 and stays
  if (minY % 2 == 1) --minY;
  const std::int64_t width = maxX - minX;
  const std::int64_t height = maxY - minY;
  for (Template& t : pyramid) {
    const int shift = std::clamp(t.pyramidLevel, 0, 30);
    t.width = static_cast<std::int32_t>(width >> shift);
    t.height = static_cast<std::int32_t>(height >> shift);
    t.tlX = static_cast<std::int32_t>(minX >> shift);
    t.tlY = static_cast<std::int32_t>(minY >> shift);
    for (Feature& f : t.features) {
      f.x -= t.tlX;
      f.y -= t.tlY;
    }
  }
  return {static_cast<std::int32_t>(minX), static_cast<std::int32_t>(minY), static_cast<std::int32_t>(width),
          static_cast<std::int32_t>(height)};
}

}  // namespace Lumetra::Linemod
