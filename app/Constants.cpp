#include "Constants.h"

#include <Core/Log.h>

#include <exception>
#include <regex>

// Defined in one translation unit so that each tag exists before the names built from it.
const std::string TARGET_PREFIX = "PALOM_";
const std::string IMG_TARGET_TAG = "PALOM_IMG_TARGET";
const std::string QRCODE_TARGET_TAG = "PALOM_QRCODE_TARGET";
const std::string CAD_TARGET_TAG = "PALOM_CAD_TARGET";
const std::string CONFIG_SUFFIX = "_CONFIG";
const std::string KPT_SUFFIX = "_KPT";
const std::string IMG_SUFFIX = "_IMG";
const std::string CAM_SUFFIX = "_CAM";
const std::string JSON_EXTENSION = ".json";
const std::string DAT_EXTENSION = ".dat";
const std::string CAM_EXTENSION = ".cam";
const std::string PNG_EXTENSION = ".png";
const std::string OBJ_EXTENSION = ".obj";
const std::string CAD_EDGE_MODEL_FILE = CAD_TARGET_TAG + "_EDGE_MODEL" + DAT_EXTENSION;
const std::string CAD_TEMPLATE_FILE = CAD_TARGET_TAG + "_TEMPLATE" + DAT_EXTENSION;
const std::string CAD_MODEL_FILE = CAD_TARGET_TAG + "_CAD_MODEL" + OBJ_EXTENSION;
const std::string TARGET_NAME_PATTERN = "^[a-zA-Z0-9_]+$";

bool validateTargetName(const std::string& name) {
  if (name.empty()) {
    OBRIN_LOG_ERROR("An empty target name is invalid");
    return false;
  }
  if (name.size() > kMaxTargetNameLength) {
    OBRIN_LOG_ERROR("Target name too long");
    return false;
  }
  const std::regex pattern(TARGET_NAME_PATTERN, std::regex::ECMAScript);
  if (!std::regex_match(name, pattern)) {
    OBRIN_LOG_ERROR("Target name does not match regex: {}", name);
    return false;
  }
  return true;
}

bool targetFolderPath(const std::filesystem::path& outputDirectory, const std::string& targetName,
                      std::filesystem::path& folder) {
  try {
    // The name becomes part of one folder name; separators or a NUL would put the files elsewhere.
    if (targetName.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
      OBRIN_LOG_ERROR("Target name {} cannot name a folder", targetName);
      return false;
    }
    folder = outputDirectory / (TARGET_PREFIX + targetName);
    return true;
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Cannot name the target folder: {}", e.what());
    return false;
  }
}
