#include "CadTraining.h"

#include "Console.h"
#include "Constants.h"
#include "Core/Angles.h"
#include "Core/AtomicFile.h"
#include "Core/Profiler.h"
#include "Renderer/EdgeModel.h"
#include "Renderer/MeshModel.h"
#include "Renderer/OpenGL/GlContext.h"

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <assimp/scene.h>
#include <fmt/format.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;
using Settings = Lumetra::Linemod::LinemodTrainer::Settings;
using Lumetra::Linemod::CadTrainingStatus;

namespace {

constexpr std::int32_t kMaxTrainingViews = 10000;
/// Camera directions the pose sampler may draw before it filters them by elevation.
constexpr double kMaxDirections = 10000000.0;

/// Prints the line and returns false, for the refusals of the settings checks.
bool refuse(const std::string& line) {
  printLine(line);
  return false;
}

/// Degrees (a double) to radians, computed in double and stored in single precision.
float radians(double degrees) { return static_cast<float>(degrees * Lumetra::kPi / 180.0); }

/// The normalised upright axis, or nothing when the value is not three finite numbers of a
/// length above 1e-5. Normalised in double precision over the largest component, so that
/// neither large nor small components overflow or underflow on the way.
std::optional<Eigen::Vector3f> uprightAxis(const std::vector<double>& value) {
  if (value.size() != 3) return std::nullopt;
  const Eigen::Vector3d v(value[0], value[1], value[2]);
  const double largest = v.cwiseAbs().maxCoeff();
  if (!std::isfinite(largest) || largest == 0.0) return std::nullopt;
  const Eigen::Vector3d scaled = v / largest;
  const double scaledLength = scaled.norm();
  if (!(largest * scaledLength > 1e-5)) return std::nullopt;
  return (scaled / scaledLength).cast<float>();
}

Lumetra::PinholeCamera pinholeCamera(const CameraCalibration& calibration) {
  return Lumetra::PinholeCamera(
      static_cast<std::uint32_t>(std::max(calibration.mResolution.x(), 0)),
      static_cast<std::uint32_t>(std::max(calibration.mResolution.y(), 0)),
      static_cast<float>(calibration.mFocalLength.x()), static_cast<float>(calibration.mFocalLength.y()),
      static_cast<float>(calibration.mPrincipalPoint.x()), static_cast<float>(calibration.mPrincipalPoint.y()));
}

bool hasObjExtension(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".obj";
}

/// A file of the model copy: its name in the target folder and its bytes.
struct CopyFile {
  std::string name;
  std::string bytes;
};

/// The files of the model copy. An OBJ file is copied as it is (its material file is not read);
/// any other format is exported as OBJ, with the exporter's material file beside it under the
/// copy's stem. Nothing on failure.
std::optional<std::vector<CopyFile>> modelCopyFiles(const fs::path& modelPath) noexcept {
  try {
    if (hasObjExtension(modelPath)) {
      std::ifstream in(modelPath, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      if (!in || !bytes) return std::nullopt;
      return std::vector<CopyFile>{{CAD_MODEL_FILE, bytes.str()}};
    }
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(modelPath.string(), 0);
    if (scene == nullptr) return std::nullopt;
    Assimp::Exporter exporter;
    const aiExportDataBlob* blob = exporter.ExportToBlob(scene, "obj");
    if (blob == nullptr || blob->data == nullptr) return std::nullopt;
    std::vector<CopyFile> files{{CAD_MODEL_FILE, std::string(static_cast<const char*>(blob->data), blob->size)}};
    const std::string materialFile = fs::path(CAD_MODEL_FILE).stem().string() + ".mtl";
    for (const aiExportDataBlob* next = blob->next; next != nullptr; next = next->next) {
      if (next->data == nullptr || std::string(next->name.C_Str()) != "mtl") continue;
      files.push_back({materialFile, std::string(static_cast<const char*>(next->data), next->size)});
      // The exporter names the material file after its in-memory file.
      std::string& obj = files.front().bytes;
      const std::string placeholder = "mtllib $blobfile.mtl";
      const std::size_t at = obj.find(placeholder);
      if (at != std::string::npos) obj.replace(at, placeholder.size(), "mtllib " + materialFile);
    }
    return files;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

/// Renames the assembled folder to the target folder unless an entry of that name has appeared
/// meanwhile. Empty on success, else why it failed.
std::string renameFolderIntoPlace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return std::strerror(errno);
  // The file system cannot refuse to replace: check, then rename.
  std::error_code error;
  if (fs::exists(fs::symlink_status(to, error))) return std::strerror(EEXIST);
  fs::rename(from, to, error);
  return error ? error.message() : std::string();
}

/// A number to three significant digits, written without an exponent from 1,000 up to 10^9.
std::string shortNumber(double value) {
  const double magnitude = std::abs(value);
  return magnitude >= 1000.0 && magnitude < 1e9 ? fmt::format("{:.0f}", value) : fmt::format("{:.3g}", value);
}

/// A length in metres, three significant digits.
std::string metres(double value) { return shortNumber(value) + " m"; }

/// Near clipping distance of the views the training renders, in metres.
constexpr double kNearPlane = 0.1;
/// A model that spans fewer pixels than this from the farthest camera shows too few edges.
constexpr double kFewPixels = 20.0;
/// A model smaller than this (in metres, as read) may well have been made in metres.
constexpr double kSmallModel = 0.01;

/// Why the views of the model gave no training (status 1 or 2), one line per cause found, from the
/// model as loaded (millimetres scaled to metres), the camera distances and the camera.
std::vector<std::string> trainingFailureReasons(CadTrainingStatus status, const Lumetra::MeshModel& mesh,
                                                const Settings& settings, const Lumetra::PinholeCamera& camera,
                                                std::size_t templatesMade) {
  const Eigen::Vector3d size = (mesh.mBoundingBoxMax - mesh.mBoundingBoxMin).cast<double>();
  const double reach = mesh.mMaxDistance, offset = mesh.mCentroid.cast<double>().norm();
  const double minRadius = settings.minRadius, maxRadius = settings.maxRadius;
  const std::string measures =
      shortNumber(size.x()) + " x " + shortNumber(size.y()) + " x " + shortNumber(size.z()) + " m (read in millimetres)";
  std::vector<std::string> reasons;
  if (status == CadTrainingStatus::ModelTooLarge) {
    reasons.push_back("The model of " + measures + " reaches " + metres(reach) +
                      " from its centre, beyond the cameras at most " + metres(maxRadius) +
                      " away: raise the maximum of CAD.Detection.DistanceRange to at least " + metres(reach) + ".");
  } else {
    reasons.push_back(fmt::format("Only {} of {} views gave a template; the model measures {} and the cameras stand {} "
                                  "to {} from its centre (CAD.Detection.DistanceRange).",
                                  templatesMade, settings.numTemplates, measures, metres(minRadius),
                                  metres(maxRadius)));
    const double pixels = static_cast<double>(camera.focalLength.maxCoeff()) * size.maxCoeff() / maxRadius;
    if (pixels < kFewPixels) {
      reasons.push_back(fmt::format(
          "From {} the model spans {} pixels, too few for its edges: lower CAD.Detection.DistanceRange{}.",
          metres(maxRadius), shortNumber(pixels),
          size.maxCoeff() < kSmallModel ? ", or scale the model by 1000 if it was made in metres" : ""));
    }
  }
  if (offset > reach) {
    reasons.push_back("The cameras aim at the model's origin, " + metres(offset) +
                      " from the model's centre: move the model's centre to its origin.");
  }
  if (minRadius - reach < kNearPlane) {
    reasons.push_back("Views nearer than " + metres(kNearPlane) + " are clipped, and the model comes as near as " +
                      metres(std::max(minRadius - reach, 0.0)) +
                      " to the cameras: raise the minimum of CAD.Detection.DistanceRange to at least " +
                      metres(reach + kNearPlane) + ".");
  }
  return reasons;
}

// The folder being assembled, for the handler of SIGINT and SIGTERM: written before the handler is
// installed and cleared before it is removed, read only by the handler.
char gStagingPath[PATH_MAX];
volatile std::sig_atomic_t gStagingArmed = 0;
pid_t gStagingProcess = 0;
pthread_t gStagingThread;

/// Removes the files of the folder, then the folder. Only async-signal-safe calls: it runs in the
/// signal handler. The folder holds files only; each pass starts over, since removing entries
/// while reading the folder may skip some.
void removeFolderOfFiles(const char* folder) {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  alignas(dirent64) char buffer[4096];
  bool removed = true;
  for (int pass = 0; removed && pass < 16; ++pass) {
    removed = false;
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        removed = ::unlinkat(fd, name, 0) == 0 || removed;
      }
    }
  }
  ::close(fd);
  ::rmdir(folder);
}

/// SIGINT and SIGTERM while a folder is assembled: the training thread removes it, then the signal
/// ends the process as it would have without the handler. Another thread hands the signal to the
/// training thread, which is then stopped and cannot add a file behind the removal. A child of the
/// process (it inherits the handler) just ends.
extern "C" void onTerminatingSignal(int number) {
  const bool owner = ::getpid() == gStagingProcess;
  if (owner && ::pthread_equal(::pthread_self(), gStagingThread) == 0) {
    ::pthread_kill(gStagingThread, number);
    return;
  }
  if (owner && gStagingArmed != 0) removeFolderOfFiles(gStagingPath);
  ::signal(number, SIG_DFL);
  sigset_t unblocked;
  ::sigemptyset(&unblocked);
  ::sigaddset(&unblocked, number);
  ::pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
  ::raise(number);
}

/// The folder a target is assembled in under a temporary name: removed when the run fails, is
/// interrupted by SIGINT or SIGTERM, or throws, unless `keep` was called.
class StagingFolder {
 public:
  explicit StagingFolder(fs::path folder) : mFolder(std::move(folder)) {
    const std::string text = mFolder.string();
    if (text.size() >= sizeof gStagingPath) return;  // left to the next run of the target
    std::memcpy(gStagingPath, text.c_str(), text.size() + 1);
    gStagingProcess = ::getpid();
    gStagingThread = ::pthread_self();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gStagingArmed = 1;
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    for (const int number : kSignals) ::sigaddset(&action.sa_mask, number);
    // A signal the process was started to ignore stays ignored.
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      mInstalled[i] = ::sigaction(kSignals[i], nullptr, &mPrevious[i]) == 0 && mPrevious[i].sa_handler != SIG_IGN &&
                      ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
  }
  ~StagingFolder() {
    std::error_code ignored;
    if (!mKeep) fs::remove_all(mFolder, ignored);
    gStagingArmed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      if (mInstalled[i]) ::sigaction(kSignals[i], &mPrevious[i], nullptr);
    }
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const fs::path& path() const { return mFolder; }
  void keep() { mKeep = true; }

