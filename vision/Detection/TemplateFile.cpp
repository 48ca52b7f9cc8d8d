#include "Detection/TemplateFile.h"

#include "Core/AtomicFile.h"
#include "Core/Log.h"

#include <cereal/archives/portable_binary.hpp>
#include <cereal/cereal.hpp>

#include <exception>
#include <sstream>

namespace Lumetra::Linemod {

namespace {

using Archive = cereal::PortableBinaryOutputArchive;

/// A column vector as the linear-algebra archives store it: rows, columns (1), elements.
template <typename... Elements>
void writeColumn(Archive& archive, Elements... elements) {
  archive(static_cast<std::int32_t>(sizeof...(Elements)), std::int32_t{1});
  archive(elements...);
}

void writeTemplate(const Template& t, Archive& archive) {
  writeColumn(archive, t.width, t.height);
  writeColumn(archive, t.tlX, t.tlY);
  archive(t.pyramidLevel);
  writeColumn(archive, t.rotation.x(), t.rotation.y(), t.rotation.z(), t.rotation.w());
  writeColumn(archive, t.translation.x(), t.translation.y(), t.translation.z());
  archive(cereal::make_size_tag(static_cast<cereal::size_type>(t.features.size())));
  for (const Feature& f : t.features) archive(f.x, f.y, f.label);
}

void writeClass(const LinemodTrainer& trainer, Archive& archive, const std::string& className) {
  archive(cereal::make_size_tag(static_cast<cereal::size_type>(className.size())));
  archive(cereal::binary_data(className.data(), className.size()));
  archive(static_cast<std::uint64_t>(trainer.settings().levelParameters.size()));

  const auto cameraEntry = trainer.cameras().find(className);
  const PinholeCamera camera = cameraEntry != trainer.cameras().end() ? cameraEntry->second : PinholeCamera{};
  writeColumn(archive, camera.width, camera.height);
  writeColumn(archive, camera.focalLength.x(), camera.focalLength.y());
  writeColumn(archive, camera.principalPoint.x(), camera.principalPoint.y());

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
    return writeTargetFiles(path.parent_path(),
                            {{path.filename(), [&bytes](const std::filesystem::path& temporary) {
                                return writeBytes(temporary, bytes);
                              }}});
  } catch (const std::exception& e) {
    LUMETRA_LOG_ERROR("Failed to write the template file {}: {}", path.string(), e.what());
    return false;
  }
}

}  // namespace Lumetra::Linemod
