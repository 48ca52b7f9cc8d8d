#pragma once
// Trains LINEMOD-style template pyramids of a CAD model from sampled camera poses.
#include "Detection/CadModel.h"
#include "Detection/LinemodTemplate.h"
#include "Detection/PinholeCamera.h"
#include "Detection/TemplateFeatures.h"
#include "Detection/TrainingPose.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Lumetra {
class EdgeModel;
namespace OpenGL {
class MultiPoseMeshOcclusionTester;
}
}  // namespace Lumetra

namespace Lumetra::Linemod {

/// The outcome of a template training.
enum class CadTrainingStatus : std::int32_t {
  Success = 0,             ///< the templates were trained (the result tells whether the file was written)
  ModelTooLarge = 1,       ///< the model reaches beyond the largest camera distance
  NotEnoughTemplates = 2,  ///< fewer templates than wanted could be made
  RendererFailed = 3,      ///< the views could not be rendered; the result's failure says why
};

/// Why a training ended with `CadTrainingStatus::RendererFailed`.
enum class CadTrainingFailure : std::int32_t {
  None = 0,             ///< the status tells all
  RendererUnavailable,  ///< the occlusion tester could not be set up or could not draw
  MeshNotLoaded,        ///< the model did not load; the detail is the mesh's load failure
  OutOfMemory,          ///< memory ran out
  Exception,            ///< another exception; the detail is its message
};

/// What `LinemodTrainer::trainTemplates` did.
struct TemplateTrainingResult {
  CadTrainingStatus status = CadTrainingStatus::Success;
  CadTrainingFailure failure = CadTrainingFailure::None;
  std::string detail;
  bool templateFileWritten = false;  ///< on success: the template file was written completely
  std::size_t viewsSampled = 0;      ///< the camera poses sampled (symmetries may leave fewer than asked)
  std::int32_t templatesWanted = 0;  ///< the templates the views had to give
  std::size_t mostEdgePoints = 0;    ///< the largest number of visible edge points of any view
  std::size_t viewsTried = 0;        ///< the views turned into templates, or tried to be
  /// Views that gave no template because they showed fewer edge points than a template's features.
  std::size_t viewsFewEdgePoints = 0;
  /// Views that showed enough edge points, on fewer distinct pixels than a template's features at
  /// some level (the model too small in the picture), and the nearest camera distance of those.
  std::size_t viewsFewPixels = 0;
  float fewPixelsNearest = 0.0f;
};

class LinemodTrainer {
 public:
  struct Settings {
    /// Two blocks of detector settings that training carries along unread.
    struct CarriedBlock {
      float a = 40.0f;
      float b = 55.0f;
      std::uint8_t c = 1;
      std::int32_t d = 0;
      std::uint8_t e = 0;
      std::uint8_t f = 1;
    };

    float carriedFloat0 = 60.0f;
    float minRadius = 0.3f;         ///< smallest camera distance from the centroid
    float maxRadius = 0.6f;         ///< largest camera distance; also the object-size check
    std::int32_t numTemplates = 1000;
    std::int32_t selectionMode = 0;  ///< 0 sampling order, 1 farthest-point order
    std::uint64_t numFeatures = 127;
    std::uint32_t seed = 0;
    bool seedGiven = false;
    CarriedBlock carriedBlock0{};
    CarriedBlock carriedBlock1{40.0f, 55.0f, 1, 7, 0, 1};
    std::vector<std::vector<std::int32_t>> levelParameters{{4, 8, 20}, {4, 10}};
    std::uint8_t carriedBytes[4] = {0, 0, 3, 4};
    std::uint64_t carriedCount = 50;
    float carriedFloat1 = 0.1f;
    std::int32_t carriedInt0 = 4;
    std::int32_t carriedInt1 = 100;
    std::int32_t oversampling = 2;
    bool carriedFlag = false;
    std::uint8_t carriedByte = 0;
    float elevationMin = 0.17453294f;  ///< radians (10 degrees)
    float elevationMax = 1.2217306f;   ///< radians (70 degrees)
    float inPlaneMin = -0.34906587f;   ///< radians (-20 degrees)
    float inPlaneMax = 0.34906587f;    ///< exclusive, radians (20 degrees)
    float inPlaneStep = 0.17453294f;   ///< radians (10 degrees)
  };