 private:
  static constexpr std::array<int, 2> kSignals{SIGINT, SIGTERM};
  fs::path mFolder;
  bool mKeep = false;
  std::array<struct sigaction, 2> mPrevious{};
  std::array<bool, 2> mInstalled{};
};

}  // namespace

Eigen::Quaternionf eulerToQuaternion(float x, float y, float z) {
  const auto half = [](float angle) { return angle / 2.0f; };
  const Eigen::Quaternionf qx(std::cos(half(x)), std::sin(half(x)), 0.0f, 0.0f);
  const Eigen::Quaternionf qy(std::cos(half(y)), 0.0f, std::sin(half(y)), 0.0f);
  const Eigen::Quaternionf qz(std::cos(half(z)), 0.0f, 0.0f, std::sin(half(z)));
  return qz * qy * qx;
}

bool configureCadUpright(const TrainingConfig& config, CadModelDescription& description) {
  const std::optional<Eigen::Vector3f> up = uprightAxis(config.cadUprightVector.value);
  if (!up) {
    return refuse("Configuration Error: Upright axis malformed. Provide an axis in the following format: [x,y,z] \n"
                  " Example: +X:[1,0,0] , -Y [0,-1,0]");
  }
  description.upVector = *up;
  return true;
}

bool checkCadCamera(const CameraCalibration& calibration, std::int64_t largestRenderbuffer) {
  const std::string problem = checkCameraCalibration(calibration);
  if (!problem.empty()) return refuse(problem);
  const Eigen::Vector2i& size = calibration.mResolution;
  const std::int64_t largest = largestRenderbuffer;
  if (largest > 0 && (4 * std::int64_t{size.x()} > largest || 4 * std::int64_t{size.y()} > largest)) {
    return refuse(fmt::format(
        "Configuration Error: Camera resolution {} x {} is too large: training renders 4 x 4 views of it and "
        "the OpenGL driver allows at most {} x {} pixels",
        size.x(), size.y(), largest, largest));
  }
  return true;
}

