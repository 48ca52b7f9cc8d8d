// The CAD driver's checks on a fuzzed configuration file and a fuzzed calibration file. The input
// is the configuration, then (after the first NUL byte, when there is one) the calibration; a
// missing or refused calibration leaves the built-in one. Checked on top of the sanitizers: an
// accepted upright axis has unit length; accepted settings give finite positive radii in order, a
// view count within 1 to 10000, an elevation band inside [-pi / 2, pi / 2] and at most three
// symmetries of each kind, the discrete ones unit
// rotations; an accepted camera has a size of at least one pixel within the
// renderbuffer's tile grid and finite positive single-precision focal lengths.
#include "FuzzSupport.h"

#include "CadSettings.h"
#include "JsonConfig.h"

#include <cmath>
#include <cstdio>

constexpr std::int64_t kLargestRenderbuffer = 16384;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Anything printed on standard output would drown the fuzzer's own report.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzSupport::ScratchFolder folder;
  const std::uint8_t* end = data + size;
  const std::uint8_t* split = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t configSize = static_cast<std::size_t>((split ? split : end) - data);
  TrainingConfig config;
  if (!loadJsonFile(config, folder.write("config.json", data, configSize))) return 0;
  CameraCalibration calibration = CameraCalibration::builtIn();
  if (split != nullptr) {
    const std::size_t calibrationSize = static_cast<std::size_t>(end - split - 1);
    loadCameraCalibration(folder.write("calibration.json", split + 1, calibrationSize), calibration);
  }

  CadModelDescription description;
  if (configureCadUpright(config, description)) {
    FUZZ_CHECK(std::abs(description.upVector.norm() - 1.0f) < 1e-5f);
  }
  Lumetra::Linemod::LinemodTrainer::Settings settings;
  if (configureCadTraining(config, settings, description)) {
    FUZZ_CHECK(std::isfinite(settings.minRadius) && settings.minRadius > 0.0f);
    FUZZ_CHECK(std::isfinite(settings.maxRadius) && settings.minRadius <= settings.maxRadius);
    FUZZ_CHECK(settings.numTemplates >= 1 && settings.numTemplates <= 10000);
    const float halfPi = 1.5707964f;
    FUZZ_CHECK(-halfPi <= settings.elevationMin && settings.elevationMin < settings.elevationMax &&
               settings.elevationMax <= halfPi);
    FUZZ_CHECK(description.continuousSymmetries.size() <= 3 && description.discreteSymmetries.size() <= 3);
    for (const auto& symmetry : description.discreteSymmetries) {
      FUZZ_CHECK(std::abs(symmetry.rotation.norm() - 1.0f) < 1e-5f);
    }
  }
  for (const std::int64_t largest : {std::int64_t{0}, kLargestRenderbuffer}) {
    if (!checkCadCamera(calibration, largest)) continue;
    const Eigen::Vector2i& resolution = calibration.mResolution;
    FUZZ_CHECK(resolution.x() >= 1 && resolution.y() >= 1);
    if (largest > 0) FUZZ_CHECK(4 * std::int64_t{resolution.x()} <= largest && 4 * std::int64_t{resolution.y()} <= largest);
    const float fx = static_cast<float>(calibration.mFocalLength.x());
    const float fy = static_cast<float>(calibration.mFocalLength.y());
    FUZZ_CHECK(std::isfinite(fx) && fx > 0.0f && std::isfinite(fy) && fy > 0.0f);
  }
  return 0;
}
