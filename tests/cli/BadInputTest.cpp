// Bad inputs through the built executable, one table row each. Every row must end the run with
// exactly the expected lines on standard output, nothing on standard error, exit status 255 (-1),
// no signal and no core dump, and must leave the output directory as it was: no new folder or
// file, and the target already in it byte for byte unchanged.
//
// Each row runs in a folder of its own:
//   <root>/out/                      the output directory, holding the trained target PALOM_Existing
//   <root>/we"ird\in put/            the row's input files: every printed path carries a double
//                                    quote, a backslash and a blank
// In the arguments and the expected lines of a row, {out} stands for the output directory ({out:NAME}
// for NAME inside it) and
// {in:NAME} for the input file NAME, each written as the program writes a path (in double quotes,
// with '"' and '\' escaped), and {raw:NAME} for the path of input file NAME as it is (the lines
// that print a picture path do not quote it); in file contents {json:NAME} stands for the path of
// input file NAME as a JSON string. In arguments the tokens stand for the plain path.
#include "Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::runFormwright;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

const std::string kInputFolder = "we\"ird\\in put";

struct Row {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // input file name, content
  std::vector<std::string> args;
  std::string expected;
  bool readOnlyOutput = false;   // the output directory cannot be written to
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

// A path as the program writes it and as a JSON string literal take the same escapes (quoted).

enum class Form { Plain, Quoted, Json };

// Replaces {out}, {in:NAME} and {json:NAME} in the text.
std::string expand(const std::string& text, const fs::path& out, const fs::path& in, Form form) {
  std::string result;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('{', at);
    const std::size_t close = open == std::string::npos ? std::string::npos : text.find('}', open);
    std::string token;
    if (close != std::string::npos) token = text.substr(open + 1, close - open - 1);
    std::string path;
    if (token == "out") {
      path = out.string();
    } else if (token.rfind("out:", 0) == 0) {
      path = (out / token.substr(4)).string();
    } else if (token.rfind("in:", 0) == 0) {
      path = (in / token.substr(3)).string();
    } else if (token.rfind("json:", 0) == 0) {
      path = (in / token.substr(5)).string();
    } else if (token.rfind("raw:", 0) == 0) {
      path = (in / token.substr(4)).string();
    } else {
      // Not a token (JSON braces): copy up to and including the brace.
      const std::size_t stop = open == std::string::npos ? text.size() : open + 1;
      result += text.substr(at, stop - at);
      at = stop;
      continue;
    }
    result += text.substr(at, open - at);
    if (token.rfind("json:", 0) == 0) {
      result += TestSupport::quoted(path);
    } else if (token.rfind("raw:", 0) == 0) {
      result += path;
    } else {
      result += form == Form::Quoted ? TestSupport::quoted(path) : path;
    }
    at = close + 1;
  }
  return result;
}

