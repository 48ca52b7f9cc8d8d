#pragma once
// The template file of a CAD target: a portable binary archive holding the camera the templates
// were trained for and every template pyramid of the target's class.
#include "Detection/LinemodTemplate.h"
#include "Detection/LinemodTrainer.h"

#include <filesystem>
#include <string>

namespace cereal {
class PortableBinaryOutputArchive;
}

namespace Lumetra::Linemod {

/// Writes one template: size, top-left (2-vectors), pyramid level, rotation (4-vector x, y, z,
/// w), translation (3-vector), the feature count and every feature (x, y, label). Returns false
/// when the archive failed to write; never throws.
bool saveTemplate(const Template& t, cereal::PortableBinaryOutputArchive& archive) noexcept;

/// Writes the class name, the pyramid level count, the class's camera (resolution, focal length,
/// principal point as 2-vectors; a zero camera when none is recorded) and its pyramids (count,
/// then per pyramid its template count and templates). The archive has already written its
/// endianness flag. Returns false when the archive failed to write; never throws.
bool saveTemplates(const LinemodTrainer& trainer, cereal::PortableBinaryOutputArchive& archive,
                   const std::string& className) noexcept;

/// Writes the whole template file of `className` to `path` through `writeFileInNewFolders`: its folder
/// is created when missing (and removed again when this call made it and the file fails), the
/// file is written under a temporary name and renamed into place only when complete.
/// Returns false on any failure (the previous file, if any, stays); never throws.
bool writeTemplateFile(const LinemodTrainer& trainer, const std::filesystem::path& path,
                       const std::string& className) noexcept;

}  // namespace Lumetra::Linemod
