// The command line end to end: usage text, order of the checks, console lines and exit
// status of the built executable.
#include "Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace TestSupport;

namespace {

const std::string kUsage =
    "Kalvex Palom - Formwright\n"
    "\n"
    "1. Single target training:\n"
    "  - IMAGE   ./Formwright [outputDirectory] [inputConfiguration] [imageFile]\n"
    "  - QR CODE ./Formwright [outputDirectory] [inputConfiguration]\n"
    "  - CAD     ./Formwright [outputDirectory] [inputConfiguration] [cadFile] [cameraCalibration] \n"
    "\n"
    "2. Batch target training\n"
    "  ./Formwright -B [outputDirectory] [inputConfiguration] \n"
    "\n"
    "Parameters:\n"
    "    outputDirectory      Directory to save trained target data\n"
    "    inputConfiguration   *.json. See details at https://docs.formwright.dev/latest/targetTrainer/overview/ \n"
    "    imageFile            *.png or *.jpg image to train\n"
    "    cadFile              *.obj 3D CAD file\n"
    "    cameraCalibration    *.json Camera intrinsics of target devices\n"
    "\n";

void expectFailure(const TestSupport::RunResult& r, const std::string& expectedOut, const std::string& reason = "") {
  EXPECT_EQ(r.out, expectedOut);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err, reason.empty() ? expectedOut.substr(0, expectedOut.find('\n') + 1) : reason);
}

const std::string kTrainingFailed = "ERROR: An error occurred during target training.\n";

}  // namespace

TEST(CommandLine, UsageTextForWrongArgumentCountsAndHelpSwitches) {
  const std::string help = " asks; nothing was trained.\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"out"}, "Formwright takes 2 to 4 arguments (see the usage above), not 1.\n"},
      {{"a", "b", "c", "d", "e"}, "Formwright takes 2 to 4 arguments (see the usage above), not 5.\n"},
      {{"-h", "x"}, "Only the usage was shown, as -h" + help},
      {{"--h", "x", "y"}, "Only the usage was shown, as --h" + help},
      {{"-help", "x", "y", "z"}, "Only the usage was shown, as -help" + help},
      {{"--help", "x"}, "Only the usage was shown, as --help" + help},
      // the batch form needs three arguments
      {{"-b", "out"}, "After -b give an output directory and a batch configuration (see the usage above).\n"},
  };
  for (const auto& [args, reason] : cases) {
    SCOPED_TRACE(args[0]);
    expectFailure(runFormwright(args), kUsage, reason);
  }
}

TEST(CommandLine, OtherSpellingsOfTheHelpSwitchAreTakenAsTheOutputDirectory) {
  for (const std::string word : {"-H", "-Help", "--HELP", "help"}) {
    expectFailure(runFormwright({word, "config.json"}), "ERROR: Output path '" + quoted(word) + "' does not exist\n");
  }
}

TEST(CommandLine, FileSystemErrorsReadAsMissingPaths) {
  TempDir dir;
  // A name longer than the file system allows, and a loop of symbolic links.
  const std::string tooLong = (dir / std::string(300, 'n')).string();
  std::filesystem::create_symlink(dir / "loop-b", dir / "loop-a");
  std::filesystem::create_symlink(dir / "loop-a", dir / "loop-b");
  const std::string loop = (dir / "loop-a").string();
  for (const std::string& path : {tooLong, loop, loop + "/below"}) {
    expectFailure(runFormwright({path, "c.json"}), "ERROR: Output path '" + quoted(path) + "' does not exist\n");
    expectFailure(runFormwright({dir.path().string(), "c.json", "m.obj", path}),
                  "ERROR: Specified calibration file '" + quoted(path) + "' does not exist\n");
    expectFailure(runFormwright({dir.path().string(), path}),
                  "ERROR: Failed to load configuration file from " + quoted(path) + "\n",
                  path + (path == tooLong ? ": File name too long\n" : ": Too many levels of symbolic links\n"));
  }
  expectFailure(runFormwright({"", "c.json"}), "ERROR: Output path '\"\"' does not exist\n");
  writeFile(dir / "c.json", "{\"Config.Target.Name\": \"A\"}");
  expectFailure(runFormwright({dir.path().string(), (dir / "c.json").string(), loop}),
                "ERROR: Target data file  '" + quoted(loop) + "' does not exist\n" + kTrainingFailed);
}

TEST(Batch, NothingToTrainSucceedsAndWritesNothing) {
  TempDir dir;
  writeFile(dir / "training.json", "{}");
  writeFile(dir / "batch.json", "{\"Batch.Target.Type\": \"QRCode\", \"Batch.QRCodeTarget.Num\": 0, \"Batch.Config.File\": \"" +
                                    (dir / "training.json").string() + "\"}");
  const auto before = TestSupport::snapshotTree(dir.path());
  const auto r = runFormwright({"--B", dir.path().string(), (dir / "batch.json").string(), "ignored-fourth-argument"});
  EXPECT_EQ(r.out, "Training successfully finished.\n");
  EXPECT_EQ(r.err, "Batch.QRCodeTarget.Num is 0 (or not given), so the batch made no target.\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(TestSupport::snapshotTree(dir.path()), before);
}
