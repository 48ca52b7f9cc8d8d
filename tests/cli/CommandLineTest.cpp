// The command line end to end: usage text, order of the checks, console lines and exit
// status of the built executable.
#include "Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using TestSupport::quoted;
using TestSupport::runFormwright;
using TestSupport::TempDir;
using TestSupport::writeFile;

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


void expectFailure(const TestSupport::RunResult& r, const std::string& expectedOut) {
  EXPECT_EQ(r.out, expectedOut);
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err, "");
}

const std::string kTrainingFailed = "ERROR: An error occurred during target training.\n";
const std::string kBatchFailed = "ERROR: An error occurred during batch target training.\n";

}  // namespace

TEST(CommandLine, UsageTextForWrongArgumentCountsAndHelpSwitches) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"out"},
      {"a", "b", "c", "d", "e"},
      {"-h"},
      {"-h", "x"},
      {"--h", "x", "y"},
      {"-help", "x", "y", "z"},
      {"--help", "x"},
      {"-b"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args[0]);
    expectFailure(runFormwright(args), kUsage);
  }
}

TEST(CommandLine, OtherSpellingsOfTheHelpSwitchAreTakenAsTheOutputDirectory) {
  for (const std::string word : {"-H", "-Help", "--HELP", "help"}) {
    expectFailure(runFormwright({word, "config.json"}), "ERROR: Output path '" + quoted(word) + "' does not exist\n");
  }
}

TEST(CommandLine, OutputDirectoryMustExistAndBeADirectory) {
  TempDir dir;
  const auto file = dir / "plain.txt";
  writeFile(file, "x");
  expectFailure(runFormwright({(dir / "missing").string(), "c.json"}),
                "ERROR: Output path '" + quoted((dir / "missing").string()) + "' does not exist\n");
  expectFailure(runFormwright({file.string(), "c.json"}),
                "ERROR: Output path '" + quoted(file.string()) + "' does not exist\n");
  expectFailure(runFormwright({"-B", file.string(), "c.json"}),
                "ERROR: Output path '" + quoted(file.string()) + "' does not exist\n");
}

TEST(CommandLine, PathsInLinesAreQuotedWithEscapes) {
  TempDir dir;
  const std::string odd = (dir / "we\"ird\\dir").string();
  expectFailure(runFormwright({odd, "c.json"}), "ERROR: Output path '" + quoted(odd) + "' does not exist\n");
  EXPECT_NE(quoted(odd).find("we\\\"ird\\\\dir"), std::string::npos);
  expectFailure(runFormwright({"", "c.json"}), "ERROR: Output path '\"\"' does not exist\n");
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
                  "ERROR: Failed to load configuration file from " + quoted(path) + "\n");
  }
  writeFile(dir / "c.json", "{\"Config.Target.Name\": \"A\"}");
  expectFailure(runFormwright({dir.path().string(), (dir / "c.json").string(), loop}),
                "ERROR: Target data file  '" + quoted(loop) + "' does not exist\n" + kTrainingFailed);
}

TEST(CommandLine, CalibrationFileIsCheckedBeforeTheOutputDirectory) {
  TempDir dir;
  const std::string missing = (dir / "nocal.json").string();
  expectFailure(runFormwright({(dir / "no-out").string(), "c.json", "model.obj", missing}),
                "ERROR: Specified calibration file '" + quoted(missing) + "' does not exist\n");
  // A directory is not a calibration file.
  expectFailure(runFormwright({dir.path().string(), "c.json", "model.obj", dir.path().string()}),
                "ERROR: Specified calibration file '" + quoted(dir.path().string()) + "' does not exist\n");
}

TEST(CommandLine, CalibrationFilesThatCannotBeUsed) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"syntax", "{\"Resolution\": [640, 480"},
      {"wrongkind", "{\"FocalLength\": [\"1\", 2]}"},
      {"shortfocal", "{\"FocalLength\": [500]}"},
      {"shortprincipal", "{\"PrincipalPoint\": [1]}"},
      {"shortdistortion", "{\"Distortion\": [0, 0, 0, 0]}"},
      {"shortresolution", "{\"Resolution\": [640]}"},
      {"hugeresolution", "{\"Resolution\": [4294967296, 480]}"},
      {"overflow", "{\"FocalLength\": [1e999, 1]}"},
      {"duplicate", "{\"a\": {\"Distortion\": [0,0,0,0,0]}, \"Distortion\": [0,0,0,0,0]}"},
  };
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    const auto path = dir / (name + ".json");
    writeFile(path, content);
    expectFailure(runFormwright({dir.path().string(), "c.json", "model.obj", path.string()}),
                  "ERROR: Failed to load calibration file from " + quoted(path.string()) + "\n");
  }
}

