#include "TrainingDrivers.h"

#include "CadTraining.h"
#include "Console.h"
#include "Constants.h"
#include "JsonConfig.h"
#include "Core/AtomicFile.h"
#include "Core/FileKind.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "ObjectTracker/Trainer/QRCode/QRCodeTargetGenerator.h"

#include <fmt/format.h>

#include <algorithm>

namespace {

bool trainImageTarget(const TrainingConfig& config, const CameraCalibration& calibration, std::string targetName,
                      const std::string& picturePath, const std::filesystem::path& outputDirectory) {
  // Settings that would make training divide by zero or allocate without bound are refused
  // before anything is read.
  for (const std::string& problem :
       {Obrin::ImageTargetTrainer::checkConfiguration(config), checkCameraCalibration(calibration)}) {
    if (!problem.empty()) {
      printFailure(problem);
      return false;
    }
  }
  Obrin::ImageTargetTrainer trainer(config, calibration);
  const bool trained = trainer.train(picturePath, targetName);
  if (!trained) printFailure("Failed to train from " + escapeControls(picturePath));
  for (const std::string& reason : trainer.reasons()) printReason(reason);
  if (!trained) return false;
  if (!trainer.saveTarget(targetName, outputDirectory.string())) {
    printLine("Failed to write training data to " + quotePath(outputDirectory));
    printReason(cannotWrite("the files of target " + quotePath(targetName), outputDirectory));
    return false;
  }
  return true;
}

bool trainQRCodeTarget(const TrainingConfig& config, std::string targetName,
                       const std::filesystem::path& outputDirectory) {
  const std::string problem = Obrin::QRCodeTargetGenerator::checkConfiguration(config);
  if (!problem.empty()) {
    printFailure(problem);
    return false;
  }
  Obrin::QRCodeTargetGenerator generator(&config);
  if (!generator.run(targetName)) {
    printFailure("Failed to generate QR Code target data");
    if (!generator.failure().empty()) printReason(generator.failure());
    return false;
  }
  if (!generator.saveTarget(targetName, outputDirectory)) {
    printLine("Failed to write QR Code target data");
    printReason(cannotWrite("the files of target " + quotePath(targetName), outputDirectory));
    return false;
  }
  return true;
}

// Why the batch name cannot name the folders of the batch's targets, or the empty text. Each
// target's folder, and the hidden temporary folder it is assembled in, must be one folder name:
// no separator, no control character (a line break would split every line that names the folder)
// and, with the longest counter of the batch, no longer than a file system allows.
std::string checkBatchName(const std::string& batchName, std::size_t count) {
  constexpr std::size_t kLongestFolderName = 255;
  constexpr std::size_t kTemporaryPart = Lumetra::kTemporaryFolderNameExtra;
  const auto control = [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f; };
  std::string why;
  if (const std::size_t separator = batchName.find_first_of("/\\"); separator != std::string::npos) {
    // A backslash separates folders where the targets may be used, so no target folder holds one.
    why = batchName[separator] == '/' ? "holds a '/'" : "holds a '\\', which separates folders on Windows";
  } else if (std::any_of(batchName.begin(), batchName.end(), control)) {
    why = "holds a control character (a line break, a tab or a NUL among them)";
  } else if (!batchName.empty() && batchName.find_first_not_of('.') == std::string::npos) {
    why = "holds only dots";
  } else {
    const std::size_t longest = (TARGET_PREFIX + batchTargetName(batchName, count == 0 ? 0 : count - 1)).size();
    if (longest + kTemporaryPart > kLongestFolderName) {
      why = fmt::format("makes folder names of {} bytes, too long for one folder name (at most {} bytes, with {} left "
                        "for a temporary name)",
                        longest, kLongestFolderName - kTemporaryPart, kTemporaryPart);
    }
  }
  if (why.empty()) return why;
  return "Configuration Error: Batch.Target.Name " + quotePath(batchName) + " " + why +
         "; the names of the batch's folders are PALOM_ followed by it, '_' and a counter";
}

// Whether the name follows the target-name rule; prints the refusal when it does not.
bool nameFollowsRule(const std::string& name) {
  if (validateTargetName(name)) return true;
  printFailure("ERROR: Target name " + quotePath(name) +
               " is invalid. Allowed characters are: 'a-z', 'A-Z', '0-9', '_'. Maximum length: 26");
  return false;
}

}  // namespace

