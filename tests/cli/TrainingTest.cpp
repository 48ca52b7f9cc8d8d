// Image and QR-code targets trained through the executable: console lines, exit status, and
// every written file read back byte by byte with an independent reader.
#include "CameraCalibration.h"
#include "Configs.h"
#include "JsonConfig.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "Process.h"
#include "SdkFileReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace TestSupport;
using testsupport::readFileBytes;

namespace {

const std::string kPhotograph = std::string(FORMWRIGHT_OPENCV_DATA) + "/graf1.png";  // 800 x 640
const std::string kSuccess = "Training successfully finished.\n";
const std::string kTrainingFailed = "ERROR: An error occurred during target training.\n";
const std::string kBatchFailed = "ERROR: An error occurred during batch target training.\n";

std::string imageConfig(const std::string& name, const std::string& extra = "") {
  return "{\"Config.Target.Type\": \"Image\", \"Config.Target.Name\": \"" + name +
         "\", \"Object.Physical.Width\": 0.5, \"Object.Physical.Height\": 0.4" + extra + "}";
}

// A 64 x 48 picture of 4-pixel blocks, with plenty of corners.
const std::string kBlocks = std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/blocks-64x48.png";

}  // namespace

TEST(ImageTarget, FilesOfATrainedPhotographAreTheTrainersOwn) {
  TempDir dir;
  writeFile(dir / "config.json", imageConfig("Graf"));
  const auto r = runFormwright({dir.path().string(), (dir / "config.json").string(), kPhotograph});
  ASSERT_EQ(r.out, kSuccess);
  ASSERT_EQ(r.exitStatus, 0);
  const fs::path folder = dir / "PALOM_Graf";
  const std::vector<std::string> names = {"PALOM_IMG_TARGET_CAM.cam", "PALOM_IMG_TARGET_CONFIG.json",
                                          "PALOM_IMG_TARGET_IMG.dat", "PALOM_IMG_TARGET_KPT.dat"};
  EXPECT_EQ(TestSupport::folderEntries(folder), names);

  // The same training in this process, saved by the target writer (whose byte layout the SDK
  // tests read back independently), gives the same bytes.
  TrainingConfig config;
  ASSERT_TRUE(loadJsonFile(config, dir / "config.json"));
  Obrin::ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
  ASSERT_TRUE(trainer.train(kPhotograph, "Graf"));
  ASSERT_TRUE(trainer.saveTarget("Graf", (dir / "in-process").string()));
  for (const std::string& name : names) {
    EXPECT_EQ(readFileBytes(folder / name), readFileBytes(dir / "in-process" / "PALOM_Graf" / name)) << name;
  }
  const Obrin::ImageTargetDetectableData* data = trainer.getTarget("Graf");
  ASSERT_GT(data->mKeyPoints.size(), 500u);
  for (std::size_t i = 0; i < data->mKeyPoints.size(); ++i) {
    const auto& k = data->mKeyPoints[i];
    // Each keypoint's records count its levels up from 0; 800 x 640 is fitted by height into
    // 640 x 480, so the picture spans x in [20, 620).
    EXPECT_TRUE(k.level == 0 || (i > 0 && data->mKeyPoints[i - 1].level == k.level - 1 &&
                                 data->mKeyPoints[i - 1].levelZeroPosition == k.levelZeroPosition));
    EXPECT_GE(k.levelZeroPosition.x(), 20.0 + 15.0);
    EXPECT_LT(k.levelZeroPosition.x(), 620.0 - 15.0);
  }
  // The black padding columns of the training image stay black after the blur.
  EXPECT_TRUE(data->mImages[0].at(5, 240)[0] == 0 && data->mImages[0].at(634, 240)[0] == 0);
  // Offset 20: the stored width adds the padding, P + offset * 2 * (800 / 640) * (0.5 / 800).
  EXPECT_DOUBLE_EQ(data->mTargetPhysicalSize.x(), 0.5 + 20 * 2 * 1.25 * (0.5 / 800));
}

