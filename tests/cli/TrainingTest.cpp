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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <iostream>
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

// A re-trained target replaces the old one whole: stopped at any step, also where the file system
// cannot exchange two folders or as the first process of a PID namespace, the folder is the old or
// the new target byte for byte with its permission bits, the user's entries stay (carried, not
// copied), and nothing else is left beside it.
TEST(ImageTarget, RetrainingIsTheOldOrTheNewTargetWholeWhereverItStops) {
  const struct rlimit noCore {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  TempDir dir;
  writeRetrainConfigs(dir);
  const std::string unshare = "/usr/bin/unshare";
  const std::vector<std::string> pid1 = {"-p", "-f", "--mount-proc"};
  const bool namespaces = fs::exists(unshare) && run(unshare, {"-p", "-f", "--mount-proc", "true"}).exitStatus == 0;
  // Permission bits bind a superuser only without the capability that overrides them.
  const std::string setpriv = "/usr/bin/setpriv";
  const std::vector<std::string> bound = {"--bounding-set=-dac_override,-dac_read_search"};
  const bool bits = geteuid() != 0 || (fs::exists(setpriv) && run(setpriv, {bound[0], "true"}).exitStatus == 0);
  const auto train = [&](const fs::path& out, const std::string& config, const std::string& stop = "",
                         const std::string& as = "") {
    setenv("FORMWRIGHT_TEST_STOP", stop.c_str(), 1);
    std::vector<std::string> args = {out.string(), (dir / config).string(), kBlocks};
    const bool wrapped = as == "pid1" || (as == "closed" && geteuid() == 0);
    if (wrapped) args.insert(args.begin(), FORMWRIGHT_EXE);
    if (as == "pid1") args.insert(args.begin(), pid1.begin(), pid1.end());
    if (wrapped && as == "closed") args.insert(args.begin(), bound.begin(), bound.end());
    const auto r = !wrapped ? runFormwright(args) : run(as == "pid1" ? unshare : setpriv, args);
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
    int signal;  // the signal that ends the run, with status 128 plus it (KILL: by the signal); 0: none
    bool becomesNew;
    // "link": the target folder is a link to a folder elsewhere; "folder": a folder of the user's
    // stands where a target file goes; "pid1": the run is the first process of a PID namespace;
    // "closed": the target folder and its sub-folder are closed to writing; "recreated": the user
    // makes the target folder anew before the run after the kill; "deep": folders 100 levels deep.
    std::string plant = "";
    std::string reason = "";  // on standard error, when given
  };
  const std::string refused = "the target folder holds a folder named PALOM_IMG_TARGET_KPT.dat where a target "
                              "file goes; move that folder out of the target folder";
  const std::vector<Case> cases = {
      {"created:INT", SIGINT, false},   {"written:TERM", SIGTERM, false}, {"carried:HUP", SIGHUP, false},
      {"exchanged:QUIT", SIGQUIT, true}, {"carried:KILL", SIGKILL, false}, {"exchanged:KILL", SIGKILL, true},
      {"written:remove", 0, false, "", "the folder was removed by another program while the run wrote it"},
      {"written:move", 0, false, "", "the output folder was moved or removed by another program while the run wrote it"},
      {"", 0, true},                     {"", 0, true, "link"},           {"", 0, false, "folder", refused},
      {"listed:EIO", 0, false},
      {"flushed:EIO", 0, false, "", "the new files could not be flushed to disk (Input/output error); check its disk and free space"},
      // A file system that cannot exchange two folders.
      {"exchange:EINVAL", 0, true},      {"exchange:EINVAL", 0, true, "link"},
      {"exchange:EINVAL,aside:KILL", SIGKILL, false}, {"exchange:EINVAL,exchanged:TERM", SIGTERM, true},
      {"exchange:EINVAL,aside:KILL", SIGKILL, false, "link"},
      {"started:TERM", SIGTERM, false, "pid1"},        {"written:TERM", SIGTERM, false, "pid1"},
      {"made:TERM", SIGTERM, false},     {"", 0, true, "closed"},         {"exchange:EINVAL", 0, true, "closed"},
      {"exchange:EINVAL,aside:KILL", SIGKILL, false, "recreated"}, {"", 0, true, "deep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stop + c.plant);
    if ((c.plant == "pid1" && !namespaces) || (c.plant == "closed" && !bits)) {
      std::cout << "Skipped the row " << c.stop << c.plant << ": this machine allows no such run\n";
      continue;
    }
    TempDir out;
    const fs::path target = out / "PALOM_P";
    fs::copy(dir / "old", target);
    writeFile(target / "notes.txt", "mine");
    fs::create_directories(target / "sub" / "deeper");
    writeFile(target / "sub" / "big", "");
    fs::resize_file(target / "sub" / "big", 16 << 20);  // sparse
    ASSERT_EQ(mkfifo((target / "sub" / "pipe").c_str(), 0600), 0);
    struct stat big {};
    stat((target / "sub" / "big").c_str(), &big);
    const mode_t bitsKept = c.plant == "closed" ? 02555 : 02775;
    if (c.plant == "closed") chmod((target / "sub").c_str(), 0555);
    chmod(target.c_str(), bitsKept);
    writeFile(out / "PALOM_P.tmp-999997-0", "mine too");
    fs::create_directory(out / ".PALOM_P.tmp-backup");
    writeFile(out / ".PALOM_P.tmp-backup" / "copy", "mine as well");
    for (int pid = getpid(); pid < getpid() + 300; ++pid) {  // links planted under former temporary names
      fs::create_symlink(dir / "outside", target / ("PALOM_IMG_TARGET_CONFIG.tmp-" + std::to_string(pid) + "-0.json"));
    }
    fs::path deep = target / "sub" / "deeper";
    for (int level = 0; level < 100 && c.plant == "deep"; ++level) deep /= "d";
    fs::create_directories(deep);
    if (c.plant == "folder") {
      fs::remove(target / "PALOM_IMG_TARGET_KPT.dat");
      fs::create_directory(target / "PALOM_IMG_TARGET_KPT.dat");
      writeFile(target / "PALOM_IMG_TARGET_KPT.dat" / "mine.txt", "mine");
    }
    if (c.plant == "link") {
      fs::rename(target, out / "elsewhere");
      fs::create_directory_symlink(out / "elsewhere", target);
    }
    // The target's files without the user's own entries.
    const auto targetFiles = [](const fs::path& folder) {
      auto files = snapshotTree(folder);
      files.erase(std::remove_if(files.begin(), files.end(),
                                 [](const auto& f) { return f.first == "notes.txt" || f.first.rfind("sub", 0) == 0; }),
                  files.end());
      return files;
    };
    const auto expected = c.becomesNew || c.signal == SIGKILL ? snapshotTree(dir / "new") : targetFiles(target);
    const auto r = train(out.path(), "new.json", c.stop, c.plant);
    if (fs::exists(out.path().string() + "-moved")) fs::rename(out.path().string() + "-moved", out.path());
    EXPECT_EQ(r.signal, c.signal == SIGKILL ? SIGKILL : 0);
    if (c.signal == SIGKILL) {
      if (c.plant == "recreated") fs::create_directory(target);
      EXPECT_EQ(train(out.path(), "new.json").out, kSuccess);
    } else {
      EXPECT_EQ(r.exitStatus, c.signal != 0 ? 128 + c.signal : c.becomesNew ? 0 : 255);
    }
    if (!c.reason.empty()) {
      EXPECT_EQ(r.err, "Could not write the files of target \"P\" into " + quoted(out.path().string()) + ": " +
                           c.reason + ".\n");
    }
    // The old folder that a target made anew keeps from going back stays beside it, visible.
    std::vector<std::string> entries = folderEntries(out.path());
    const auto kept = std::find_if(entries.begin(), entries.end(),
                                   [](const std::string& e) { return e.rfind("PALOM_P.old-", 0) == 0; });
    EXPECT_EQ(kept != entries.end(), c.plant == "recreated");
    const fs::path holder = kept == entries.end() ? target : out / *kept;
    if (kept != entries.end()) entries.erase(kept);
    if (c.plant != "link") {
      EXPECT_EQ(TestSupport::readFile(holder / "notes.txt"), "mine");
      struct stat carried {};
      stat((holder / "sub" / "big").c_str(), &carried);
      EXPECT_EQ(carried.st_ino, big.st_ino);
      EXPECT_TRUE(fs::is_fifo(holder / "sub" / "pipe"));
      EXPECT_TRUE(fs::is_directory(holder / "sub" / "deeper"));
      struct stat folder {};
      stat(holder.c_str(), &folder);
      EXPECT_EQ(folder.st_mode & 07777, bitsKept);
    }
    EXPECT_EQ(targetFiles(target), expected);
    EXPECT_FALSE(fs::is_symlink(target));
    std::vector<std::string> expectedEntries = {".PALOM_P.tmp-backup", "PALOM_P", "PALOM_P.tmp-999997-0"};
    if (c.plant == "link") expectedEntries.push_back("elsewhere");
    EXPECT_EQ(entries, expectedEntries);
    if (c.plant == "closed") fs::permissions(target / "sub", fs::perms::owner_all, fs::perm_options::add);
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
