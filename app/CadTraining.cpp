#include "CadTraining.h"

#include "CadSettings.h"
#include "CadTrainingReasons.h"
#include "Console.h"
#include "Constants.h"
#include "Core/AtomicFile.h"
#include "Core/Profiler.h"
#include "Renderer/EdgeModel.h"
#include "Renderer/MeshModel.h"
#include "Renderer/ModelCopy.h"
#include "Renderer/OpenGL/GlContext.h"

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace fs = std::filesystem;
using Settings = Lumetra::Linemod::LinemodTrainer::Settings;
using Lumetra::Linemod::CadTrainingStatus;

namespace {

/// The edge model's settings: its samples lie 6 % of the model's reach (its largest distance from
/// its centre) apart; an edge whose faces' normals differ by 44 degrees or more is sharp, by 1
/// degree or more considered; at most 1000 sharp-edge samples are kept, without thinning. When its
/// views give too few templates, the edge model is built again with half the step (a model whose
/// visible edges are short for its size, a cone or a sphere, shows too few samples in any view),
/// down to an eighth.
constexpr float kEdgeSampleStepsOfReach[] = {0.06f, 0.03f, 0.015f, 0.0075f};
/// The most samples an edge model may draw on its sharp edges before the voxel filter thins them
/// and on its flat edges (memory), and the most considered edges and samples on them, which every
/// view tests and projects (time).
constexpr double kMaxSharpOrFlatSamples = 16777216.0;
constexpr double kMaxConsideredSamples = 1048576.0;
constexpr std::uint64_t kMaxConsideredEdges = 1048576;
constexpr float kSharpEdgeDegrees = 44.0f;
constexpr float kConsideredEdgeDegrees = 1.0f;
constexpr std::int32_t kMaxEdgeSamples = 1000;

// The steps of the driver. Each prints what it found and returns whether training goes on.

/// Prints the check's lines; whether the settings can be used.
bool printed(const CadSettingsCheck& check) {
  for (std::size_t i = 0; i < check.lines.size(); ++i) {
    const bool refusal = !check.usable && i + 1 == check.lines.size();
    (refusal ? printFailure : printLine)(check.lines[i]);
  }
  return check.usable;
}

/// Whether no entry takes the target folder's name. Any entry counts, a file or a dangling link
/// too; a folder that cannot be inspected is left to the write, which then fails without
/// replacing anything.
bool targetNameIsFree(const fs::path& targetFolder, const std::string& targetName, const fs::path& outputDirectory) {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(targetFolder, error))) return true;
  printLine("ERROR: A target with name " + quotePath(targetName) + " already exists in " + quotePath(outputDirectory));
  printReason("Remove or rename " + quotePath(targetFolder) + ", or choose another Config.Target.Name.");
  return false;
}

/// Why a texture the model names was left out, and what to do.
std::string textureLeftOut(const Lumetra::MeshModel::TextureFailure& texture) {
  using Failure = Lumetra::MeshModel::TextureFailure;
  const std::string named = "The model's texture " + quotePath(texture.path);
  const std::string leads = texture.target.empty() ? "" : " (it leads to " + quotePath(texture.target) + ")";
  switch (texture.kind) {
    case Failure::Outside:
      return named + " lies outside the model's folder" + leads +
             ": it was left out of training and of the target; put the picture beside the model (or in a folder "
             "below it) and name it from there in the model's materials.";
    case Failure::NotRegular:
      return named + " is not a regular file (a folder, a device, a pipe or a socket)" + leads +
             ": it was left out of training and of the target; put the picture file itself beside the model.";
    case Failure::TooLarge:
      return fmt::format("{} is {} x {} pixels, more than a texture may have ({} pixels, {} a side): it was left out "
                         "of training; scale it down.",
                         named, texture.width, texture.height, Lumetra::MeshModel::kMaxTexturePixels,
                         Lumetra::MeshModel::kMaxTextureSide);
    case Failure::OverBudget:
      return fmt::format("{} ({} x {} pixels) would take the model's textures past {} pixels in all (each file "
                         "counted once): it was left out of training; scale the model's textures down.",
                         named, texture.width, texture.height, Lumetra::MeshModel::kMaxTotalTexturePixels);
    case Failure::NotDecoded:
      return named + " could not be decoded (damaged, or not a PNG, JPEG, BMP, PGM or PPM picture): it was left out "
                     "of training; put a PNG, JPEG or BMP picture there, or correct the name in the model's materials.";
    case Failure::Unreadable:
      break;
  }
  return named + " could not be read (missing, or not readable): it was left out; put a PNG, JPEG or BMP picture "
                 "beside the model, or correct the name in the model's materials.";
}

