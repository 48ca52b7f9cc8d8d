#pragma once
// The four files of a trained image target, inside its target folder:
//   PALOM_IMG_TARGET_CONFIG.json  JSON description (name, physical size, image count, geometry, scores)
//   PALOM_IMG_TARGET_KPT.dat      keypoints          (portable binary archive, 9 + 112 n bytes)
//   PALOM_IMG_TARGET_IMG.dat      level-0 training image (portable binary archive, 33 + W x H bytes)
//   PALOM_IMG_TARGET_CAM.cam      training camera    (portable binary archive, 113 bytes)
#include "ObjectTracker/Trainer/Image/TargetData.h"

#include <filesystem>

namespace Obrin {

/// Writes the target's four files into output directory / ("PALOM_" + mTargetName), creating
/// the folder with missing parents. Each file is written completely under a temporary name before
/// the four are renamed over their final names, so existing files are replaced only by complete
/// new ones. Returns false, leaving any earlier files untouched, when the data has no training
/// image, the folder cannot be created or a file cannot be written completely. Never throws.
bool saveImageTargetFiles(const std::filesystem::path& outputDirectory, const ImageTargetDetectableData& data);

}  // namespace Obrin