// Every entry below the folder: its relative path, "<dir>" for a folder, else the file's bytes.
std::vector<std::pair<std::string, std::string>> snapshotAll(const fs::path& root) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    entries.emplace_back(relative, entry.is_directory() ? std::string("<dir>") : TestSupport::readFile(entry.path()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

const std::string kTrainingFailed = "ERROR: An error occurred during target training.\n";
const std::string kBatchFailed = "ERROR: An error occurred during batch target training.\n";
// A single-target run that loaded its configuration (default type "Image") and has no picture.
const std::string kLoadedNoPicture = "ERROR: Target data file  '\"\"' does not exist\n" + kTrainingFailed;
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
// A batch whose own file loads; its training configuration is missing, which ends the run at once.
const std::string kBatchLoaded =
    "Failed to load configuration file from {in:missing.json}\n" + kBatchFailed;

// ---- Configuration files that are not JSON files at all
std::vector<Row> unusableFiles() {
  const std::string valid = "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"Kiosk\"}";
  const char binaryBytes[] = "\x7f" "ELF\x02\x01\x01\x00\x00\x00\xff\xfe{\"a\":\x00}\x1b[2J";
  const std::string binary(binaryBytes, sizeof(binaryBytes) - 1);
  std::vector<Row> rows;
  for (const bool isBatch : {false, true}) {
    const std::string file = isBatch ? "batch.json" : "config.json";
    const std::string refused = isBatch ? "ERROR: Failed to load configuration file from {in:batch.json}\n"
                                        : configRefused("config.json");
    const std::string prefix = isBatch ? "Batch" : "Single";
    const auto make = [&](std::string name, std::vector<std::pair<std::string, std::string>> files) {
      Row row = isBatch ? batch(prefix + name, "", refused) : single(prefix + name, "", refused);
      row.files = std::move(files);
      return row;
    };
    rows.push_back(make("MissingFile", {}));
    rows.push_back(make("EmptyFile", {{file, ""}}));
    rows.push_back(make("OnlyLineBreaksAndTabs", {{file, "\r\n\t\n\r\n"}}));
    rows.push_back(make("TruncatedFile", {{file, valid.substr(0, valid.size() / 2)}}));
    rows.push_back(make("TruncatedInsideAString", {{file, "{\"Config.Target.Name\": \"Kio"}}));
    rows.push_back(make("TruncatedAfterAnOpeningBrace", {{file, "{"}}));
    rows.push_back(make("BinaryFile", {{file, binary}}));
    rows.push_back(make("ByteOrderMark", {{file, "\xef\xbb\xbf" + valid}}));
    rows.push_back(make("DirectoryInsteadOfFile", {{file + "/placeholder", "x"}}));
    rows.push_back(make("DeeplyNestedArrays", {{file, std::string(5000, '[') + std::string(5000, ']')}}));
    std::string deepObjects;
    for (int i = 0; i < 3000; ++i) deepObjects += "{\"k" + std::to_string(i) + "\":";
    rows.push_back(make("DeeplyNestedObjects", {{file, deepObjects + "1" + std::string(3000, '}')}}));
  }
  return rows;
}

// ---- Every wrong JSON kind for every kind of key
std::vector<Row> wrongKinds() {
  enum Kind { Bool, Int, Double, String, IntList, DoubleList, StringList };
  struct Key {
    const char* key;
    Kind kind;
    bool isBatch;
  };
  const Key keys[] = {
      {"Config.MVG.Enabled", Bool, false},          {"Image.Grid.Col", Int, false},
      {"Image.Pyramid.ResizeRatio", Double, false}, {"MVG.Render.Density", String, false},
      {"Image.Training.Resolution", IntList, false}, {"CAD.Detection.DistanceRange", DoubleList, false},
      {"Batch.QRCodeTarget.Num", Int, true},        {"Batch.Target.Name", String, true},
      {"Batch.Image.Files", StringList, true},
  };
  // Each JSON kind, with the parameter kinds it is right for.
  struct Value {
    const char* label;
    const char* json;
    std::vector<Kind> rightFor;
  };
  const std::vector<Value> values = {
      {"Null", "null", {}},
      {"Bool", "true", {Bool}},
      {"Number", "7", {Int, Double}},
      {"String", "\"7\"", {String}},
      {"Array", "[7, 8]", {IntList, DoubleList}},
      {"StringArray", "[\"a\", \"b\"]", {StringList}},
      {"Object", "{\"inner\": 7}", {}},
  };
  // Elements of the wrong kind inside a list, after one element of the right kind.
  const std::vector<Value> elements = {
      {"NullElement", "null", {}},          {"BoolElement", "false", {}},
      {"NumberElement", "1", {IntList, DoubleList}}, {"StringElement", "\"2\"", {StringList}},
      {"ArrayElement", "[2]", {}},          {"ObjectElement", "{\"k\": 2}", {}},
  };
  std::vector<Row> rows;
  for (const Key& k : keys) {
    const bool isList = k.kind == IntList || k.kind == DoubleList || k.kind == StringList;
    std::string label = k.key;
    label.erase(std::remove(label.begin(), label.end(), '.'), label.end());
    const auto add = [&](const Value& v) {
      if (std::find(v.rightFor.begin(), v.rightFor.end(), k.kind) != v.rightFor.end()) return;
      // A list key ignores a value that is not an array; a wrong element, or any wrong scalar, is refused.
      const bool ignored = isList && std::string(v.json)[0] != '[';
      if (k.isBatch) {
        const std::string body = std::string("{\"Batch.Config.File\": {json:missing.json}, \"") + k.key +
                                 "\": " + v.json + "}";
        rows.push_back(batch(label + "Given" + v.label, body,
                             ignored ? kBatchLoaded : "ERROR: Failed to load configuration file from {in:batch.json}\n"));
      } else {
        const std::string body = std::string("{\"Group\": {\"") + k.key + "\": " + v.json + "}}";
        rows.push_back(single(label + "Given" + v.label, body, ignored ? kLoadedNoPicture : configRefused("config.json")));
      }
    };
    for (const Value& v : values) add(v);
    if (isList) {
      const std::string good = k.kind == StringList ? "\"a\"" : "1";
      for (const Value& e : elements) {
        const std::string json = "[" + good + ", " + e.json + "]";
        add(Value{e.label, json.c_str(), e.rightFor});
      }
    }
  }
  return rows;
}

// ---- Duplicated keys at depth, and what is not a duplicate
std::vector<Row> duplicates() {
  const std::string refused = configRefused("config.json");
  return {
      single("DuplicateRegisteredKeyAtDepthAndTop", "{\"a\": {\"b\": {\"c\": {\"Image.FAST.Number\": 1}}}, \"Image.FAST.Number\": 2}",
             refused),
      single("DuplicateUnregisteredKeyInTwoDeepGroups", "{\"x\": {\"y\": {\"z\": {\"Depth\": 1}}}, \"p\": {\"q\": {\"Depth\": 1}}}",
             refused),
      single("DuplicateGroupNameInsideItself", "{\"G\": {\"H\": {\"I\": {\"G\": true}}}}", refused),
      single("DuplicateKeyWithDifferentKinds", "{\"a\": {\"Config.Target.Name\": \"A\"}, \"b\": {\"Config.Target.Name\": [\"A\"]}}",
             refused),
      single("DuplicateKeyInOneDeepObject", "{\"a\": {\"b\": {\"Image.Grid.Row\": 3, \"Image.Grid.Row\": 3}}}", refused),
      batch("BatchDuplicateKeyAtDepth",
            "{\"Batch\": {\"Batch.Target.Name\": \"a\"}, \"More\": {\"Deeper\": {\"Batch.Target.Name\": \"b\"}}}",
            "ERROR: Failed to load configuration file from {in:batch.json}\n"),
      // Objects inside arrays are not indexed: not duplicates, and not applied.
      single("SameKeyInsideAnArrayIsNotADuplicate",
             "{\"Config.Target.Type\": \"Image\", \"list\": [{\"Config.Target.Type\": \"QRCode\"}, {\"Config.Target.Type\": 1}]}",
             kLoadedNoPicture),
      // Text after the first JSON value is ignored, even when it repeats a key.
      single("TrailingTextIsNotParsed", "{\"Config.Target.Name\": \"A\"} {\"Config.Target.Name\": \"A\"}", kLoadedNoPicture),
  };
}

// ---- Numbers at and beyond the ranges of 32-bit integers and doubles
std::vector<Row> numberRanges() {
  const std::string refused = configRefused("config.json");
  const std::string batchRefused = "ERROR: Failed to load configuration file from {in:batch.json}\n";
  const auto qrBatch = [](const std::string& count) {
    return "{\"Batch.Target.Type\": \"QRCode\", \"Batch.Config.File\": {json:missing.json}, \"Batch.QRCodeTarget.Num\": " +
           count + "}";
  };
  const auto negativeCount = [](const std::string& n) {
    return "Batch.QRCodeTarget.Num is " + n + ": the number of targets cannot be negative\n" + kBatchFailed;
  };
  return {
      single("IntAtUpperLimit", "{\"Image.Grid.Col\": 2147483647}", kLoadedNoPicture),
      single("IntAtLowerLimit", "{\"Image.Grid.Col\": -2147483648}", kLoadedNoPicture),
      single("IntFractionBelowUpperLimitTruncates", "{\"Image.Grid.Col\": 2147483647.9}", kLoadedNoPicture),
      single("IntJustAboveUpperLimit", "{\"Image.Grid.Col\": 2147483648}", refused),
      single("IntJustBelowLowerLimit", "{\"Image.Grid.Col\": -2147483649}", refused),
      single("IntFarBeyondLimit", "{\"Image.Grid.Col\": 1e300}", refused),
      single("IntListElementAtLimits", "{\"Image.Training.Resolution\": [2147483647, -2147483648]}", kLoadedNoPicture),
      single("IntListElementJustAboveLimit", "{\"Image.Training.Resolution\": [640, 2147483648]}", refused),
      single("IntListElementPastTheLengthIsIgnored", "{\"Image.Training.Resolution\": [640, 480, 3e9]}",
             kLoadedNoPicture),
      batch("CountAtLowerLimit", qrBatch("-2147483648"), negativeCount("-2147483648")),
      batch("CountFractionTruncatesTowardZero", qrBatch("-1.9"), negativeCount("-1")),
      batch("CountJustAboveUpperLimit", qrBatch("2147483648"), batchRefused),
      batch("CountJustBelowLowerLimit", qrBatch("-2147483649"), batchRefused),
      single("DoubleAtLargeExponent", "{\"QRCode.PhysicalSize\": 1e308}", kLoadedNoPicture),
      single("DoubleAtLargestFinite", "{\"QRCode.PhysicalSize\": -1.7976931348623157e308}", kLoadedNoPicture),
      single("DoubleSmallestSubnormal", "{\"QRCode.PhysicalSize\": 4.9e-324}", kLoadedNoPicture),
      single("DoubleUnderflowsToZero", "{\"QRCode.PhysicalSize\": 1e-400}", kLoadedNoPicture),
      single("DoubleJustBeyondRange", "{\"QRCode.PhysicalSize\": 1e309}", refused),
      single("NegativeDoubleJustBeyondRange", "{\"QRCode.PhysicalSize\": -1e309}", refused),
      single("DoubleRoundsPastLargestFinite", "{\"QRCode.PhysicalSize\": 1.7976931348623159e308}", refused),
      single("DoubleListElementBeyondRange", "{\"CAD.UprightVector\": [0, 1e309, 0]}", refused),
      single("DoubleBeyondRangeInAnUnregisteredKey", "{\"Unused\": {\"Deeper\": 1e309}}", refused),
      single("DoubleBeyondRangeInsideAnArray", "{\"Unused\": [1, [2, 1e309]]}", refused),
  };
}

// ---- Calibration files (five arguments: the calibration comes first)
std::vector<Row> calibrations() {
  const auto row = [](std::string name, std::string content, bool loads) {
    // A calibration that loads lets the run go on to the configuration, which is missing.
    return Row{std::move(name),
               {{"camera.json", std::move(content)}, {"model.obj", "v 0 0 0\n"}},
               {"{out}", "{in:missing.json}", "{in:model.obj}", "{in:camera.json}"},
               loads ? configRefused("missing.json") : "ERROR: Failed to load calibration file from {in:camera.json}\n"};
  };
  const std::string full = "\"Resolution\": [640, 480], \"FocalLength\": [500, 500], \"PrincipalPoint\": [320, 240], "
                           "\"Distortion\": [0, 0, 0, 0, 0]";
  return {
      row("CalibrationAllZeros", "{\"Resolution\": [0, 0], \"FocalLength\": [0, 0], \"PrincipalPoint\": [0, 0], "
                                 "\"Distortion\": [0, 0, 0, 0, 0]}", true),
      row("CalibrationEmptyObjectTakesZeros", "{}", true),
      row("CalibrationZeroFocalLengthsOnly", "{\"Cam\": {\"FocalLength\": [0, 0]}}", true),
      row("CalibrationNegativeAndHugeValues", "{\"Resolution\": [-1, 2147483647], \"FocalLength\": [-1e308, 1e308], "
                                              "\"PrincipalPoint\": [-5, 4.9e-324], \"Distortion\": [1e300, -1e300, 0, 0, 0]}",
          true),
      row("CalibrationResolutionAtLimits", "{\"Resolution\": [2147483647, -2147483648]}", true),
      row("CalibrationExtraElementsIgnored", "{\"Resolution\": [1, 2, 3], \"Distortion\": [0, 0, 0, 0, 0, 9]}", true),
      row("CalibrationExtraElementBeyondIntRangeIgnored", "{\"Resolution\": [1280, 720, 1e10]}", true),
      row("CalibrationNonArrayValuesIgnored", "{\"Resolution\": null, \"FocalLength\": 3, \"Distortion\": {}}", true),
      row("CalibrationEmptyResolution", "{\"Resolution\": []}", false),
      row("CalibrationEmptyFocalLength", "{\"FocalLength\": []}", false),
      row("CalibrationOneDistortion", "{\"Distortion\": [0.1]}", false),
      row("CalibrationResolutionJustAboveLimit", "{\"Resolution\": [2147483648, 1]}", false),
      row("CalibrationResolutionJustBelowLimit", "{\"Resolution\": [1, -2147483649]}", false),
      row("CalibrationFocalLengthBeyondDoubleRange", "{\"FocalLength\": [1e309, 1]}", false),
      row("CalibrationDistortionBeyondDoubleRange", "{\"x\": {\"Distortion\": [0, 0, 0, 0, -1e309]}}", false),
      row("CalibrationStringElement", "{\"PrincipalPoint\": [\"320\", 240]}", false),
      row("CalibrationDuplicateAtDepth", "{" + full + ", \"Lens\": {\"Model\": {\"FocalLength\": [1, 1]}}}", false),
      row("CalibrationTruncated", "{" + full.substr(0, 40), false),
      row("CalibrationBinary", std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16), false),
      row("CalibrationEmpty", "", false),
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
      Row{"OutputIsAFileWithTrailingSlash", files, {"{in:plain-file/}", "{in:config.json}"},
          "ERROR: Output path '{in:plain-file/}' does not exist\n"},
      Row{"OutputBelowAFile", files, {"{in:plain-file/sub}", "{in:config.json}"},
          "ERROR: Output path '{in:plain-file/sub}' does not exist\n"},
      Row{"BatchOutputIsAFile", files, {"--b", "{in:plain-file}", "{in:config.json}"},
          "ERROR: Output path '{in:plain-file}' does not exist\n"},
      Row{"OutputIsAFileCheckedAfterTheCalibration",
          {{"plain-file", "x"}, {"camera.json", "{}"}},
          {"{in:plain-file}", "{in:config.json}", "{in:model.obj}", "{in:camera.json}"},
          "ERROR: Output path '{in:plain-file}' does not exist\n"},
      Row{"OutputMissingWithQuotesInItsName", files, {"{in:no \"such\" \\folder\\}", "{in:config.json}"},
          "ERROR: Output path '{in:no \"such\" \\folder\\}' does not exist\n"},
  };
}

// ---- Target names the name rule refuses, and the paths of the remaining lines
std::vector<Row> namesAndPaths() {
  const auto named = [](std::string label, const std::string& jsonName, const std::string& printed) {
    return single("Name" + std::move(label),
                  "{\"Config.Target.Type\": \"QRCode\", \"Config.Target.Name\": \"" + jsonName + "\"}",
                  "ERROR: Target name \"" + printed + "\"" + kNameRule + kTrainingFailed);
  };
  return {
      named("WithQuotes", "a\\\"b\\\"", "a\\\"b\\\""),
      named("Empty", "", ""),
      // The name is checked before the (missing) picture of an image target.
      single("NameOfAnImageTargetBeforeItsPicture", "{\"Config.Target.Name\": \"bad name\"}",
             "ERROR: Target name \"bad name\"" + kNameRule + kTrainingFailed),
      named("WithBackslashes", "a\\\\b\\\\", "a\\\\b\\\\"),
      named("OnlyABackslash", "\\\\", "\\\\"),
      named("WithSpaces", "Kiosk Entrance", "Kiosk Entrance"),
      named("WithLeadingSpace", " Kiosk", " Kiosk"),
      named("WithTrailingSpace", "Kiosk ", "Kiosk "),
      named("WithUtf8Letters", "Caf\xc3\xa9_\xe6\x97\xa5\xe6\x9c\xac", "Caf\xc3\xa9_\xe6\x97\xa5\xe6\x9c\xac"),
      named("WithEscapedNonAscii", "Caf\\u00e9", "Caf\xc3\xa9"),
      named("WithRawHighBytes", "Name\xff\xfe\x80", "Name\xff\xfe\x80"),
      named("WithAnEscapedLineBreak", "two\\nlines", "two\nlines"),
      named("WithADash", "Kiosk-1", "Kiosk-1"),
      named("WithADot", "Kiosk.1", "Kiosk.1"),
      named("WithAPathSeparator", "..\\/escape", "../escape"),
      named("Of27Characters", "abcdefghijklmnopqrstuvwxyz0", "abcdefghijklmnopqrstuvwxyz0"),
      named("Of27ValidCharactersEndingInAnUnderscore", "ABCDEFGHIJKLMNOPQRSTUVWXY__", "ABCDEFGHIJKLMNOPQRSTUVWXY__"),
      named("Of100Characters", std::string(100, 'x'), std::string(100, 'x')),
      // Tabs are removed from the file before parsing: what is left is a valid name.
      single("NameOf26CharactersIsAccepted",
             "{\"Config.Target.Type\": \"Image\", \"Config.Target.Name\": \"abcdefghijklmnopqrstuvwxyz\"}",
             kLoadedNoPicture),
      single("NameWithATabLosesIt", "{\"Config.Target.Name\": \"Ki\tosk\"}", kLoadedNoPicture),
      // Paths with quotes, backslashes and blanks in the lines that print them.
      Row{"DataFileMissing",
          {{"config.json", "{\"Config.Target.Type\": \"Image\"}"}},
          {"{out}", "{in:config.json}", "{in:a \"picture\\.png}"},
          "ERROR: Target data file  '{in:a \"picture\\.png}' does not exist\n" + kTrainingFailed},
      Row{"DataFileIsADirectory",
          {{"config.json", "{\"Config.Target.Type\": \"CAD\"}"}, {"model\\dir/placeholder", "x"}},
          {"{out}", "{in:config.json}", "{in:model\\dir}"},
          "ERROR: Target data file  '{in:model\\dir}' does not exist\n" + kTrainingFailed},
      Row{"DataFileOfAnUnknownTypeIsCheckedFirst",
          {{"config.json", "{\"Config.Target.Type\": \"qr \\\"code\\\\\"}"}},
          {"{out}", "{in:config.json}"},
          "ERROR: Target data file  '\"\"' does not exist\n" + kTrainingFailed},
      Row{"UnknownTypeWithQuotesIsPrintedUnchanged",
          {{"config.json", "{\"Config.Target.Type\": \"qr \\\"code\\\\\"}"}, {"data", "x"}},
          {"{out}", "{in:config.json}", "{in:data}"},
          "qr \"code\\ type is not supported. Supported types are: 'Image' 'QRCode' 'CAD'\n" + kTrainingFailed},
      batch("BatchTrainingConfigurationMissing",
            "{\"Batch.Target.Type\": \"Image\", \"Batch.Config.File\": {json:sub \"dir\\/train \\\\ ing.json}}",
            "Failed to load configuration file from {in:sub \"dir\\/train \\\\ ing.json}\n" + kBatchFailed),
      batch("BatchTypeWithQuotesIsPrintedUnchanged", "{\"Batch.Target.Type\": \"\\\"CAD\\\\\"}",
            "\"CAD\\ type is not supported for batch training\n" + kBatchFailed),
      Row{"BatchTrainingConfigurationRefused",
          {{"batch.json", "{\"Batch.Target.Type\": \"QRCode\", \"Batch.Config.File\": {json:bad\\train.json}}"},
           {"bad\\train.json", "{\"QRCode.PhysicalSize\": \"big\"}"}},
          {"-b", "{out}", "{in:batch.json}"},
          "Failed to load configuration file from {in:bad\\train.json}\n" + kBatchFailed},
  };
}

// ---- Pictures (a 64 x 48 PNG of 4-pixel blocks, with plenty of corners, and a 1 x 100000 one)
std::string sourceFile(const std::string& relative) {
  return TestSupport::readFile(std::string(FORMWRIGHT_SOURCE_DIR) + "/tests/cli/data/" + relative);
}

// A picture of the given physical width for a height of 1, trained under the name Pic.
std::string pictureConfig(const std::string& width) {
  return "{\"Config.Target.Name\": \"Pic\", \"Object.Physical.Width\": " + width +
         ", \"Object.Physical.Height\": 1}";
}

Row picture(std::string name, std::string file, std::string content, const std::string& width = "1.3333333") {
  return Row{std::move(name),
             {{"config.json", pictureConfig(width)}, {file, std::move(content)}},
             {"{out}", "{in:config.json}", "{in:" + file + "}"},
             "Failed to train from {raw:" + file + "}\n" + kTrainingFailed};
}

// A FAST threshold outside 0 to 255 is refused before the picture is read.
Row thresholdRefused(std::string name, const std::string& key, const std::string& value) {
  return Row{std::move(name),
             {{"config.json", "{\"Config.Target.Name\": \"Pic\", \"" + key + "\": " + value + "}"}, {"picture.png", "x"}},
             {"{out}", "{in:config.json}", "{in:picture.png}"},
             "Configuration Error: " + key + " must be from 0 to 255 (it is " + value + ")\n" + kTrainingFailed};
}

std::vector<Row> pictures() {
  const std::string good = sourceFile("blocks-64x48.png");
  std::string corrupt = good;
  corrupt[good.find("IDAT") + 4] = static_cast<char>(0xFF);  // the compressed stream's header
  corrupt[good.find("IDAT") + 5] = static_cast<char>(0xFF);
  std::string hugeHeader = good;
  hugeHeader.replace(16, 8, std::string("\0\x01\x86\xa0\0\x01\x86\xa0", 8));  // 100000 x 100000
  std::vector<Row> rows = {
      thresholdRefused("FastThresholdAbove255", "Image.FAST.Threshold", "256"),
      thresholdRefused("FastThresholdNegative", "Image.FAST.Threshold", "-1"),
      thresholdRefused("MvgThresholdAbove255", "MVGTrainer.Extractor.Threshold", "300"),
      picture("PictureEmpty", "empty.png", ""),
      picture("PictureTruncatedInThePixels", "cut.png", good.substr(0, good.size() / 2)),
      picture("PictureCorruptCompressedData", "corrupt.png", corrupt),
      picture("PictureHeaderClaims100000x100000", "huge.png", hugeHeader, "1"),
      picture("PgmHeaderClaims100000x100000", "huge.pgm", "P5\n100000 100000\n255\n" + std::string(64, 'x'), "1"),
      picture("Picture1x100000", "tall.png", sourceFile("blocks-1x100000.png"), "0.00001"),
      picture("PictureNotAPictureAtAll", "text.png", "just some text, not a picture\n"),
      picture("PngNamedPgm", "png.pgm", good),
      Row{"BatchPictureCorrupt",
          {{"batch.json", "{\"Batch.Target.Name\": \"Set\", \"Batch.Image.Path\": {json:pic-}, "
                          "\"Batch.Image.Files\": [\"bad.png\"], \"Batch.Config.File\": {json:config.json}}"},
           {"config.json", pictureConfig("1.3333333")},
           {"pic-bad.png", corrupt}},
          {"-B", "{out}", "{in:batch.json}"},
          "Failed to train from {raw:pic-bad.png}\n" + kBatchFailed},
  };
  // The output directory cannot be written to.
  Row readOnly{"OutputReadOnly",
               {{"config.json", pictureConfig("1.3333333")}, {"picture.png", good}},
               {"{out}", "{in:config.json}", "{in:picture.png}"},
               "Failed to write training data to {out}\n" + kTrainingFailed};
  readOnly.readOnlyOutput = true;
  rows.push_back(readOnly);
  return rows;
}

// ---- CAD targets: checks before training, models that cannot be used, an output that cannot be written
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
  std::vector<Row> rows = {
      cad("CadUprightZero", ", \"CAD.UprightVector\": [0, 0, 0]", upright),
      cad("CadUprightTwoValues", ", \"CAD.UprightVector\": [0, 1]", upright),
      // Far beyond single precision, yet a direction: the run goes on to the next check.
      cad("CadUprightHugeIsADirection", ", \"CAD.UprightVector\": [1e300, 1e300, 0], \"CAD.Detection.DistanceRange\": []",
          refused("No sampling radii set")),
      cad("CadExistingTargetComesBeforeTheSettings", ", \"CAD.Detection.DistanceRange\": []",
          "ERROR: A target with name \"Existing\" already exists in {out}\n", "", triangle, "Existing"),
      cad("CadRadiusZero", ", \"CAD.Detection.DistanceRange\": [0, 0.5]", refused("Radii [0, 0.5] must be finite and positive")),
      cad("CadElevationBandTooNarrow",
          ", \"CAD.Detection.NumTrainingViews\": 10000, \"CAD.Detection.ElevationAngleRange\": [10, 10.001]",
          refused("Elevation range [10, 10.001] is too narrow for 10000 views: sampling would draw more than "
                  "10000000 camera directions")),
      cad("CadCameraWidthZero", "", refused("Camera resolution 0 x 480 must be at least 1 x 1"),
          "\"Resolution\": [0, 480], \"FocalLength\": [500, 500]"),
      cad("CadCameraFocalLengthZero", "", refused("Camera focal length [0, 500] must be finite and positive"),
          "\"Resolution\": [640, 480], \"FocalLength\": [0, 500]"),
      cad("CadCameraFocalLengthBeyondFloat", "", refused("Camera focal length [500, 1e+39] must be finite and positive"),
          "\"Resolution\": [640, 480], \"FocalLength\": [500, 1e39]"),
      cad("CadModelWithoutTriangles", "", unusable, "", "v 0 0 0\nv 1 0 0\nv 0 1 0\n"),
      cad("CadModelThatIsNoModel", "", unusable, "", "no model at all\n"),
      cad("CadModelBeyondTheLargestRadius", ", \"CAD.Detection.DistanceRange\": [0.1, 0.2]",
          starting + "ERROR: Camera radii are too close to the object\n", "", triangle),
      cad("CadOutputReadOnly", "", starting + "ERROR: Failed to write CAD target data to {out:PALOM_Cad}\n"),
      cad("CadExistingFileCountsAsATarget", "", "ERROR: A target with name \"Cad\" already exists in {in:output}\n"),
  };
  rows[rows.size() - 2].readOnlyOutput = true;
  rows.back().files.push_back({"output/PALOM_Cad", "a file"});
  rows.back().args[0] = "{in:output}";
  // A material library that makes the import library dereference a material that does not exist.
  rows.push_back(cad("CadModelWhoseMaterialsCrashTheImporter", "", unusable, "", "mtllib m.mtl\n" + triangle));
  rows.back().files.push_back({"m.mtl", "map_Kd a.png\n"});
  return rows;
}