bool configureCadTraining(const TrainingConfig& config, Settings& settings, CadModelDescription& description) {
  const std::vector<double>& radii = config.cadDetectionDistanceRange.value;
  if (radii.empty()) return refuse("Configuration Error: No sampling radii set");
  if (radii.size() != 2) return refuse("Configuration Error: Two radii are necessary (minimum and maximum)");
  if (radii[0] > radii[1]) {
    return refuse("Configuration Error: Minimum radius needs to be smaller or equal to maximum radius");
  }
  settings.minRadius = static_cast<float>(radii[0]);
  settings.maxRadius = static_cast<float>(radii[1]);
  for (const double radius : radii) {
    const std::string why = singlePrecisionProblem(radius);
    if (!why.empty()) return refuse(fmt::format("Configuration Error: Radius {} {}", radius, why));
  }

  const std::int32_t views = config.cadDetectionNumTrainingViews.value;
  if (views < 1 || views > kMaxTrainingViews) {
    return refuse("Configuration Error: Number of views (" + std::to_string(views) +
                  ") is less than or equal to 0 or exceeds maximum of " + std::to_string(kMaxTrainingViews));
  }
  settings.numTemplates = views;

  const std::vector<double>& elevation = config.cadDetectionElevationAngleRange.value;
  if (elevation.size() != 2) return refuse("Configuration Error: Elevation range need to contain 2 values");
  for (const double value : elevation) {
    if (!(value >= -90.0 && value <= 90.0)) {
      return refuse("Configuration Error: Elevation values must be within [-90, 90] degrees");
    }
  }
  if (!(elevation[0] < elevation[1])) {
    return refuse("Configuration Error: Elevation minimum value needs to be smaller than the maximum value");
  }
  settings.elevationMin = radians(elevation[0]);
  settings.elevationMax = radians(elevation[1]);

  for (const char written : config.cadModelContinuousSymmetries.value) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(written)));
    if (c != 'x' && c != 'y' && c != 'z') {
      printLine(std::string("Ignoring axis {") + written + "} for continuous symmetries");
      continue;
    }
    const Eigen::Vector3f axis = Eigen::Vector3f::Unit(c - 'x');
    auto& symmetries = description.continuousSymmetries;
    if (std::none_of(symmetries.begin(), symmetries.end(), [&](const auto& s) { return s.axis == axis; })) {
      symmetries.push_back({axis, Eigen::Vector3f::Zero()});
    }
  }

  const std::vector<double>& discrete = config.cadModelDiscreteSymmetries.value;
  if (!discrete.empty()) {
    if (discrete.size() != 3) return refuse("For discrete symmetries 3 values must be provided.");
    for (int axis = 0; axis < 3; ++axis) {
      const float angle = radians(discrete[static_cast<std::size_t>(axis)]);
      if (std::isinf(angle)) {
        return refuse(fmt::format(
            "Configuration Error: Discrete symmetry angle {} degrees is {} in radians in single precision",
            discrete[axis], angle));
      }
      if (angle == 0.0f) continue;
      Eigen::Vector3f angles = Eigen::Vector3f::Zero();
      angles[axis] = angle;
      description.discreteSymmetries.push_back(
          {eulerToQuaternion(angles.x(), angles.y(), angles.z()), Eigen::Vector3f::Zero()});
    }
  }

  // The pose sampler draws views x pi / band directions (per symmetry copy) before it keeps those
  // in the band: a narrow band would ask for more than memory holds.
  const double band = static_cast<double>(settings.elevationMax) - static_cast<double>(settings.elevationMin);
  const double copies = static_cast<double>(std::max<std::size_t>(description.discreteSymmetries.size(), 1));
  const double directions = copies * static_cast<double>(settings.oversampling) * views * Lumetra::kPi / band;
  if (!(band > 0.0) || !(directions <= kMaxDirections)) {
    return refuse(fmt::format(
        "Configuration Error: Elevation range [{}, {}] is too narrow for {} views: sampling would draw more than {} "
        "camera directions",
        elevation[0], elevation[1], views, static_cast<std::int64_t>(kMaxDirections)));
  }
  return true;
}

