#include "Program.h"

#include "CameraCalibration.h"
#include "Configs.h"
#include "Console.h"
#include "JsonConfig.h"
#include "TrainingDrivers.h"

#include "Core/TerminatingSignals.h"
#include "Renderer/OpenGL/GlfwLibrary.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>

namespace {

const char* const kDocumentationAddress = "https://docs.formwright.dev/latest/targetTrainer/overview/";

bool isHelpSwitch(const std::string& arg) {
  return arg == "-h" || arg == "--h" || arg == "-help" || arg == "--help";
}

bool isBatchSwitch(const std::string& arg) { return arg == "-b" || arg == "--b" || arg == "-B" || arg == "--B"; }

// The steps shared by both forms: the output directory, the configuration, the driver call and
// the closing line.
template <typename Config, typename Train>
int finishRun(const std::filesystem::path& outputDirectory, const std::filesystem::path& configPath,
              const char* failureLine, Train train) {
  if (!isDirectory(outputDirectory)) {
    printFailure("ERROR: Output path '" + quotePath(outputDirectory) + "' does not exist");
    return -1;
  }
  Config config;
  std::string reason;
  if (!loadJsonFile(config, configPath, reason)) {
    printLine("ERROR: Failed to load configuration file from " + quotePath(configPath));
    printReason(reason);
    return -1;
  }
  if (!train(config)) {
    printLine(failureLine);
    return -1;
  }
  printLine("Training successfully finished.");
  return 0;
}

int run(int argc, char** argv) {
  CameraCalibration calibration = CameraCalibration::builtIn();
  if (argc < 3 || argc > 5) {
    printUsage();
    printReason("Formwright takes 2 to 4 arguments (see the usage above), not " + std::to_string(argc - 1) + ".");
    return -1;
  }
  const std::string first(argv[1]);
  if (isHelpSwitch(first)) {
    printUsage();
    printReason("Only the usage was shown, as " + first + " asks; nothing was trained.");
    return -1;
  }

  if (isBatchSwitch(first)) {
    if (argc < 4) {
      // The batch form needs both an output directory and a batch configuration.
      printUsage();
      printReason("After " + first + " give an output directory and a batch configuration (see the usage above).");
      return -1;
    }
    const std::filesystem::path outputDirectory(argv[2]);
    const std::filesystem::path configPath(argv[3]);
    return finishRun<BatchConfig>(outputDirectory, configPath,
                                  "ERROR: An error occurred during batch target training.",
                                  [&](const BatchConfig& config) {
                                    return trainBatch(config, calibration, outputDirectory);
                                  });
  }

  const std::filesystem::path outputDirectory(first);
  const std::filesystem::path configPath(argv[2]);
  std::filesystem::path dataFile;
  if (argc >= 4) dataFile = std::filesystem::path(argv[3]);
  if (argc == 5) {
    const std::filesystem::path calibrationPath(argv[4]);
    if (!isRegularFile(calibrationPath)) {
      printFailure("ERROR: Specified calibration file '" + quotePath(calibrationPath) + "' does not exist");
      return -1;
    }
    std::string reason;
    if (!loadCameraCalibration(calibrationPath, calibration, reason)) {
      printLine("ERROR: Failed to load calibration file from " + quotePath(calibrationPath));
      printReason(reason);
      return -1;
    }
  }
  return finishRun<TrainingConfig>(outputDirectory, configPath, "ERROR: An error occurred during target training.",
                                  [&](const TrainingConfig& config) {
                                    return trainTarget(config, calibration, outputDirectory, dataFile);
                                  });
}

}  // namespace

void printUsage() {
  printLine("Kalvex Palom - Formwright\n");
  printLine("1. Single target training:");
  printLine("  - IMAGE   ./Formwright [outputDirectory] [inputConfiguration] [imageFile]");
  printLine("  - QR CODE ./Formwright [outputDirectory] [inputConfiguration]");
  printLine("  - CAD     ./Formwright [outputDirectory] [inputConfiguration] [cadFile] [cameraCalibration] \n");
  printLine("2. Batch target training");
  printLine("  ./Formwright -B [outputDirectory] [inputConfiguration] \n");
  printLine("Parameters:");
  printLine("    outputDirectory      Directory to save trained target data");
  printLine(std::string("    inputConfiguration   *.json. See details at ") + kDocumentationAddress + " ");
  printLine("    imageFile            *.png or *.jpg image to train");
  printLine("    cadFile              *.obj 3D CAD file");
  printLine("    cameraCalibration    *.json Camera intrinsics of target devices\n");
}

int runProgram(int argc, char** argv) {
  // A terminating signal ends the run from here on the same way in every process, a container's
  // first one included: what the run was assembling goes, and the status is 128 plus its number.
  Lumetra::endOnTerminatingSignals();
  // Nothing may end the process abnormally: whatever escapes the run becomes one line.
  int status = -1;
  try {
    status = run(argc, argv);
  } catch (const std::bad_alloc&) {
    printFailure("ERROR: Out of memory.");
  } catch (const std::exception& e) {
    printFailure(std::string("ERROR: Unexpected failure: ") + e.what());
  } catch (...) {
    printFailure("ERROR: Unexpected failure.");
  }
  if (status != 0) explainFailure();
  // An OpenGL start or window given up left a thread inside the window library that may hold its
  // display's lock (a lost connection parks it there); the OpenGL libraries' handlers at exit
  // would wait for that lock for ever. Everything the run wrote is complete: the process ends now.
  if (Lumetra::OpenGL::glfwGivenUp()) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::_exit(status & 0xff);
  }
  return status;
}