TEST(CommandLine, ConfigurationFilesThatCannotBeLoaded) {
  TempDir dir;
  // Files that no configuration can load.
  const std::vector<std::pair<std::string, std::string>> anyKind = {
      {"empty", ""},
      {"blanks", "   \n\t  "},
      {"syntax", "{\"Config.Target.Name\": \"A\""},
      {"duplicate-same-object", "{\"Image.FAST.Number\": 1, \"Image.FAST.Number\": 2}"},
      {"duplicate-across-objects", "{\"a\": {\"Name\": \"x\"}, \"b\": {\"Name\": \"y\"}}"},
      {"duplicate-group-and-member", "{\"Name\": {\"Name\": 1}}"},
      {"double-overflow", "{\"QRCode.PhysicalSize\": 1e999}"},
      {"deep-nesting", std::string(5000, '[') + std::string(5000, ']')},
      {"deep-objects", [] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += "{\"k" + std::to_string(i) + "\":";
         return s + "1" + std::string(3000, '}');
       }()},
      {"binary", std::string("\x00\x01\xff{\"a\":1}", 10)},
  };
  // Values that a training configuration refuses.
  const std::vector<std::pair<std::string, std::string>> trainingOnly = {
      {"wrongkind-string", "{\"Config.Target.Name\": 5}"},
      {"wrongkind-int", "{\"Image.FAST.Number\": \"12\"}"},
      {"wrongkind-bool", "{\"Config.MVG.Enabled\": 1}"},
      {"wrongkind-double", "{\"QRCode.PhysicalSize\": true}"},
      {"null-scalar", "{\"Image.Grid.Row\": null}"},
      {"wrongkind-element", "{\"CAD.UprightVector\": [0, \"1\", 0]}"},
      {"int-too-large", "{\"Image.FAST.Number\": 2147483648}"},
      {"int-too-small", "{\"Image.FAST.Number\": -2147483649}"},
      {"intlist-too-large", "{\"Image.Training.Resolution\": [1e10, 480]}"},
      {"intlist-short", "{\"Image.Training.Resolution\": [640]}"},
  };
  // Values that a batch configuration refuses.
  const std::vector<std::pair<std::string, std::string>> batchOnly = {
      {"batch-wrongkind-files", "{\"Batch.Image.Files\": [\"a.png\", 1]}"},
      {"batch-wrongkind-type", "{\"Batch.Target.Type\": [\"Image\"]}"},
      {"batch-count-too-large", "{\"Batch.QRCodeTarget.Num\": 3e9}"},
      {"batch-null-name", "{\"Batch.Target.Name\": null}"},
  };
  std::size_t written = 0;
  const auto check = [&](const auto& table, bool single, bool batch) {
    for (const auto& [name, content] : table) {
      SCOPED_TRACE(name);
      const auto path = dir / (name + ".json");
      writeFile(path, content);
      ++written;
      const std::string line = "ERROR: Failed to load configuration file from " + quoted(path.string()) + "\n";
      if (single) expectFailure(runFormwright({dir.path().string(), path.string()}), line);
      if (batch) expectFailure(runFormwright({"-B", dir.path().string(), path.string()}), line);
    }
  };
  check(anyKind, true, true);
  check(trainingOnly, true, false);
  check(batchOnly, false, true);
  const auto missing = dir / "missing.json";
  expectFailure(runFormwright({dir.path().string(), missing.string()}),
                "ERROR: Failed to load configuration file from " + quoted(missing.string()) + "\n");
  expectFailure(runFormwright({dir.path().string(), dir.path().string()}),
                "ERROR: Failed to load configuration file from " + quoted(dir.path().string()) + "\n");
  EXPECT_EQ(TestSupport::snapshotTree(dir.path()).size(), written);
}