/// The model with its face pairs, or nothing when it did not load or has no surface to render;
/// why a texture was left out goes to standard error.
std::shared_ptr<Lumetra::MeshModel> loadModel(CadModelSource& source, const fs::path& modelPath) {
  std::shared_ptr<Lumetra::MeshModel> mesh;
  {
    PROFILE_BLOCK("trainCadTarget: model loading");
    mesh = Lumetra::loadSharedMeshModel(source, true, true);
  }
  // A model without any face that has an area has no surface to render: no view could give a
  // template.
  if (mesh && mesh->mLoaded && mesh->hasArea()) {
    for (const Lumetra::MeshModel::TextureFailure& texture : mesh->mTextureFailures) printReason(textureLeftOut(texture));
    return mesh;
  }
  printLine("ERROR: Could not load the model");
  const std::string why = !mesh            ? "there is not enough memory to hold it."
                          : !mesh->mLoaded ? mesh->mLoadFailure
                                           : "it imported without any triangle that has an area.";
  printReason("The model " + quotePath(modelPath) + " could not be loaded: " + why);
  return nullptr;
}

Lumetra::EdgeModelParams edgeModelParams(const Lumetra::MeshModel& mesh, float stepOfReach) {
  Lumetra::EdgeModelParams params;
  params.sampleStep = stepOfReach * mesh.mMaxDistance;
  params.sharpAngleDeg = kSharpEdgeDegrees;
  params.considerAngleDeg = kConsideredEdgeDegrees;
  params.maxSamples = kMaxEdgeSamples;
  params.subsample = false;
  return params;
}

/// Why the edge model of the step cannot be built within bounds (many faces on one edge), or empty.
std::string edgeModelTooLarge(const Lumetra::MeshModel& mesh, float stepOfReach, const fs::path& modelPath,
                              float modelScale) {
  const Lumetra::EdgeModelWork work = Lumetra::estimateEdgeModelWork(mesh, edgeModelParams(mesh, stepOfReach));
  if (std::max(work.sharpSamples, work.flatSamples) <= kMaxSharpOrFlatSamples &&
      work.consideredSamples <= kMaxConsideredSamples && work.consideredEdges <= kMaxConsideredEdges) {
    return {};
  }
  const Lumetra::SharedEdge edge = Lumetra::mostSharedEdge(mesh);
  const auto point = [modelScale](const Eigen::Vector3f& p) {
    const Eigen::Vector3d file = p.cast<double>() / static_cast<double>(modelScale);
    return "(" + shortNumber(file.x()) + ", " + shortNumber(file.y()) + ", " + shortNumber(file.z()) + ")";
  };
  const std::string bounds = fmt::format("at most {} edges where faces meet at an angle and {} sample points",
                                         kMaxConsideredEdges, shortNumber(kMaxSharpOrFlatSamples));
  if (edge.faces <= 2) {
    return "The model " + quotePath(modelPath) + " has more edges than training can hold (" + bounds +
           "): simplify the model.";
  }
  return fmt::format("The model {} has an edge that {} faces share, from {} to {}: its edge model would be larger "
                     "than training can hold ({}); remove the faces that repeat that edge.",
                     quotePath(modelPath), edge.faces, point(edge.pointA), point(edge.pointB), bounds);
}

Lumetra::EdgeModel buildEdgeModel(const Lumetra::MeshModel& mesh, float stepOfReach) {
  PROFILE_BLOCK("trainCadTarget: edge model");
  return Lumetra::EdgeModel(mesh, edgeModelParams(mesh, stepOfReach), std::nullopt);
}