TEST(ImageTarget, FailuresAndTheirLines) {
  TempDir dir;
  const auto run = [&](const std::string& config) {
    writeFile(dir / "config.json", config);
    return runFormwright({dir.path().string(), (dir / "config.json").string(), kPhotograph});
  };
  struct Case {
    std::string config;
    std::string expected;
    std::string reason = "";
  };
  const std::vector<Case> cases = {
      {imageConfig("A", ", \"Image.Grid.Row\": 0"),
       "Configuration Error: Image.Grid.Row and Image.Grid.Col must be at least 1 (they are 0 and 4)\n"},
      {imageConfig("A", ", \"Image.Grid.Col\": -2"),
       "Configuration Error: Image.Grid.Row and Image.Grid.Col must be at least 1 (they are 3 and -2)\n"},
      // The margins take 15 pixels on each side; a 1 x 1 grid needs one more.
      {imageConfig("A", ", \"Image.Training.Resolution\": [30, 480], \"Image.Grid.Row\": 1, \"Image.Grid.Col\": 1"),
       "Configuration Error: Image.Training.Resolution [30, 480] leaves no pixel inside the margins of 15 pixels on "
       "each side; the smallest size that works with these grids is [31, 31]\n"},
      {imageConfig("A", ", \"Image.Training.Resolution\": [100000, 100000]"),
       "Configuration Error: Image.Training.Resolution [100000, 100000] is too large\n"},
      {imageConfig("A", ", \"Image.Pyramid.ResizeRatio\": 1.0"),
       "Configuration Error: Image.Pyramid.ResizeRatio must lie between 0 and 1 (it is 1)\n"},
      {imageConfig("A", ", \"Image.Pyramid.ResizeRatio\": 0"),
       "Configuration Error: Image.Pyramid.ResizeRatio must lie between 0 and 1 (it is 0)\n"},
      {imageConfig("A", ", \"Image.Pyramid.Level\": 0"),
       "Configuration Error: Image.Pyramid.Level must be from 1 to 255 (it is 0)\n"},
      {imageConfig("A", ", \"Image.FAST.Number\": -5"),
       "Configuration Error: Image.FAST.Number must be at least 1 (it is -5)\n"},
      {"{\"Config.Target.Name\": \"A\", \"Object.Physical.Width\": 0, \"Object.Physical.Height\": 0}",
       "Configuration Error: Object.Physical.Width and Object.Physical.Height must be finite and positive (they "
       "are 0 and 0)\n"},
      // The default physical size 1 x 1 contradicts a 800 x 640 picture.
      {"{\"Config.Target.Name\": \"A\"}", "Failed to train from " + kPhotograph + "\n",
       "The picture is 800 x 640 pixels (width / height 1.25) but the physical size is 1 x 1 (width / height 1); set "
       "Object.Physical.Width and Object.Physical.Height in the picture's proportions (within 0.02)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    const auto r = run(c.config);
    EXPECT_EQ(r.out, c.expected + kTrainingFailed);
    EXPECT_EQ(r.err, c.reason.empty() ? c.expected : c.reason);
    EXPECT_EQ(r.exitStatus, 255);
  }
  EXPECT_FALSE(fs::exists(dir / "PALOM_A"));
}

TEST(ImageTarget, ASkippedMultipleViewStepIsReportedAfterASuccess) {
  TempDir dir;
  writeFile(dir / "config.json", "{\"Object.Physical.Width\": 4, \"Object.Physical.Height\": 3, "
                                 "\"Config.MVG.Enabled\": true, \"MVG.Render.Density\": \"min\"}");
  const auto r = runFormwright({dir.path().string(), (dir / "config.json").string(), kBlocks});
  EXPECT_EQ(r.out, kSuccess);
  EXPECT_EQ(r.err, "The multiple view generator was skipped (MVG.Render.Density \"min\" is not MIN, MODERATE or MAX); "
                   "the target was trained without synthetic views\n");
  EXPECT_EQ(r.exitStatus, 0);
}

TEST(ImageTarget, APlainPictureTrainsATargetThatSaysItCannotBeTracked) {
  TempDir dir;
  writeFile(dir / "plain.pgm", "P5\n4 3\n255\n" + std::string(12, '\x80'));
  writeFile(dir / "config.json", "{\"Object.Physical.Width\": 4, \"Object.Physical.Height\": 3}");
  const auto r = runFormwright({dir.path().string(), (dir / "config.json").string(), (dir / "plain.pgm").string()});
  EXPECT_EQ(r.out, kSuccess);
  EXPECT_EQ(r.err, (dir / "plain.pgm").string() + ": no keypoints were found in the picture (it is plain, or too small "
                   "for corners at Image.FAST.Threshold 20), so the target cannot be tracked; give a picture with more "
                   "detail and contrast\n");
}

TEST(ImageTarget, UnwritableOutputLeavesWhatWasThere) {
  TempDir dir;
  writeFile(dir / "config.json", imageConfig("Keep"));
  const std::vector<std::string> args = {dir.path().string(), (dir / "config.json").string(), kPhotograph};
  ASSERT_EQ(runFormwright(args).out, kSuccess);
  const auto before = TestSupport::snapshotTree(dir.path());

  // A full disk: no file may grow beyond 64 KiB, the keypoint file needs more.
  const auto r = [&] {
    const FileSizeLimit full(64 * 1024);
    return runFormwright(args);
  }();
  EXPECT_EQ(r.out, "Failed to write training data to " + quoted(dir.path().string()) + "\n" + kTrainingFailed);
  EXPECT_EQ(r.err, "Could not write the files of target \"Keep\" into " + quoted(dir.path().string()) +
                       ": make room on its disk or allow writing there.\n");
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(TestSupport::snapshotTree(dir.path()), before);

  // The target's folder name is taken by a file.
  writeFile(dir / "config.json", imageConfig("Blocked"));
  writeFile(dir / "PALOM_Blocked", "keep me");
  const auto blocked = runFormwright({dir.path().string(), (dir / "config.json").string(), kPhotograph});
  EXPECT_EQ(blocked.out, "Failed to write training data to " + quoted(dir.path().string()) + "\n" + kTrainingFailed);
  EXPECT_EQ(blocked.err, "Could not write the files of target \"Blocked\" into " + quoted(dir.path().string()) +
                             ": a file of that name exists.\n");
  EXPECT_EQ(TestSupport::readFile(dir / "PALOM_Blocked"), "keep me");

  // An output folder whose path leaves no room for the target's names.
  fs::path deep = dir.path();
  while (deep.string().size() < 4060) deep /= std::string(std::min<std::size_t>(200, 4060 - deep.string().size()), 'd');
  fs::create_directories(deep);
  EXPECT_EQ(runFormwright({deep.string(), (dir / "config.json").string(), kPhotograph}).err,
            "Could not write the files of target \"Blocked\" into " + quoted(deep.string()) +
                ": the name is too long for its file system.\n");
}

TEST(QRCodeTarget, PictureDecodesToTheNameAndFilesFollowTheSettings) {
  TempDir dir;
  writeFile(dir / "qr.json",
            "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"Gate_7\", \"QRCode.Pattern.PixelSize\": "
            "10, \"QRCode.PhysicalSize\": 0.25}");
  // The data file of a QR-code target is ignored, even when it does not exist.
  const auto r = runFormwright({dir.path().string(), (dir / "qr.json").string(), (dir / "nothing.png").string()});
  ASSERT_EQ(r.out, kSuccess);
  testsupport::DecodedPicture picture;
  ASSERT_TRUE(testsupport::decodePng(dir / "PALOM_Gate_7" / "PALOM_QRCODE_TARGET_IMG.png", picture));
  EXPECT_EQ(picture.width, 250);
  EXPECT_EQ(picture.height, 250);
  EXPECT_EQ(testsupport::decodeWithZbar(picture.gray, 250, 10, dir.path()), "Gate_7");
  EXPECT_EQ(TestSupport::readFile(dir / "PALOM_Gate_7" / "PALOM_QRCODE_TARGET_CONFIG.json"),
            "{\n    \"value0\": {\n        \"Version\": 2,\n        \"Target Name\": \"Gate_7\",\n"
            "        \"Target Width (m)\": 0.25,\n        \"Target Height (m)\": 0.25,\n        \"Pixel per Block\": 10\n    }\n}");

  // Its folder taken by a file: the write fails and the file stays.
  writeFile(dir / "qr.json", "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"Gate_8\"}");
  writeFile(dir / "PALOM_Gate_8", "x");
  const auto blocked = runFormwright({dir.path().string(), (dir / "qr.json").string()});
  EXPECT_EQ(blocked.out, "Failed to write QR Code target data\n" + kTrainingFailed);
  EXPECT_EQ(TestSupport::readFile(dir / "PALOM_Gate_8"), "x");
}

TEST(Batch, ImagesAreTrainedInOrderAndTheFirstFailureStopsTheBatch) {
  TempDir dir;
  fs::copy_file(kBlocks, dir / "a.png");
  fs::copy_file(kBlocks, dir / "c.png");
  writeFile(dir / "training.json",
            "{\"Config.Target.Name\": \"ignored name\", \"Object.Physical.Width\": 0.4, \"Object.Physical.Height\": 0.3}");
  const auto batch = [&](const std::string& files) {
    writeFile(dir / "batch.json", "{\"Batch.Target.Name\": \"Shelf\", \"Batch.Image.Path\": \"" +
                                      (dir.path() / "").string() + "\", \"Batch.Image.Files\": [" + files +
                                      "], \"Batch.Config.File\": \"" + (dir / "training.json").string() + "\"}");
    return runFormwright({"-B", dir.path().string(), (dir / "batch.json").string()});
  };
  const auto failed = batch("\"a.png\", \"missing.png\", \"c.png\"");
  EXPECT_EQ(failed.out, "Failed to train from " + (dir / "missing.png").string() + "\n" + kBatchFailed);
  EXPECT_EQ(failed.exitStatus, 255);
  EXPECT_TRUE(fs::is_regular_file(dir / "PALOM_Shelf_00000" / "PALOM_IMG_TARGET_KPT.dat"));
  EXPECT_FALSE(fs::exists(dir / "PALOM_Shelf_00001"));
  EXPECT_FALSE(fs::exists(dir / "PALOM_Shelf_00002"));

  const auto ok = batch("\"a.png\", \"c.png\"");
  EXPECT_EQ(ok.out, kSuccess);
  EXPECT_TRUE(fs::is_regular_file(dir / "PALOM_Shelf_00001" / "PALOM_IMG_TARGET_CAM.cam"));
}

TEST(Batch, QRCodeNamesThatDoNotFitTheCodeFailCleanly) {
  TempDir dir;
  writeFile(dir / "training.json", "{}");
  const auto batch = [&](const std::string& name, int count) {
    writeFile(dir / "batch.json", "{\"Batch.Target.Type\": \"QRCode\", \"Batch.Target.Name\": \"" + name +
                                      "\", \"Batch.QRCodeTarget.Num\": " + std::to_string(count) +
                                      ", \"Batch.Config.File\": \"" + (dir / "training.json").string() + "\"}");
    return runFormwright({"-B", dir.path().string(), (dir / "batch.json").string()});
  };
  EXPECT_EQ(batch("Seat", 2).out, kSuccess);
  EXPECT_TRUE(fs::is_regular_file(dir / "PALOM_Seat_00001" / "PALOM_QRCODE_TARGET_IMG.png"));
  // 21 characters + "_00000" = 27 bytes: too long for a version-2 code at level M.
  const auto r = batch(std::string(21, 'Q'), 1);
  EXPECT_EQ(r.out, "Failed to generate QR Code target data\n" + kBatchFailed);
  EXPECT_FALSE(fs::exists(dir / ("PALOM_" + std::string(21, 'Q') + "_00000")));
}

// Two settings of one 64 x 48 target that differ in every file.
void writeRetrainConfigs(const TempDir& dir) {
  const std::string base = "{\"Config.Target.Name\": \"P\", \"Object.Physical.Width\": 0.4, \"Object.Physical.Height\": 0.3";
  writeFile(dir / "old.json", base + "}");
  writeFile(dir / "new.json", base + ", \"Image.Training.Resolution\": [320, 240]}");
}

// A re-trained target replaces the old one whole: stopped at any step, the folder is the old or
// the new target byte for byte, the user's entries stay, and nothing else is left beside it.
TEST(ImageTarget, RetrainingIsTheOldOrTheNewTargetWholeWhereverItStops) {
  const struct rlimit noCore {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  TempDir dir;
  writeRetrainConfigs(dir);
  const auto train = [&](const fs::path& out, const std::string& config, const std::string& stop = "") {
    setenv("FORMWRIGHT_TEST_STOP", stop.c_str(), 1);
    const auto r = runFormwright({out.string(), (dir / config).string(), kBlocks});
    unsetenv("FORMWRIGHT_TEST_STOP");
    return r;
  };
  ASSERT_EQ(train(dir / "", "old.json").out, kSuccess);
  ASSERT_EQ(train(dir / "", "new.json").out, kSuccess);  // PALOM_P now holds the new target
  fs::rename(dir / "PALOM_P", dir / "new");
  ASSERT_EQ(train(dir / "", "old.json").out, kSuccess);
  fs::rename(dir / "PALOM_P", dir / "old");
  writeFile(dir / "outside", "outside");
  struct Case {
    std::string stop;
    int signal;      // 0: the run exits with status 255
    bool becomesNew;
    std::string plant = "";  // "link": the target folder is a link to a folder elsewhere
  };
  const std::vector<Case> cases = {
      {"created:INT", SIGINT, false},   {"written:TERM", SIGTERM, false}, {"carried:HUP", SIGHUP, false},
      {"exchanged:QUIT", SIGQUIT, true}, {"carried:KILL", SIGKILL, false}, {"exchanged:KILL", SIGKILL, true},
      {"written:remove", 0, false},      {"", 0, true},                    {"", 0, true, "link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stop + c.plant);
    TempDir out;
    fs::copy(dir / "old", out / "PALOM_P");
    writeFile(out / "PALOM_P" / "notes.txt", "mine");
    writeFile(out / "PALOM_P.tmp-999997-0", "mine too");
    for (int pid = getpid(); pid < getpid() + 300; ++pid) {  // links planted under former temporary names
      fs::create_symlink(dir / "outside", out / "PALOM_P" / ("PALOM_IMG_TARGET_CONFIG.tmp-" + std::to_string(pid) + "-0.json"));
    }
    if (c.plant == "link") {
      fs::rename(out / "PALOM_P", out / "elsewhere");
      fs::create_directory_symlink(out / "elsewhere", out / "PALOM_P");
    }
    const auto expected = snapshotTree(c.becomesNew ? dir / "new" : dir / "old");
    const auto r = train(out.path(), "new.json", c.stop);
    EXPECT_EQ(r.signal, c.signal);
    if (c.signal == 0) {
      EXPECT_EQ(r.exitStatus, c.stop.empty() ? 0 : 255);
    } else if (c.signal == SIGKILL) {
      EXPECT_EQ(train(out.path(), "new.json").out, kSuccess);
    }
    if (c.stop == "written:remove") {
      EXPECT_EQ(r.err, "Could not write the files of target \"P\" into " + quoted(out.path().string()) +
                           ": the folder was removed by another program while the run wrote it.\n");
    }
    auto files = snapshotTree(out / "PALOM_P");
    if (c.plant.empty()) {
      EXPECT_EQ(TestSupport::readFile(out / "PALOM_P" / "notes.txt"), "mine");
      // The old target keeps the planted links; the new one has none.
      files.erase(std::remove_if(files.begin(), files.end(),
                                 [&](const auto& f) {
                                   return f.first == "notes.txt" || (!c.becomesNew && f.second == "outside");
                                 }),
                  files.end());
    }
    EXPECT_EQ(files, c.signal == SIGKILL ? snapshotTree(dir / "new") : expected);
    EXPECT_FALSE(fs::is_symlink(out / "PALOM_P"));
    std::vector<std::string> entries = {"PALOM_P", "PALOM_P.tmp-999997-0"};
    if (c.plant == "link") entries.push_back("elsewhere");
    EXPECT_EQ(folderEntries(out.path()), entries);
  }
  EXPECT_EQ(TestSupport::readFile(dir / "outside"), "outside");
}

// Two runs of one target at once each leave a complete target: the folder is one of the two.
TEST(ImageTarget, TwoRunsOfOneTargetAtOnceLeaveOneWholeTarget) {
  TempDir dir;
  writeRetrainConfigs(dir);
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> alone;
  for (const std::string config : {"old.json", "new.json"}) {
    TempDir out;
    ASSERT_EQ(runFormwright({out.path().string(), (dir / config).string(), kBlocks}).out, kSuccess);
    alone[config] = snapshotTree(out / "PALOM_P");
  }
  ASSERT_EQ(runFormwright({dir.path().string(), (dir / "old.json").string(), kBlocks}).out, kSuccess);
  for (int round = 0; round < 4; ++round) {
    auto first = std::async(std::launch::async, [&] {
      return runFormwright({dir.path().string(), (dir / "new.json").string(), kBlocks});
    });
    const auto second = runFormwright({dir.path().string(), (dir / "old.json").string(), kBlocks});
    EXPECT_EQ(first.get().out + second.out, kSuccess + kSuccess);
    const auto files = snapshotTree(dir / "PALOM_P");
    EXPECT_TRUE(files == alone["old.json"] || files == alone["new.json"]);
    EXPECT_EQ(folderEntries(dir.path()), (std::vector<std::string>{"PALOM_P", "new.json", "old.json"}));
  }
}

// A CAD target that another run is writing (its staging folder locked) is refused before training;
// once no run holds that folder, the next run removes it.
TEST(CadTarget, ATargetAnotherRunWritesIsRefused) {
  TempDir dir;
  const std::string examples = std::string(FORMWRIGHT_SOURCE_DIR) + "/examples/";
  fs::create_directory(dir / ".PALOM_Held.tmp-1-0");
  writeFile(dir / "cad.json", "{\"Config.Target.Type\": \"CAD\", \"Config.Target.Name\": \"Held\", "
                              "\"CAD.Detection.DistanceRange\": [0.5, 0.1]}");
  const std::vector<std::string> args = {dir.path().string(), (dir / "cad.json").string(), examples + "models/bracket.obj"};
  const int held = open((dir / ".PALOM_Held.tmp-1-0").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const auto r = runFormwright(args);
  close(held);
  EXPECT_EQ(r.out, "ERROR: Failed to write CAD target data to " + quoted((dir / "PALOM_Held").string()) + "\n" + kTrainingFailed);
  EXPECT_EQ(r.err, "Could not write target \"Held\" into " + quoted(dir.path().string()) +
                       ": another run of the trainer is writing it; wait until it ends.\n");
  EXPECT_EQ(runFormwright(args).out.rfind("Configuration Error: Minimum radius", 0), 0u);
  EXPECT_FALSE(fs::exists(dir / ".PALOM_Held.tmp-1-0"));
}