std::string batchTargetName(const std::string& batchName, std::size_t index) {
  return batchName + "_" + fmt::format("{:05d}", index);
}

bool trainTarget(const TrainingConfig& config, const CameraCalibration& calibration,
                 const std::filesystem::path& outputDirectory, const std::filesystem::path& dataFile) {
  const std::string& name = config.targetName.value;
  const std::string& type = config.targetType.value;
  if (!nameFollowsRule(name)) return false;
  if (type != "QRCode" && !isRegularFile(dataFile)) {
    printFailure("ERROR: Target data file  '" + quotePath(dataFile) + "' does not exist");
    const std::string kind = Lumetra::describeNonRegularFile(dataFile.string());
    if (!kind.empty()) {
      printReason(quotePath(dataFile) + " is " + kind + ", not a file; name the " +
                  (type == "CAD" ? "model" : type == "Image" ? "picture" : "data") + " file to train from");
    }
    return false;
  }
  if (type == "Image") return trainImageTarget(config, calibration, name, dataFile.string(), outputDirectory);
  if (type == "QRCode") return trainQRCodeTarget(config, name, outputDirectory);
  if (type == "CAD") return trainCadTarget(config, calibration, name, dataFile, outputDirectory);
  printFailure(type + " type is not supported. Supported types are: 'Image' 'QRCode' 'CAD'");
  return false;
}

bool trainBatch(const BatchConfig& batchConfig, const CameraCalibration& calibration,
                const std::filesystem::path& outputDirectory) {
  const std::string batchName = batchConfig.targetName.value;
  const std::string& type = batchConfig.targetType.value;
  const bool images = type == "Image";
  if (!images && type != "QRCode") {
    printFailure(type + " type is not supported for batch training");
    return false;
  }
  const std::size_t count = images ? batchConfig.imageFiles.value.size()
                                   : static_cast<std::size_t>(std::max(batchConfig.qrCodeTargetNum.value, 0));
  if (!images && batchConfig.qrCodeTargetNum.value < 0) {
    printFailure("Configuration Error: Batch.QRCodeTarget.Num " + std::to_string(batchConfig.qrCodeTargetNum.value) +
                 " must not be negative (it is the number of targets)");
    return false;
  }
  if (const std::string problem = checkBatchName(batchName, count); !problem.empty()) {
    printFailure(problem);
    return false;
  }
  // Every target of the batch is trained with this one configuration.
  const std::filesystem::path configFile(batchConfig.configFile.value);
  TrainingConfig config;
  std::string reason;
  if (!loadJsonFile(config, configFile, reason)) {
    printLine("Failed to load configuration file from " + quotePath(configFile));
    if (!isRegularFile(configFile)) reason += " (Batch.Config.File is taken relative to the working directory)";
    printReason(reason);
    return false;
  }
  // The batch names its targets itself, but the debug pictures of the multiple view generator take
  // the training configuration's name, in the working directory.
  if (images && config.mvgEnabled.value && config.mvgDebug.value && !nameFollowsRule(config.targetName.value)) {
    printReason("Config.Target.Name of " + quotePath(configFile) +
                " names the pictures of Config.MVG.Debug (<name>_MVG_<n>.png in the working directory): give it a "
                "name of 1 to 26 letters, digits or '_', or set Config.MVG.Debug to false.");
    return false;
  }
  if (count == 0) {
    printReason(images ? "Batch.Image.Files is empty, so the batch made no target."
                       : "Batch.QRCodeTarget.Num is 0 (or not given), so the batch made no target.");
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = batchTargetName(batchName, i);
    const bool trained =
        images ? trainImageTarget(config, calibration, name, batchConfig.imagePath.value + batchConfig.imageFiles.value[i],
                                  outputDirectory)
               : trainQRCodeTarget(config, name, outputDirectory);
    if (!trained) return false;
  }
  return true;
}