/// Whether the training gave the target; reports why not when it did not.
bool trainingSucceeded(const Lumetra::Linemod::TemplateTrainingResult& trained, std::size_t count,
                       const fs::path& modelPath, const Lumetra::MeshModel& mesh, const Settings& settings,
                       const Lumetra::PinholeCamera& camera) {
  switch (trained.status) {
    case CadTrainingStatus::Success:
      break;
    case CadTrainingStatus::ModelTooLarge:
    case CadTrainingStatus::NotEnoughTemplates: {
      printLine(trained.status == CadTrainingStatus::ModelTooLarge
                    ? "ERROR: Camera radii are too close to the object"
                    : "ERROR: Not enough templates generated. Try to reduce rendering radii");
      Settings asked = settings;
      if (trained.templatesWanted > 0) asked.numTemplates = trained.templatesWanted;
      for (const std::string& reason : trainingFailureReasons(trained.status, mesh, asked, camera, count)) {
        printReason(reason);
      }
      return false;
    }
    case CadTrainingStatus::RendererFailed:
      printLine("ERROR: Could not load the model");
      printReason(renderFailureReason(trained, modelPath));
      return false;
  }
  return true;
}

/// The longest name a file of the copy may have in the folder, with room for its temporary name.
std::size_t longestCopyName(const fs::path& folder) {
  const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::size_t bytes = longest > 0 ? static_cast<std::size_t>(longest) : 255;
  return bytes > Lumetra::kTemporaryFileNameExtra ? bytes - Lumetra::kTemporaryFileNameExtra : 1;
}

/// How many views the model's symmetries left, when they left fewer than the training asks for, or
/// empty.
std::string symmetryNote(const TrainingConfig& config, const Settings& settings, const CadModelDescription& description,
                         const Lumetra::Linemod::TemplateTrainingResult& trained) {
  if (trained.templatesWanted <= 0 || trained.templatesWanted >= settings.numTemplates) return {};
  std::string keys;
  if (!description.continuousSymmetries.empty()) {
    keys = "CAD.Model.ContinuousSymmetries " + quotePath(config.cadModelContinuousSymmetries.value);
  }
  if (!description.discreteSymmetries.empty()) {
    keys += std::string(keys.empty() ? "" : " and ") + "CAD.Model.DiscreteSymmetries";
  }
  return fmt::format("{} {} {} of the {} camera views that {} templates take (a symmetric model shows fewer "
                     "distinct views): {} templates are enough, not the {} of CAD.Detection.NumTrainingViews.",
                     keys, keys.find(" and ") == std::string::npos ? "leaves" : "leave", trained.viewsSampled,
                     static_cast<std::int64_t>(settings.oversampling) * settings.numTemplates,
                     settings.numTemplates, trained.templatesWanted, settings.numTemplates);
}