TEST(SingleTarget, NameIsCheckedFirstThenTheDataFileThenTheType) {
  TempDir dir;
  const auto config = [&](const std::string& type, const std::string& name) {
    const auto path = dir / "config.json";
    writeFile(path, "{\"Config\": {\"Target.Type\": \"x\", \"Config.Target.Type\": \"" + type +
                        "\", \"Config.Target.Name\": \"" + name + "\"}}");
    return path.string();
  };
  const std::string nameLine =
      " is invalid. Allowed characters are: 'a-z', 'A-Z', '0-9', '_'. Maximum length: 26\n";
  expectFailure(runFormwright({dir.path().string(), config("Image", "bad name")}),
                "ERROR: Target name \"bad name\"" + nameLine + kTrainingFailed);
  expectFailure(runFormwright({dir.path().string(), config("Image", "")}),
                "ERROR: Target name \"\"" + nameLine + kTrainingFailed);
  expectFailure(runFormwright({dir.path().string(), config("Image", std::string(27, 'a'))}),
                "ERROR: Target name \"" + std::string(27, 'a') + "\"" + nameLine + kTrainingFailed);
  expectFailure(runFormwright({dir.path().string(), config("Image", "q\\\"uote")}),
                "ERROR: Target name \"q\\\"uote\"" + nameLine + kTrainingFailed);

  // No data file: the empty path is written as two double quotes between the single quotes.
  expectFailure(runFormwright({dir.path().string(), config("Image", "Good")}),
                "ERROR: Target data file  '\"\"' does not exist\n" + kTrainingFailed);
  expectFailure(runFormwright({dir.path().string(), config("CAD", "Good"), dir.path().string()}),
                "ERROR: Target data file  '" + quoted(dir.path().string()) + "' does not exist\n" + kTrainingFailed);
  const auto picture = dir / "picture.png";
  writeFile(picture, "not really");
  expectFailure(runFormwright({dir.path().string(), config("image", "Good"), picture.string()}),
                "image type is not supported. Supported types are: 'Image' 'QRCode' 'CAD'\n" + kTrainingFailed);
  // A QR-code target does not look at a data file; an unknown type does.
  expectFailure(runFormwright({dir.path().string(), config("qrcode", "Good")}),
                "ERROR: Target data file  '\"\"' does not exist\n" + kTrainingFailed);
}

TEST(Batch, ConfigurationAndTypeChecks) {
  TempDir dir;
  const auto batch = [&](const std::string& body) {
    const auto path = dir / "batch.json";
    writeFile(path, body);
    return path.string();
  };
  const auto trainingConfig = dir / "training.json";
  writeFile(trainingConfig, "{}");
  const std::string missing = (dir / "nothere.json").string();

  expectFailure(runFormwright({"-B", dir.path().string(), batch("{\"Batch.Target.Type\": \"CAD\"}")}),
                "CAD type is not supported for batch training\n" + kBatchFailed);
  // The configuration is loaded before any target, even when there is none to train.
  expectFailure(runFormwright({"--b", dir.path().string(),
                               batch("{\"Batch.Image.Files\": [], \"Batch.Config.File\": \"" + missing + "\"}")}),
                "Failed to load configuration file from " + quoted(missing) + "\n" + kBatchFailed);
  expectFailure(runFormwright({"-b", dir.path().string(),
                               batch("{\"Batch.Target.Type\": \"QRCode\", \"Batch.Config.File\": \"" + missing +
                                     "\"}")}),
                "Failed to load configuration file from " + quoted(missing) + "\n" + kBatchFailed);
  expectFailure(runFormwright({"-B", dir.path().string(),
                               batch("{\"Batch.Target.Type\": \"QRCode\", \"Batch.QRCodeTarget.Num\": -1, "
                                     "\"Batch.Config.File\": \"" +
                                     trainingConfig.string() + "\"}")}),
                "Batch.QRCodeTarget.Num is -1: the number of targets cannot be negative\n" + kBatchFailed);

  // Nothing to train: success, and nothing is written.
  const std::string emptyBatch = batch("{\"Batch.Target.Type\": \"QRCode\", \"Batch.QRCodeTarget.Num\": 0, "
                                       "\"Batch.Config.File\": \"" + trainingConfig.string() + "\"}");
  const auto before = TestSupport::snapshotTree(dir.path());
  const auto r = runFormwright({"--B", dir.path().string(), emptyBatch, "ignored-fourth-argument"});
  EXPECT_EQ(r.out, "Training successfully finished.\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(TestSupport::snapshotTree(dir.path()), before);
}