  explicit LinemodTrainer(const Settings& settings) : mSettings(settings) {}

  const Settings& settings() const { return mSettings; }
  const std::map<std::string, std::vector<TemplatePyramid>>& templates() const { return mTemplates; }
  const std::unordered_map<std::string, PinholeCamera>& cameras() const { return mCameras; }
  /// Records the camera the class was trained for (written into its template file).
  void setCamera(const std::string& className, const PinholeCamera& camera) { mCameras[className] = camera; }

  /// Trains numTemplates template pyramids of the source's model under the source's target name:
  /// samples camera poses around the model (when the model's symmetries leave fewer poses than
  /// oversampling x numTemplates, one template for every `oversampling` poses left, at least one,
  /// is enough), projects the samples of its sharp edges and of the
  /// edges on the silhouette of each view, keeps those the occlusion tester finds visible, and
  /// turns them into template pyramids of two levels until enough exist. On success the camera is
  /// recorded for the class and the template file is written to `templatePath` (folder created
  /// when missing, temporary name then rename); the result tells whether that worked.
  /// Never throws.
  TemplateTrainingResult trainTemplates(const std::filesystem::path& templatePath, CadModelSource& source,
                                        const PinholeCamera& camera, const EdgeModel& edgeModel) noexcept;

  /// Makes one template pyramid of `levels` levels from the gradient candidates seen under
  /// `pose` and files it under `className`. Candidates are labelled by quantised orientation
  /// (a direction and its opposite alike), shuffled, ordered farthest-point first, and every
  /// level takes numFeatures features from that order, merging candidates that fall on one pixel
  /// of the level. When `rectangle` is given the pyramid is cropped (`cropTemplates`) and its
  /// bounding rectangle stored there.
  /// Candidates without a finite position within +-2^29 pixels or without a finite angle are
  /// ignored. Returns the pyramid's template id (its index in the class's list), or -1 when
  /// fewer than numFeatures candidates are usable, some level ends with fewer than numFeatures
  /// distinct features, numFeatures is 0 or `levels` lies outside 1 to 30; nothing is stored then.
  /// The shuffle is seeded with the settings' seed when given, else with one seed drawn for the
  /// whole process on first need, so equal inputs give equal pyramids within a process.
  std::int32_t extractTemplateFeatures(const std::vector<GradientCandidate>& candidates,
                                       const std::string& className, const TrainingPose& pose,
                                       std::uint64_t levels, TemplateRect* rectangle);

  /// Crops every template of the pyramid to the pyramid's common bounding box: the features'
  /// level-0 extent, a positive odd left or top edge lowered by one (a negative odd one stays);
  /// each level's template gets that box scaled down to its level (rounding towards minus
  /// infinity) as size and top-left, and its features become relative to that top-left.
  /// Returns the level-0 box (all zero for a pyramid without features, which stays unchanged).
  static TemplateRect cropTemplates(TemplatePyramid& pyramid);

 private:
  Settings mSettings;
  std::map<std::string, std::vector<TemplatePyramid>> mTemplates;
  std::unordered_map<std::string, PinholeCamera> mCameras;

  /// Makes templates from the poses in order until `result.templatesWanted` exist; returns how
  /// many were made, or nothing when the tester failed to draw. Records the views' edge points and
  /// why views gave no template (camera distances measured from `centre`, in model coordinates).
  std::optional<std::int32_t> trainViews(OpenGL::MultiPoseMeshOcclusionTester& tester,
                                         const std::vector<TrainingPose>& poses, const std::string& className,
                                         const PinholeCamera& camera, const EdgeModel& edgeModel,
                                         const Eigen::Vector3f& centre, TemplateTrainingResult& result);
};

}  // namespace Lumetra::Linemod
