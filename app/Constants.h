#pragma once
// Program-wide names of target folders and files, and the target-name rule.
#include <filesystem>
#include <string>

extern const std::string TARGET_PREFIX;
extern const std::string IMG_TARGET_TAG;
extern const std::string QRCODE_TARGET_TAG;
extern const std::string CAD_TARGET_TAG;
extern const std::string CONFIG_SUFFIX;
extern const std::string KPT_SUFFIX;
extern const std::string IMG_SUFFIX;
extern const std::string CAM_SUFFIX;
extern const std::string JSON_EXTENSION;
extern const std::string DAT_EXTENSION;
extern const std::string CAM_EXTENSION;
extern const std::string PNG_EXTENSION;
extern const std::string OBJ_EXTENSION;
extern const std::string CAD_EDGE_MODEL_FILE;
extern const std::string CAD_TEMPLATE_FILE;
extern const std::string CAD_MODEL_FILE;
extern const std::string TARGET_NAME_PATTERN;

/// Longest target name accepted, in bytes.
constexpr std::size_t kMaxTargetNameLength = 26;

/// True when the name has 1 to 26 characters, each an ASCII letter, digit or '_'.
bool validateTargetName(const std::string& name);

/// The folder that receives a target's files: the output directory joined with TARGET_PREFIX
/// followed by the name. Returns false (and logs) when the name would not stay a single folder
/// inside the output directory. Does not touch the file system; never throws.
bool targetFolderPath(const std::filesystem::path& outputDirectory, const std::string& targetName,
                      std::filesystem::path& folder);