bool trainCadTarget(const TrainingConfig& config, const CameraCalibration& calibration, const std::string& targetName,
                    const fs::path& modelPath, const fs::path& outputDirectory) {
  PROFILE_BLOCK("trainCadTarget");
  const fs::path targetFolder = outputDirectory / (TARGET_PREFIX + targetName);
  CadModelDescription description;

  if (!configureCadUpright(config, description)) return false;

  // Any entry of that name counts, a file or a dangling link too. A folder that cannot be
  // inspected is left to the write, which then fails without replacing anything.
  std::error_code error;
  if (fs::exists(fs::symlink_status(targetFolder, error))) {
    printLine("ERROR: A target with name " + quotePath(targetName) + " already exists in " +
              quotePath(outputDirectory));
    printReason("Remove or rename " + quotePath(targetFolder) + ", or choose another Config.Target.Name.");
    return false;
  }
  Lumetra::removeAbandonedTemporaryFolders(targetFolder);

  Settings settings;
  const Lumetra::PinholeCamera camera = pinholeCamera(calibration);
  // Without an OpenGL context the size limit is left to the training, which then reports the
  // renderer as not loaded.
  if (!configureCadTraining(config, settings, description) ||
      !checkCadCamera(calibration, Lumetra::OpenGL::GlContext::shared().maxRenderbufferSize())) {
    printLine("Configuration error. Aborting training");
    return false;
  }

  CadModelSource source{modelPath.string(), targetName, description, nullptr};
  printLine("Starting CAD target training. This might take a few minutes.");
  std::shared_ptr<Lumetra::MeshModel> mesh;
  {
    PROFILE_BLOCK("trainCadTarget: model loading");
    mesh = Lumetra::loadSharedMeshModel(source, true, true);
  }
  // A model whose faces all lack an area (points, lines, collinear corners) has no surface to
  // render: no view could give a template. The area is taken in double precision, which neither
  // overflows nor underflows for any pair of single-precision edges.
  const auto hasArea = [&mesh](const Lumetra::MeshModel::Face& face) {
    const auto corner = [&](std::size_t k) { return mesh->mVertices[face.indices[k]].position.cast<double>(); };
    return !(corner(1) - corner(0)).cross(corner(2) - corner(0)).isZero(0.0);
  };
  if (!mesh || !mesh->mLoaded || std::none_of(mesh->mFaces.begin(), mesh->mFaces.end(), hasArea)) {
    printLine("ERROR: Could not load the model");
    const std::string why = !mesh            ? "there is not enough memory to hold it."
                            : !mesh->mLoaded ? mesh->mLoadFailure
                                             : "it imported without any triangle that has an area.";
    printReason("The model " + quotePath(modelPath) + " could not be loaded: " + why);
    return false;
  }

  // Every file goes into a folder of a temporary name first; it becomes the target folder only
  // when all of them are complete.
  const auto failedWrite = [&targetFolder](const std::string& reason) {
    printLine("ERROR: Failed to write CAD target data to " + quotePath(targetFolder));
    printReason(reason);
    return false;
  };
  const auto unwritable = [&outputDirectory](const std::string& file) {
    return "Could not write " + file + " into " + quotePath(outputDirectory) +
           ": make room on its disk or allow writing there.";
  };
  StagingFolder staging(Lumetra::temporaryFolderFor(targetFolder));
  if (!fs::create_directory(staging.path(), error) || error) {
    return failedWrite("Could not create a folder in " + quotePath(outputDirectory) + ": " +
                       (error ? error.message() : std::strerror(EEXIST)) + ".");
  }

  Lumetra::EdgeModel edgeModel;
  {
    PROFILE_BLOCK("trainCadTarget: edge model");
    Lumetra::EdgeModelParams params;
    params.sampleStep = 0.06f * mesh->mMaxDistance;
    params.sharpAngleDeg = 44.0f;
    params.considerAngleDeg = 1.0f;
    params.maxSamples = 1000;
    params.subsample = false;
    edgeModel = Lumetra::EdgeModel(*mesh, params, std::nullopt);
  }
  // A failed write does not stop the training: the run fails after it, with the training's
  // outcome reported first.
  const bool edgeModelWritten = Lumetra::saveEdgeModel(edgeModel, (staging.path() / CAD_EDGE_MODEL_FILE).string());

  Lumetra::Linemod::LinemodTrainer trainer(settings);
  const Lumetra::Linemod::TemplateTrainingResult trained =
      trainer.trainTemplates(staging.path() / CAD_TEMPLATE_FILE, source, camera, edgeModel);
  switch (trained.status) {
    case CadTrainingStatus::Success:
      break;
    case CadTrainingStatus::ModelTooLarge:
    case CadTrainingStatus::NotEnoughTemplates: {
      printLine(trained.status == CadTrainingStatus::ModelTooLarge
                    ? "ERROR: Camera radii are too close to the object"
                    : "ERROR: Not enough templates generated. Try to reduce rendering radii");
      const auto made = trainer.templates().find(targetName);
      const std::size_t count = made == trainer.templates().end() ? 0 : made->second.size();
      for (const std::string& reason : trainingFailureReasons(trained.status, *mesh, settings, camera, count)) {
        printReason(reason);
      }
      return false;
    }
    case CadTrainingStatus::RendererFailed:
      printLine("ERROR: Could not load the model");
      switch (trained.failure) {
        case Lumetra::Linemod::CadTrainingFailure::MeshNotLoaded:
          printReason("The model " + quotePath(modelPath) + " could not be loaded: " + trained.detail);
          break;
        case Lumetra::Linemod::CadTrainingFailure::OutOfMemory:
          printReason("There is not enough memory to train the templates: free memory, or lower "
                      "CAD.Detection.NumTrainingViews.");
          break;
        case Lumetra::Linemod::CadTrainingFailure::Exception:
          printReason("Training the templates failed: " + trained.detail);
          break;
        case Lumetra::Linemod::CadTrainingFailure::None:
        case Lumetra::Linemod::CadTrainingFailure::RendererUnavailable:
          printReason(Lumetra::OpenGL::GlContext::shared().isInitialized()
                          ? "The OpenGL driver cannot run the training's renderer, which needs OpenGL 4.3 or later."
                          : "OpenGL could not be started: training renders its views on an X display; set DISPLAY "
                            "to one (a virtual one, Xvfb, will do).");
          break;
      }
      return false;
  }
  if (!edgeModelWritten) return failedWrite(unwritable(CAD_EDGE_MODEL_FILE));
  if (!trained.templateFileWritten) return failedWrite(unwritable(CAD_TEMPLATE_FILE));

  {
    PROFILE_BLOCK("trainCadTarget: model copy");
    const std::optional<std::vector<CopyFile>> copy = modelCopyFiles(modelPath);
    if (!copy) return failedWrite("Could not read the model " + quotePath(modelPath) + " again to copy it.");
    std::vector<Lumetra::PendingFile> files;
    for (const CopyFile& file : *copy) {
      files.push_back({file.name, [&file](const fs::path& temporary) {
                         return Lumetra::writeBytes(temporary, file.bytes);
                       }});
    }
    if (!Lumetra::writeTargetFiles(staging.path(), files)) return failedWrite(unwritable(CAD_MODEL_FILE));
  }
  const std::string renameFailure = renameFolderIntoPlace(staging.path(), targetFolder);
  if (!renameFailure.empty()) {
    return failedWrite("Could not rename the finished folder " + quotePath(staging.path()) + " to " +
                       quotePath(targetFolder) + ": " + renameFailure + ".");
  }
  staging.keep();
  printLine("Saved trained target files in " + quotePath(targetFolder));
  return true;
}