std::vector<Row> allRows() {
  std::vector<Row> rows;
  for (auto part : {unusableFiles(), wrongKinds(), duplicates(), numberRanges(), calibrations(), outputPaths(),
                    namesAndPaths(), pictures(), cadTargets()}) {
    rows.insert(rows.end(), part.begin(), part.end());
  }
  return rows;
}

/// Makes a folder read-only for the process and its children, also for root (which ignores the
/// permission bits): the immutable attribute where the file system has it, else the permissions.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const fs::path& folder) : folder_(folder) {
    if (folder_.empty()) return;
    immutable_ = std::system(("chattr +i '" + folder_.string() + "' 2>/dev/null").c_str()) == 0;
    if (!immutable_) fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    // Only a folder that really refuses a new file counts.
    const fs::path probe = folder_ / "probe";
    std::FILE* file = std::fopen(probe.c_str(), "w");
    if (file != nullptr) {
      std::fclose(file);
      fs::remove(probe);
      release();
      return;
    }
    active_ = true;
  }
  ~ReadOnlyFolder() { release(); }
  bool active() const { return active_; }
  void release() {
    if (folder_.empty()) return;
    if (immutable_) std::system(("chattr -i '" + folder_.string() + "' 2>/dev/null").c_str());
    fs::permissions(folder_, fs::perms::owner_all);
    folder_.clear();
  }

 private:
  fs::path folder_;
  bool immutable_ = false;
  bool active_ = false;
};

