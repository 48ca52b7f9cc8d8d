// Bad inputs through the built executable, one table row each. Every row must end the run with
// exactly the expected lines on standard output and the expected reasons on standard error (unless
// given, the first line of standard output repeated), exit status 255 (-1), no signal and no core
// dump, and must leave the output directory (holding the trained target PALOM_Existing) and the
// row's input files in the folder <root>/we"ird\in put/ as they were.
// In arguments and expected lines {out} stands for the output directory ({out:NAME} for NAME
// inside it) and {in:NAME} for input file NAME, written in expected lines as the program writes
// a path (quoted, '"' and '\' escaped); {raw:NAME} is the path as it is, and in file contents
// {json:NAME} the path as a JSON string; {qout..} and {qin:..} are always quoted.
#include "Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

struct Row {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // input file name, content
  std::vector<std::string> args;
  std::string expected;
  std::string reasons = "";  // standard error, paths as they are
  long addressSpace = 0;     // bytes the run may map, 0 for no limit
  std::vector<std::pair<std::string, std::string>> links = {};  // symbolic link name, its target
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

// Replaces the path tokens of the text; {out..} and {in:..} are quoted when `quote` is set,
// {qout..} and {qin:..} always.
std::string expand(const std::string& text, const fs::path& out, const fs::path& in, bool quote) {
  std::string result;
  std::size_t at = 0;
  for (std::size_t open; (open = text.find('{', at)) != std::string::npos;) {
    const std::size_t close = text.find('}', open);
    const std::string token = text.substr(open + 1, close == std::string::npos ? 0 : close - open - 1);
    const std::size_t colon = token.find(':');
    const bool always = token[0] == 'q';
    const std::string kind = token.substr(always, colon - always), name = colon == std::string::npos ? "" : token.substr(colon + 1);
    if (kind != "out" && kind != "in" && kind != "json" && kind != "raw") {  // a JSON brace
      result += text.substr(at, open + 1 - at);
      at = open + 1;
      continue;
    }
    const std::string path = kind == "out" ? (name.empty() ? out : out / name).string() : (in / name).string();
    result += text.substr(at, open - at) + (always || kind == "json" || (quote && kind != "raw") ? TestSupport::quoted(path) : path);
    at = close + 1;
  }
  return result + text.substr(at);
}

const std::string kTrainingFailed = "ERROR: An error occurred during target training.\n";
const std::string kBatchFailed = "ERROR: An error occurred during batch target training.\n";
// A single-target run that loaded its configuration (default type "Image") and has no picture.
const std::string kLoadedNoPicture = "ERROR: Target data file  '\"\"' does not exist\n" + kTrainingFailed;
const std::string kBatchFolders = "; the names of the batch's folders are PALOM_ followed by it, '_' and a counter\n";
const std::string kNameRule = " is invalid. Allowed characters are: 'a-z', 'A-Z', '0-9', '_'. Maximum length: 26\n";

std::string configRefused(const std::string& file) {
  return "ERROR: Failed to load configuration file from {in:" + file + "}\n";
}

Row single(std::string name, std::string content, std::string expected) {
  return {std::move(name), {{"config.json", std::move(content)}}, {"{out}", "{in:config.json}"}, std::move(expected)};
}
Row batch(std::string name, std::string content, std::string expected) {
  return {std::move(name), {{"batch.json", std::move(content)}}, {"-B", "{out}", "{in:batch.json}"},
          std::move(expected)};
}

Row withReasons(Row row, std::string reasons) {
  row.reasons = std::move(reasons);
  return row;
}

// ---- Configuration files that cannot be read as JSON (the loader's own unit test covers missing,
// empty and cut files, the kinds, duplicates and ranges of values), and numbers at the limits
// through the executable
std::vector<Row> configurationFiles() {
  const std::string refused = configRefused("config.json"), batchRefused = configRefused("batch.json");
  const char binaryBytes[] = "\x7f" "ELF\x02\x01\x01\x00\x00\x00\xff\xfe{\"a\":\x00}\x1b[2J";
  std::string deepObjects;
  for (int i = 0; i < 3000; ++i) deepObjects += "{\"k" + std::to_string(i) + "\":";
  // 2,000,000 numbers under 198 objects, 4 MB: loaded in memory in proportion to the file.
  std::string bigNested = deepObjects.substr(0, deepObjects.find("{\"k198\"")) + "[";
  for (int i = 0; i < 2000000; ++i) bigNested += "0,";
  bigNested += "0]" + std::string(198, '}');
  Row big = single("DeeplyNestedFileOf4MB", bigNested, kLoadedNoPicture);
  big.addressSpace = 512L << 20;
  const auto qrBatch = [](const std::string& count) {
    return "{\"Batch.Target.Type\": \"QRCode\", \"Batch.Config.File\": {json:missing.json}, \"Batch.QRCodeTarget.Num\": " +
           count + "}";
  };
  return {
      withReasons(single("BinaryFile", std::string(binaryBytes, sizeof(binaryBytes) - 1), refused),
                  "{in:config.json}: JSON syntax error at line 1, column 1\n"),
      withReasons(single("DeeplyNestedArrays", std::string(5000, '[') + std::string(5000, ']'), refused),
                  "{in:config.json}: nesting deeper than 200 levels at line 1, column 201\n"),
      withReasons(single("DeeplyNestedObjects", deepObjects + "1" + std::string(3000, '}'), refused),
                  "{in:config.json}: nesting deeper than 200 levels at line 1, column 1491\n"),
      withReasons(batch("BatchTruncatedFile", "{\"Batch.Target.Name\": ", batchRefused),
                  "{in:batch.json}: JSON syntax error at line 1, column 23\n"),
      // Lines end in CR LF and are indented with tabs: the position is the file's own.
      withReasons(single("SyntaxErrorOnALaterLine", "{\r\n\t\"Image.FAST.Number\": 5,\r\n\t\"x\": [1,, 2]}", refused),
                  "{in:config.json}: JSON syntax error at line 3, column 10\n"),
      withReasons(single("ValueOfTheWrongKind", "{\"Image\": {\"Image.Grid.Row\": [3]}}", refused),
                  "{in:config.json}: the value of Image.Grid.Row must be a number\n"),
      withReasons(single("NumberForAList", "{\"Image.Training.Resolution\": 7}", refused),
                  "{in:config.json}: the value of Image.Training.Resolution must be an array of numbers\n"),
      big,
      single("IntListElementPastTheLengthIsIgnored", "{\"Image.Training.Resolution\": [640, 480, 3e9]}",
             kLoadedNoPicture),
      batch("CountAtLowerLimit", qrBatch("-2147483648"),
            "Configuration Error: Batch.QRCodeTarget.Num -2147483648 must not be negative (it is the number of "
            "targets)\n" + kBatchFailed),
      batch("CountMinusOne", qrBatch("-1"),
            "Configuration Error: Batch.QRCodeTarget.Num -1 must not be negative (it is the number of targets)\n" +
                kBatchFailed),
      single("DoubleAtLargestFinite", "{\"QRCode.PhysicalSize\": -1.7976931348623157e308}", kLoadedNoPicture),
      single("DoubleUnderflowsToZero", "{\"QRCode.PhysicalSize\": 1e-400}", kLoadedNoPicture),
      withReasons(single("DoubleRoundsPastLargestFinite", "{\"QRCode.PhysicalSize\": 1.7976931348623159e308}", refused),
                  "{in:config.json}: a number beyond the range of a double at line 1, column 47\n"),
      withReasons(single("DoubleBeyondRangeInsideAnArray", "{\"Unused\": [1, [2, 1e309]]}", refused),
                  "{in:config.json}: a number beyond the range of a double at line 1, column 25\n"),
  };
}

// ---- Calibration files (five arguments: the calibration comes first)
std::vector<Row> calibrations() {
  const auto row = [](std::string name, std::string content, bool loads, std::string reason = "") {
    // A calibration that loads lets the run go on to the configuration, which is missing.
    return Row{std::move(name),
               {{"camera.json", std::move(content)}, {"model.obj", "v 0 0 0\n"}},
               {"{out}", "{in:missing.json}", "{in:model.obj}", "{in:camera.json}"},
               loads ? configRefused("missing.json") : "ERROR: Failed to load calibration file from {in:camera.json}\n",
               loads ? "{in:missing.json}: no such file\n" : "{in:camera.json}: " + reason + "\n"};
  };
  const std::string full = "\"Resolution\": [640, 480], \"FocalLength\": [500, 500], \"PrincipalPoint\": [320, 240], "
                           "\"Distortion\": [0, 0, 0, 0, 0]";
  return {
      row("CalibrationNegativeAndHugeValues", "{\"Resolution\": [-1, 2147483647], \"FocalLength\": [-1e308, 1e308], "
                                              "\"PrincipalPoint\": [-5, 4.9e-324], \"Distortion\": [1e300, -1e300, 0, 0, 0]}",
          true),
      row("CalibrationNonArrayValueRefused", "{\"Resolution\": null, \"FocalLength\": 3}", false,
          "the value of FocalLength must be an array of numbers"),
      row("CalibrationResolutionJustAboveLimit", "{\"Resolution\": [2147483648, 1]}", false,
          "the value of Resolution is outside the 32-bit integer range"),
      row("CalibrationFocalLengthBeyondDoubleRange", "{\"FocalLength\": [1e309, 1]}", false,
          "a number beyond the range of a double at line 1, column 23"),
      row("CalibrationDuplicateAtDepth", "{" + full + ", \"Lens\": {\"Model\": {\"FocalLength\": [1, 1]}}}", false,
          "the key \"FocalLength\" occurs more than once; keep one"),
      row("CalibrationTruncated", "{" + full.substr(0, 40), false, "JSON syntax error at line 1, column 42"),
      row("CalibrationDistortionShort", "{" + full.substr(0, full.size() - 4) + "]}", false,
          "Distortion needs 5 numbers, not 4"),
      Row{"CalibrationIsADirectory",
          {{"camera.json/placeholder", "x"}},
          {"{out}", "{in:missing.json}", "{in:model.obj}", "{in:camera.json}"},
          "ERROR: Specified calibration file '{in:camera.json}' does not exist\n"},
      Row{"CalibrationMissingComesBeforeEverythingElse",
          {},
          {"{in:no-output}", "{in:missing.json}", "{in:model.obj}", "{in:camera.json}"},
          "ERROR: Specified calibration file '{in:camera.json}' does not exist\n"},
  };
}

// ---- Output paths that are not directories
std::vector<Row> outputPaths() {
  const std::vector<std::pair<std::string, std::string>> files = {{"plain-file", "not a folder"},
                                                                  {"config.json", "{}"}};
  return {
      Row{"OutputIsAFile", files, {"{in:plain-file}", "{in:config.json}"},
          "ERROR: Output path '{in:plain-file}' does not exist\n"},
      Row{"BatchOutputIsAFile", files, {"--b", "{in:plain-file}", "{in:config.json}"},
          "ERROR: Output path '{in:plain-file}' does not exist\n"},
      Row{"OutputIsAFileCheckedAfterTheCalibration",
          {{"plain-file", "x"}, {"camera.json", "{}"}},
          {"{in:plain-file}", "{in:config.json}", "{in:model.obj}", "{in:camera.json}"},
          "ERROR: Output path '{in:plain-file}' does not exist\n"},
  };
}

// ---- A target name the name rule refuses (the rule itself has its own unit test), printed as
// it is, and the paths of the remaining lines
std::vector<Row> namesAndPaths() {
  return {
      single("NameWithQuotes", "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"a\\\"b\\\"\"}",
             "ERROR: Target name \"a\\\"b\\\"\"" + kNameRule + kTrainingFailed),
      // The name is checked before the (missing) picture of an image target.
      single("NameOfAnImageTargetBeforeItsPicture", "{\"Config.Target.Name\": \"bad name\"}",
             "ERROR: Target name \"bad name\"" + kNameRule + kTrainingFailed),
      // Paths with quotes, backslashes and blanks in the lines that print them.
      Row{"DataFileIsADirectory",
          {{"config.json", "{\"Config.Target.Type\": \"CAD\"}"}, {"model\\dir/placeholder", "x"}},
          {"{out}", "{in:config.json}", "{in:model\\dir}"},
          "ERROR: Target data file  '{in:model\\dir}' does not exist\n" + kTrainingFailed,
          "{qin:model\\dir} is a folder, not a file; name the model file to train from\n"},
      Row{"DataFileOfAnUnknownTypeIsCheckedFirst",
          {{"config.json", "{\"Config.Target.Type\": \"qr \\\"code\\\\\"}"}},
          {"{out}", "{in:config.json}"},
          "ERROR: Target data file  '\"\"' does not exist\n" + kTrainingFailed},
      Row{"UnknownTypeWithQuotesIsPrintedUnchanged",
          {{"config.json", "{\"Config.Target.Type\": \"qr \\\"code\\\\\"}"}, {"data", "x"}},
          {"{out}", "{in:config.json}", "{in:data}"},
          "qr \"code\\ type is not supported. Supported types are: 'Image' 'QRCode' 'CAD'\n" + kTrainingFailed},
      // A batch name must make one folder name per target; a line break is escaped where it is printed.
      batch("BatchNameWithASlash", "{\"Batch.Target.Name\": \"a/b\"}",
            "Configuration Error: Batch.Target.Name \"a/b\" holds a '/'" + kBatchFolders + kBatchFailed),
      batch("BatchNameWithABackslash", "{\"Batch.Target.Name\": \"a\\\\b\"}",
            "Configuration Error: Batch.Target.Name \"a\\\\b\" holds a '\\', which separates folders on Windows" +
                kBatchFolders + kBatchFailed),
      batch("BatchNameWithADelete", "{\"Batch.Target.Name\": \"a\\u007fb\"}",
            "Configuration Error: Batch.Target.Name \"a\\x7fb\" holds a control character (a line break, a tab or a "
            "NUL among them)" + kBatchFolders + kBatchFailed),
      batch("BatchNameWithALineBreak", "{\"Batch.Target.Name\": \"new\\nline\"}",
            "Configuration Error: Batch.Target.Name \"new\\nline\" holds a control character (a line break, a tab or a "
            "NUL among them)" + kBatchFolders + kBatchFailed),
      // PALOM_, 300 characters and _00000 make 312 bytes; 255 less 37 for the temporary name's part are left.
      batch("BatchNameTooLongForAFolder", "{\"Batch.Target.Name\": \"" + std::string(300, 'n') + "\"}",
            "Configuration Error: Batch.Target.Name \"" + std::string(300, 'n') + "\" makes folder names of 312 bytes, "
            "too long for one folder name (at most 218 bytes, with 37 left for a temporary name)" + kBatchFolders +
                kBatchFailed),
      batch("BatchTypeWithQuotesIsPrintedUnchanged", "{\"Batch.Target.Type\": \"\\\"CAD\\\\\"}",
            "\"CAD\\ type is not supported for batch training\n" + kBatchFailed),
      Row{"BatchTrainingConfigurationRefused",
          {{"batch.json", "{\"Batch.Target.Type\": \"QRCode\", \"Batch.Config.File\": {json:bad\\train.json}}"},
           {"bad\\train.json", "{\"QRCode.PhysicalSize\": \"big\"}"}},
          {"-b", "{out}", "{in:batch.json}"},
          "Failed to load configuration file from {in:bad\\train.json}\n" + kBatchFailed,
          "{in:bad\\train.json}: the value of QRCode.PhysicalSize must be a number\n"},
      // The debug pictures take the training configuration's name; the batch's own names are fine.
      Row{"BatchTrainingNameOfTheDebugPictures",
          {{"batch.json", "{\"Batch.Config.File\": {json:train.json}, \"Batch.Image.Files\": [\"p.png\"]}"},
           {"train.json", "{\"Config.Target.Name\": \"../escape/pwn\", \"Config.MVG.Enabled\": true, "
                          "\"Config.MVG.Debug\": true}"}},
          {"-b", "{out}", "{in:batch.json}"},
          "ERROR: Target name \"../escape/pwn\"" + kNameRule + kBatchFailed,
          "Config.Target.Name of {qin:train.json} names the pictures of Config.MVG.Debug (<name>_MVG_<n>.png in the "
          "working directory): give it a name of 1 to 26 letters, digits or '_', or set Config.MVG.Debug to false.\n"},
  };
}

// ---- Pictures: FAST thresholds outside 0 to 255, refused before the picture is read, and a
// 1 x 100000 PNG of 4-pixel blocks
Row thresholdRefused(std::string name, const std::string& key, const std::string& value) {
  return Row{std::move(name),
             {{"config.json", "{\"Config.Target.Name\": \"Pic\", \"" + key + "\": " + value + "}"}, {"picture.png", "x"}},
             {"{out}", "{in:config.json}", "{in:picture.png}"},
             "Configuration Error: " + key + " must be from 0 to 255 (it is " + value + ")\n" + kTrainingFailed};
}

// The 4:3 picture of blocks with the physical size and a calibration of the focal length.
Row geometry(std::string name, const std::string& width, const std::string& height, const std::string& focal,
             const std::string& gives) {
  const std::string camera = "{\"Resolution\": [640, 480], \"FocalLength\": [" + focal + ", " + focal + "]}";
  const std::string picture = readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/blocks-64x48.png");
  return {std::move(name),
          {{"config.json", "{\"Object.Physical.Width\": " + width + ", \"Object.Physical.Height\": " + height + "}"},
           {"camera.json", camera}, {"b.png", picture}},
          {"{out}", "{in:config.json}", "{in:b.png}", "{in:camera.json}"},
          "Failed to train from {raw:b.png}\n" + kTrainingFailed,
          "Object.Physical.Width " + width + " and Object.Physical.Height " + height +
              " with the camera's focal lengths " + focal + " and " + focal + " give a target geometry that is " +
              gives + "; give the physical size in metres and the calibration's FocalLength in pixels\n"};
}

std::vector<Row> pictures() {
  const std::string corpus = std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_load_image/";
  const std::string jpeg = readFile(corpus + "box-gray.jpg");
  return {
      thresholdRefused("FastThresholdAbove255", "Image.FAST.Threshold", "256"),
      thresholdRefused("FastThresholdNegative", "Image.FAST.Threshold", "-1"),
      thresholdRefused("MvgThresholdAbove255", "MVGTrainer.Extractor.Threshold", "300"),
      Row{"Picture1x100000",
          {{"config.json", "{\"Config.Target.Name\": \"Pic\", \"Object.Physical.Width\": 0.00001, "
                           "\"Object.Physical.Height\": 1}"},
           {"tall.png", readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/blocks-1x100000.png")}},
          {"{out}", "{in:config.json}", "{in:tall.png}"},
          "Failed to train from {raw:tall.png}\n" + kTrainingFailed,
          "The 1 x 100000 picture cannot be scaled into Image.Training.Resolution 640 x 480\n"},
      // Over the 64 x 48 picture's 639 pixels a focal length of 1e30 spans 6.39e-28, which the size makes
      // beyond a double; with 1e-30 the size of 4e-300 becomes 6.3e-333, below the smallest double.
      geometry("GeometryBeyondDoubles", "4e+300", "3e+300", "1e+30", "not finite and non-zero (scale inf x inf)"),
      geometry("GeometryBelowDoubles", "4e-300", "3e-300", "1e-30", "not finite and non-zero (scale 0 x 0)"),
      Row{"PictureThatDoesNotDecode",
          {{"config.json", "{}"}, {"picture.png", "x"}},
          {"{out}", "{in:config.json}", "{in:picture.png}"},
          "Failed to train from {raw:picture.png}\n" + kTrainingFailed,
          "{in:picture.png}: cannot be decoded as a PNG, JPEG, BMP, binary PGM or binary PPM picture (it is empty, "
          "damaged, of another format or too large); give a picture in one of these formats\n"},
      Row{"PictureOfARefusedFormatThatWouldNeverEnd",
          {{"config.json", "{}"}, {"p.hdr", readFile(corpus + "regression-radiance-rle-hang.hdr")}},
          {"{out}", "{in:config.json}", "{in:p.hdr}"},
          "Failed to train from {raw:p.hdr}\n" + kTrainingFailed,
          "{in:p.hdr}: cannot be decoded as a PNG, JPEG, BMP, binary PGM or binary PPM picture (it is empty, "
          "damaged, of another format or too large); give a picture in one of these formats\n"},
      Row{"PictureTurnedByItsExifOrientation",  // EXIF block of one entry: orientation 6, big-endian
          {{"config.json", "{}"},
           {"p.jpg", jpeg.substr(0, 2) +
                         std::string("\xFF\xE1\0\x22" "Exif\0\0MM\0\x2A\0\0\0\x08\0\x01"
                                     "\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0", 36) +
                         jpeg.substr(2)}},
          {"{out}", "{in:config.json}", "{in:p.jpg}"},
          "Failed to train from {raw:p.jpg}\n" + kTrainingFailed,
          "{in:p.jpg} is used as its pixels are stored, 20 x 15; its EXIF orientation 6 has viewers show it turned 90 "
          "degrees clockwise, as 15 x 20 (save it turned upright to train what viewers show)\nThe picture is 20 x 15 "
          "pixels (width / height 1.333) but the physical size is 1 x 1 (width / height 1); set Object.Physical.Width "
          "and Object.Physical.Height in the picture's proportions (within 0.02)\n"},
      Row{"BatchPictureIsAFolder",
          {{"config.json", "{}"}, {"sub/placeholder", "x"},
           {"batch.json", "{\"Batch.Image.Path\": \"\", \"Batch.Image.Files\": [{json:sub}], \"Batch.Config.File\": "
                          "{json:config.json}}"}},
          {"-B", "{out}", "{in:batch.json}"},
          "Failed to train from {raw:sub}\n" + kBatchFailed,
          "{raw:sub} is a folder, not a picture file; name a picture file instead\n"},
  };
}

// ---- Settings that would describe no real object or camera, or grow memory without bound: refused
// before the picture is read, in 512 MiB of address space (the largest values would need far more)
std::vector<Row> settingBounds() {
  const auto refused = [](std::string name, const std::string& config, const std::string& line,
                          const std::string& camera = "") {
    Row r{std::move(name), {{"config.json", config}, {"picture.png", "x"}},
          {"{out}", "{in:config.json}", "{in:picture.png}"}, "Configuration Error: " + line + "\n" + kTrainingFailed,
          "", 512L << 20};
    if (!camera.empty()) r.files.push_back({"camera.json", "{\"PrincipalPoint\": [1, 1], " + camera + "}"});
    if (!camera.empty()) r.args.push_back("{in:camera.json}");
    return r;
  };
  const std::string cells = " less 15 pixels on each side, into cells of at least one pixel";
  return {
      refused("GridRowsBeyondThePixels", "{\"Image.Grid.Row\": 2000000000, \"Image.Grid.Col\": 2000000000}",
              "Image.Grid.Row 2000000000 must be from 1 to 450: the grid divides the height 480 of "
              "Image.Training.Resolution," + cells),
      refused("GridColumnsOneBeyond", "{\"Image.Grid.Col\": 611}",
              "Image.Grid.Col 611 must be from 1 to 610: the grid divides the width 640 of "
              "Image.Training.Resolution," + cells),
      refused("MvgGridBeyondTheRenderSize", "{\"Config.MVG.Enabled\": true, \"MVGTrainer.Grid.Row\": 2147483647}",
              "MVGTrainer.Grid.Row 2147483647 must be from 1 to 450: the grid divides the height 480 of the render "
              "size (Image.Training.Resolution)," + cells),
      refused("MvgPyramidThatGrows", "{\"Config.MVG.Enabled\": true, \"MVGTrainer.Extractor.PyramidRatio\": 2}",
              "MVGTrainer.Extractor.PyramidRatio must lie between 0 and 1 (it is 2)"),
      // 4e8 pixels at 48 bytes, and 2 bytes for each pixel of the 8 levels shrinking by 0.8333 (3.0951 times
      // the pixels of level 0): 4e8 * (48 + 2 * 3.0951) bytes, 20.2 GiB.
      refused("ResolutionBeyondTheMemoryBound", "{\"Image.Training.Resolution\": [20000, 20000]}",
              "Image.Training.Resolution [20000, 20000] with these pyramid, grid and keypoint settings needs about "
              "20.2 GiB, more than the 16 GiB allowed"),
      // With synthetic views, per pixel also 56 bytes and 1.5 bytes for each of 4 views in flight and each pixel of
      // its 3 levels shrinking by 0.66 (1.6253 times level 0): 1.96e8 * (48 + 2 * 3.0951 + 56 + 6 * 1.6253) bytes,
      // and 193 views x 3 levels x 200 bytes x 2000 keypoints, 22.1 GiB.
      refused("MvgResolutionBeyondTheMemoryBound",
              "{\"Config.MVG.Enabled\": true, \"Image.Training.Resolution\": [14000, 14000]}",
              "Image.Training.Resolution [14000, 14000] with these pyramid, grid, keypoint and multiple view settings "
              "needs about 22.1 GiB, more than the 16 GiB allowed"),
      refused("MvgKeypointsNegative", "{\"Config.MVG.Enabled\": true, \"MVGTrainer.Extractor.Number\": -1}",
              "MVGTrainer.Extractor.Number must not be negative (it is -1)"),
      // 193 views x 3 levels x 200 bytes x 307200 keypoints (one per pixel at distance 0) = 33.1 GiB, and about
      // 0.04 GiB of pixels and records of the picture itself.
      refused("MvgKeypointsBeyondTheMemoryBound",
              "{\"Config.MVG.Enabled\": true, \"MVGTrainer.Extractor.Number\": 100000000, "
              "\"MVGTrainer.Extractor.MinDist\": 0}",
              "MVGTrainer.Extractor.Number 100000000 with Image.Training.Resolution [640, 480] and these other "
              "settings needs about 33.2 GiB, more than the 16 GiB allowed"),
      refused("ImageCameraFocalLengthBeyondFloat", "{}",
              "Camera focal length 1e+300 is inf in single precision",
              "\"Resolution\": [640, 480], \"FocalLength\": [1e300, 500], \"Distortion\": [0, 0, 0, 0, 0]"),
      refused("ImageCameraWithoutHeight", "{}", "Camera resolution 640 x 0 must be at least 1 x 1",
              "\"Resolution\": [640, 0], \"FocalLength\": [500, 500], \"Distortion\": [0, 0, 0, 0, 0]"),
      refused("QrPhysicalSizeNegative", "{\"Config.Target.Type\": \"QRCode\", \"QRCode.PhysicalSize\": -1}",
              "QRCode.PhysicalSize -1 must be finite and positive"),
      refused("QrPixelSizeOneBeyond", "{\"Config.Target.Type\": \"QRCode\", \"QRCode.Pattern.PixelSize\": 656}",
              "QRCode.Pattern.PixelSize 656 must be from 1 to 655 (the 25 modules of the code make a picture of at "
              "most 16384 pixels a side)"),
  };
}

// ---- CAD targets: checks before training and models that cannot be used (unwritable outputs: the
// training tests)
std::vector<Row> cadTargets() {
  const std::string triangle = "v 0 0 0\nv 1000 0 0\nv 0 1000 0\nf 1 2 3\n";  // a metre wide
  // A CAD run of the target `name` with the configuration's further members, the model and (when
  // given) a calibration file.
  const auto cad = [&](std::string row, const std::string& extra, const std::string& expected, std::string camera = "",
                       std::string model = "v 0 0 0\nv 10 0 0\nv 0 10 0\nf 1 2 3\n", std::string name = "Cad") {
    Row r{std::move(row),
          {{"config.json", "{\"Config.Target.Type\": \"CAD\", \"Config.Target.Name\": \"" + name + "\"" + extra + "}"},
           {"model.obj", std::move(model)}},
          {"{out}", "{in:config.json}", "{in:model.obj}"},
          expected + kTrainingFailed};
    if (!camera.empty()) r.files.push_back({"camera.json", "{\"PrincipalPoint\": [320, 240], " + camera + "}"});
    if (!camera.empty()) r.args.push_back("{in:camera.json}");
    return r;
  };
  const std::string upright = "Configuration Error: Upright axis malformed. Provide an axis in the following format: "
                              "[x,y,z] \n Example: +X:[1,0,0] , -Y [0,-1,0]\n";
  const auto refused = [](const std::string& text) {
    return "Configuration Error: " + text + "\nConfiguration error. Aborting training\n";
  };
  const std::string starting = "Starting CAD target training. This might take a few minutes.\n";
  const std::string unusable = starting + "ERROR: Could not load the model\n";
  const std::string existing = "Remove or rename {qout:PALOM_Existing}, or choose another Config.Target.Name.\n";
  std::vector<Row> rows = {
      cad("CadUprightTwoValues", ", \"CAD.UprightVector\": [0, 1]", upright),
      // Far beyond single precision, yet a direction: the run goes on to the next check.
      cad("CadUprightHugeIsADirection", ", \"CAD.UprightVector\": [1e300, 1e300, 0], \"CAD.Detection.DistanceRange\": []",
          refused("No sampling radii set")),
      withReasons(cad("CadExistingTargetComesBeforeTheSettings", ", \"CAD.Detection.DistanceRange\": []",
              "ERROR: A target with name \"Existing\" already exists in {out}\n", "", triangle, "Existing"),
          existing),
      cad("CadElevationBandTooNarrow",
          ", \"CAD.Detection.NumTrainingViews\": 10000, \"CAD.Detection.ElevationAngleRange\": [10, 10.001]",
          refused("Elevation range [10, 10.001] is too narrow for 10000 views: sampling would draw more than "
                  "10000000 camera directions")),
      cad("CadCameraWidthZero", "", refused("Camera resolution 0 x 480 must be at least 1 x 1"),
          "\"Resolution\": [0, 480], \"FocalLength\": [500, 500]"),
      cad("CadCameraFocalLengthBeyondFloat", "", refused("Camera focal length 1e+39 is inf in single precision"),
          "\"Resolution\": [640, 480], \"FocalLength\": [500, 1e39]"),
      withReasons(cad("CadModelWithoutTriangles", "", unusable, "", "v 0 0 0\nv 1 0 0\nv 0 1 0\n"),
                  "The model {qin:model.obj} could not be loaded: it imported without any triangle that has an "
                  "area.\n"),
      // A metre-wide triangle: 1 x 1 x 0 m, its farthest corner sqrt(5) / 3 m from its centre.
      withReasons(cad("CadModelBeyondTheLargestRadius", ", \"CAD.Detection.DistanceRange\": [0.1, 0.2]",
              starting + "ERROR: Camera radii are too close to the object\n", "", triangle),
          "The model of 1 x 1 x 0 m (read in millimetres) reaches 0.745 m from its centre, beyond the cameras at most "
          "0.2 m away: raise the maximum of CAD.Detection.DistanceRange to at least 0.745 m.\nViews nearer than 0.1 m "
          "are clipped, and the model comes as near as 0 m to the cameras: raise the minimum of "
          "CAD.Detection.DistanceRange to at least 0.845 m.\n"),
      withReasons(cad("CadExistingFileCountsAsATarget", "",
              "ERROR: A target with name \"Cad\" already exists in {in:output}\n"),
          "Remove or rename {qin:output/PALOM_Cad}, or choose another Config.Target.Name.\n"),
      // A link that leads nowhere takes the name too; the settings after the check are refused.
      withReasons(cad("CadDanglingLinkCountsAsATarget", ", \"CAD.Detection.DistanceRange\": []",
              "ERROR: A target with name \"Cad\" already exists in {in:output}\n"),
          "Remove or rename {qin:output/PALOM_Cad}, or choose another Config.Target.Name.\n"),
  };
  rows[rows.size() - 2].files.push_back({"output/PALOM_Cad", "a file"});
  rows.back().links.push_back({"output/PALOM_Cad", "nowhere"});
  for (std::size_t i = rows.size() - 2; i < rows.size(); ++i) rows[i].args[0] = "{in:output}";
  // A material library that makes the import library dereference a material that does not exist.
  rows.push_back(cad("CadModelWhoseMaterialsCrashTheImporter", "", unusable, "", "mtllib m.mtl\n" + triangle));
  rows.back().files.push_back({"m.mtl", "map_Kd a.png\n"});
  rows.back().reasons = "The model {qin:model.obj} could not be loaded: The material library {raw:m.mtl} has "
                        "statements before its first newmtl.\n";
  return rows;
}

std::vector<Row> allRows() {
  std::vector<Row> rows;
  for (auto part : {configurationFiles(), calibrations(), outputPaths(), namesAndPaths(), pictures(), settingBounds(),
                    cadTargets()}) {
    rows.insert(rows.end(), part.begin(), part.end());
  }
  return rows;
}

class BadInput : public ::testing::TestWithParam<Row> {};

TEST_P(BadInput, PrintsItsLinesExitsWith255AndLeavesTheOutputAsItWas) {
  const Row& row = GetParam();
  TempDir root;
  const fs::path out = root / "out";
  const fs::path in = root / "we\"ird\\in put";
  fs::create_directories(out / "PALOM_Existing");
  fs::create_directories(in);
  writeFile(out / "PALOM_Existing" / "PALOM_Existing_IMG.png", std::string("\x89PNG\r\n\x1a\n\x00\x01\x02", 11));
  writeFile(out / "PALOM_Existing" / "PALOM_Existing_CONFIG.json", "{\n    \"value0\": {}\n}");
  for (const auto& [name, content] : row.files) {
    const fs::path file = in / name;
    fs::create_directories(file.parent_path());
    writeFile(file, expand(content, out, in, false));
  }
  for (const auto& [name, target] : row.links) {
    fs::create_directories((in / name).parent_path());
    fs::create_symlink(target, in / name);
  }
  std::vector<std::string> args;
  for (const std::string& arg : row.args) args.push_back(expand(arg, out, in, false));
  const auto before = TestSupport::snapshotTree(out);
  const auto beforeInputs = TestSupport::snapshotTree(in);

  const TestSupport::RunResult r = [&] {
    struct rlimit saved {};
    ::getrlimit(RLIMIT_AS, &saved);
    struct rlimit limited = saved;
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's shadow memory needs terabytes of addresses
    if (row.addressSpace > 0) limited.rlim_cur = static_cast<rlim_t>(row.addressSpace);
#endif
    ::setrlimit(RLIMIT_AS, &limited);
    const TestSupport::RunResult result = runFormwright(args, root.path());
    ::setrlimit(RLIMIT_AS, &saved);
    return result;
  }();

  const std::string expected = expand(row.expected, out, in, true);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err,
            row.reasons.empty() ? expected.substr(0, expected.find('\n') + 1) : expand(row.reasons, out, in, false));
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(TestSupport::snapshotTree(out), before);
  EXPECT_EQ(TestSupport::snapshotTree(in), beforeInputs);
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(allRows()), rowName);

}  // namespace