/// Writes the copy of the model into the folder. Empty on success, else why it failed. Textures
/// of the copy left out (and not reported with the model's) are reported here. The model and its
/// materials are written first, all or nothing; each texture file after them on its own, so that
/// one that cannot be read is left out of the copy alone.
std::string writeModelCopy(const fs::path& folder, const fs::path& modelPath, const fs::path& outputDirectory,
                           const Lumetra::MeshModel& mesh, std::vector<fs::path>& names) {
  PROFILE_BLOCK("trainCadTarget: model copy");
  using Lumetra::MeshModel;
  std::vector<MeshModel::TextureFailure> leftOut;
  Lumetra::TextureLookup besideModel(modelPath.parent_path().string());
  Lumetra::TextureLookup& textures = mesh.mTextureFiles ? *mesh.mTextureFiles : besideModel;
  const auto copy = Lumetra::modelCopyFiles(modelPath, CAD_MODEL_FILE, mesh.mObjExport, textures,
                                            longestCopyName(folder), leftOut);
  if (!copy) {
    const bool exported = !Lumetra::hasObjExtension(modelPath.string());
    return std::string(exported ? "Could not export the model " : "Could not read the model ") + quotePath(modelPath) +
           (exported ? " as OBJ" : "") + " to copy it into the target.";
  }
  for (const MeshModel::TextureFailure& texture : leftOut) {
    const auto reported = [&texture](const MeshModel::TextureFailure& failure) { return failure.path == texture.path; };
    if (std::none_of(mesh.mTextureFailures.begin(), mesh.mTextureFailures.end(), reported)) {
      printReason(textureLeftOut(texture));
    }
  }
  const auto pending = [](const Lumetra::ModelCopyFile& file, Lumetra::CopyOutcome& outcome) {
    return Lumetra::PendingFile{file.name, [&file, &outcome](const fs::path& temporary) {
                                  outcome = Lumetra::writeModelCopyFile(file, temporary);
                                  return outcome == Lumetra::CopyOutcome::Copied;
                                }};
  };
  Lumetra::CopyOutcome outcome = Lumetra::CopyOutcome::Copied;
  std::vector<Lumetra::PendingFile> model;
  for (const Lumetra::ModelCopyFile& file : *copy) {
    if (!file.texture) model.push_back(pending(file, outcome));
  }
  if (!Lumetra::writeTargetFiles(folder, model)) return cannotWrite(CAD_MODEL_FILE, outputDirectory);
  for (const Lumetra::ModelCopyFile& file : *copy) {
    outcome = Lumetra::CopyOutcome::Copied;  // a write that fails before reading its source is not the source's
    if (!file.texture) {
      names.push_back(file.name);
    } else if (Lumetra::writeTargetFiles(folder, {pending(file, outcome)})) {
      names.push_back(file.name);
    } else if (outcome == Lumetra::CopyOutcome::SourceUnreadable) {
      printReason("The model's texture " + quotePath(file.source) +
                  " could not be read for the target's copy (it changed or went while the model trained): it was "
                  "left out of the copy; train the model again.");
    } else {
      return cannotWrite(file.name, outputDirectory);
    }
  }
  return {};
}

}  // namespace