class BadInput : public ::testing::TestWithParam<Row> {};

TEST_P(BadInput, PrintsItsLinesExitsWith255AndLeavesTheOutputAsItWas) {
  const Row& row = GetParam();
  TempDir root;
  const fs::path out = root / "out";
  const fs::path in = root / kInputFolder;
  fs::create_directories(out / "PALOM_Existing");
  fs::create_directories(in);
  writeFile(out / "PALOM_Existing" / "PALOM_Existing_IMG.png", std::string("\x89PNG\r\n\x1a\n\x00\x01\x02", 11));
  writeFile(out / "PALOM_Existing" / "PALOM_Existing_CONFIG.json", "{\n    \"value0\": {}\n}");
  for (const auto& [name, content] : row.files) {
    const fs::path file = in / name;
    fs::create_directories(file.parent_path());
    writeFile(file, expand(content, out, in, Form::Json));
  }
  std::vector<std::string> args;
  for (const std::string& arg : row.args) args.push_back(expand(arg, out, in, Form::Plain));
  const auto before = snapshotAll(out);
  const auto beforeInputs = snapshotAll(in);

  TestSupport::RunOptions options;
  options.workingDirectory = root.path();
  ReadOnlyFolder readOnly(row.readOnlyOutput ? out : fs::path());
  if (row.readOnlyOutput && !readOnly.active()) GTEST_SKIP() << "cannot make a folder read-only here";
  const TestSupport::RunResult r = runFormwright(args, options);
  readOnly.release();

  EXPECT_EQ(r.out, expand(row.expected, out, in, Form::Quoted));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.coreDumped);
  EXPECT_EQ(snapshotAll(out), before);
  EXPECT_EQ(snapshotAll(in), beforeInputs);
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(allRows()), rowName);

}  // namespace
