#include "Detection/TemplateFile.h"

#include "Core/AtomicFile.h"
#include "Core/Log.h"
#include "Core/MatrixArchive.h"

#include <cereal/archives/portable_binary.hpp>
#include <cereal/cereal.hpp>

#include <exception>
#include <sstream>

namespace Lumetra::Linemod {

namespace {

using Archive = cereal::PortableBinaryOutputArchive;

void writeTemplate(const Template& t, Archive& archive) {
  saveColumn(archive, t.width, t.height);
  saveColumn(archive, t.tlX, t.tlY);
  archive(t.pyramidLevel);
  saveMatrix(archive, t.rotation.coeffs());  // x, y, z, w
  saveMatrix(archive, t.translation);
  archive(cereal::make_size_tag(static_cast<cereal::size_type>(t.features.size())));
  for (const Feature& f : t.features) archive(f.x, f.y, f.label);
}

void writeClass(const LinemodTrainer& trainer, Archive& archive, const std::string& className) {
  archive(cereal::make_size_tag(static_cast<cereal::size_type>(className.size())));
  archive(cereal::binary_data(className.data(), className.size()));
  archive(static_cast<std::uint64_t>(trainer.settings().levelParameters.size()));

  const auto cameraEntry = trainer.cameras().find(className);
  const PinholeCamera camera = cameraEntry != trainer.cameras().end() ? cameraEntry->second : PinholeCamera{};
  saveColumn(archive, camera.width, camera.height);
  saveMatrix(archive, camera.focalLength);
  saveMatrix(archive, camera.principalPoint);

  const auto classEntry = trainer.templates().find(className);
  const std::vector<TemplatePyramid> none;
  const std::vector<TemplatePyramid>& pyramids =
      classEntry != trainer.templates().end() ? classEntry->second : none;
  archive(cereal::make_size_tag(static_cast<cereal::size_type>(pyramids.size())));
  for (const TemplatePyramid& pyramid : pyramids) {
    archive(cereal::make_size_tag(static_cast<cereal::size_type>(pyramid.size())));
    for (const Template& t : pyramid) writeTemplate(t, archive);
  }
}

}  // namespace

bool saveTemplate(const Template& t, Archive& archive) noexcept {
  try {
    writeTemplate(t, archive);
    return true;
  } catch (const std::exception& e) {
    LUMETRA_LOG_ERROR("Failed to write a template: {}", e.what());
    return false;
  }
}

bool saveTemplates(const LinemodTrainer& trainer, Archive& archive, const std::string& className) noexcept {
  try {
    writeClass(trainer, archive, className);
    return true;
  } catch (const std::exception& e) {
    LUMETRA_LOG_ERROR("Failed to write the templates of {}: {}", className, e.what());
    return false;
  }
}

bool writeTemplateFile(const LinemodTrainer& trainer, const std::filesystem::path& path,
                       const std::string& className) noexcept {
  try {
    std::ostringstream stream(std::ios::binary);
    {
      Archive archive(stream);
      if (!saveTemplates(trainer, archive, className)) return false;
    }
    const std::string bytes = stream.str();
    return writeFileInNewFolders(path, bytes);
  } catch (const std::exception& e) {
    LUMETRA_LOG_ERROR("Failed to write the template file {}: {}", path.string(), e.what());
    return false;
  }
}

}  // namespace Lumetra::Linemod