bool trainCadTarget(const TrainingConfig& config, const CameraCalibration& calibration, const std::string& targetName,
                    const fs::path& modelPath, const fs::path& outputDirectory) {
  PROFILE_BLOCK("trainCadTarget");
  const fs::path targetFolder = outputDirectory / (TARGET_PREFIX + targetName);
  CadModelDescription description;
  if (!printed(configureCadUpright(config, description))) return false;
  if (!targetNameIsFree(targetFolder, targetName, outputDirectory)) return false;
  const auto failedWrite = [&targetFolder](const std::string& reason) {
    printLine("ERROR: Failed to write CAD target data to " + quotePath(targetFolder));
    printReason(reason);
    return false;
  };
  if (Lumetra::removeAbandonedTemporaryFolders(targetFolder) > 0) {
    return failedWrite(cannotWrite("target " + quotePath(targetName), outputDirectory,
                                   "another run of the trainer is writing it; wait until it ends"));
  }

  Settings settings;
  const Lumetra::PinholeCamera camera = pinholeCamera(calibration);
  // Without an OpenGL context the size limit is left to the training, which then reports the
  // renderer as not loaded.
  if (!printed(configureCadTraining(config, settings, description)) ||
      !printed(checkCadCamera(calibration, Lumetra::OpenGL::GlContext::shared().maxRenderbufferSize()))) {
    printLine("Configuration error. Aborting training");
    return false;
  }

  CadModelSource source{modelPath.string(), targetName, description, nullptr, fs::path(CAD_MODEL_FILE).stem().string()};
  printLine("Starting CAD target training. This might take a few minutes.");
  const std::shared_ptr<Lumetra::MeshModel> mesh = loadModel(source, modelPath);
  if (!mesh) return false;

  if (const std::string why = edgeModelTooLarge(*mesh, kEdgeSampleStepsOfReach[0], modelPath, description.scale);
      !why.empty()) {
    printLine("ERROR: Could not load the model");
    printReason(why);
    return false;
  }
  // Every file goes into a folder of a temporary name first; it becomes the target folder only
  // when all of them are complete.
  Lumetra::StagedFolder staging(targetFolder);
  if (const std::string why = staging.create(); !why.empty()) {
    return failedWrite(cannotWrite("a folder", outputDirectory));
  }
  // A training with too few templates is tried again with a finer edge model (while it stays within
  // bounds and the finer samples showed more edge points in some view), whose file replaces the
  // coarser one's; the best outcome is reported.
  Lumetra::Linemod::TemplateTrainingResult trained;
  bool edgeModelWritten = false;
  std::size_t step = 0, templatesMade = 0, mostEdgePoints = 0;
  for (;; ++step) {
    const Lumetra::EdgeModel edgeModel = buildEdgeModel(*mesh, kEdgeSampleStepsOfReach[step]);
    // A failed write does not stop the training: the run fails after it, with the training's
    // outcome reported first.
    edgeModelWritten = Lumetra::saveEdgeModel(edgeModel, (staging.path() / CAD_EDGE_MODEL_FILE).string());
    Lumetra::Linemod::LinemodTrainer trainer(settings);
    trained = trainer.trainTemplates(staging.path() / CAD_TEMPLATE_FILE, source, camera, edgeModel);
    const auto made = trainer.templates().find(targetName);
    templatesMade = std::max(templatesMade, made == trainer.templates().end() ? 0 : made->second.size());
    const bool morePoints = step == 0 || trained.mostEdgePoints > mostEdgePoints;
    mostEdgePoints = std::max(mostEdgePoints, trained.mostEdgePoints);
    if (trained.status != CadTrainingStatus::NotEnoughTemplates || !morePoints ||
        step + 1 == std::size(kEdgeSampleStepsOfReach) ||
        !edgeModelTooLarge(*mesh, kEdgeSampleStepsOfReach[step + 1], modelPath, description.scale).empty()) {
      break;
    }
  }
  const auto everyStep = [&mesh](std::size_t at) {
    return "every " + shortNumber(1000.0 * kEdgeSampleStepsOfReach[at] * mesh->mMaxDistance) + " mm (" +
           shortNumber(100.0 * kEdgeSampleStepsOfReach[at]) + " % of the model's reach)";
  };
  if (const std::string note = symmetryNote(config, settings, description, trained); !note.empty()) printReason(note);
  if (!trainingSucceeded(trained, templatesMade, modelPath, *mesh, settings, camera)) {
    if (trained.status != CadTrainingStatus::NotEnoughTemplates) return false;
    // Views that show no edge point at all miss the model: the sample step is not the cause.
    const std::string outside = framingReason(calibration, *mesh, settings);
    if (!outside.empty()) printReason(outside);
    if (outside.empty() && mostEdgePoints > 0 && mostEdgePoints < settings.numFeatures) {
      printReason(fmt::format("With edge samples down to {}, the best view showed {} edge points of the {} a template "
                              "needs; the camera distance does not change this count.",
                              everyStep(step), mostEdgePoints, settings.numFeatures));
    }
    if (outside.empty()) {
      const bool spanSaid = spanPixels(*mesh, camera, settings.maxRadius) < kFewPixels;
      const double unclipped = mesh->mMaxDistance + kNearPlane;
      const double clipped = settings.minRadius < unclipped ? unclipped : 0.0;
      for (const std::string& reason :
           viewFailureReasons(trained, settings, templatesMade, everyStep(step), spanSaid, clipped)) {
        printReason(reason);
      }
    }
    return false;
  }
  if (step > 0) {
    printReason("Edge samples " + everyStep(0) + " gave too few templates; the target was trained with samples " +
                everyStep(step) + ".");
  }
  if (!edgeModelWritten) return failedWrite(cannotWrite(CAD_EDGE_MODEL_FILE, outputDirectory));
  if (!trained.templateFileWritten) return failedWrite(cannotWrite(CAD_TEMPLATE_FILE, outputDirectory));
  std::vector<fs::path> names{CAD_EDGE_MODEL_FILE, CAD_TEMPLATE_FILE};
  if (const std::string why = writeModelCopy(staging.path(), modelPath, outputDirectory, *mesh, names); !why.empty()) {
    return failedWrite(why);
  }
  if (!staging.commit(names, false).empty()) {
    return failedWrite(cannotWrite("target " + quotePath(targetName), outputDirectory));
  }
  printLine("Saved trained target files in " + quotePath(targetFolder));
  return true;
}
