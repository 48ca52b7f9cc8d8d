#include "Detection/TemplateFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace Lumetra::Linemod;
namespace fs = std::filesystem;

namespace {

// Reads the little-endian fields of the file in order.
struct Reader {
  std::string bytes;
  std::size_t at = 0;
  template <typename T>
  T next() {
    T value{};
    EXPECT_LE(at + sizeof(T), bytes.size());
    if (at + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(T));
    at += sizeof(T);
    return value;
  }
  void column(std::int32_t rows) {
    EXPECT_EQ(next<std::int32_t>(), rows);
    EXPECT_EQ(next<std::int32_t>(), 1);
  }
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(TemplateFile, EveryFieldInOrder) {
  LinemodTrainer::Settings settings;
  settings.numFeatures = 3;
  LinemodTrainer trainer(settings);
  TrainingPose pose;
  pose.rotation = Eigen::Quaternionf(0.5f, -0.5f, 0.5f, 0.5f);
  pose.translation = Eigen::Vector3f(0.1f, -0.2f, 0.45f);
  const std::vector<GradientCandidate> candidates{{10, 20, 0}, {30, 21, 1}, {17, 40, 2}, {50, 50, 3}};
  TemplateRect box;
  ASSERT_EQ(trainer.extractTemplateFeatures(candidates, "Lamp", pose, 2, &box), 0);
  ASSERT_EQ(trainer.extractTemplateFeatures(candidates, "Lamp", pose, 2, &box), 1);
  trainer.setCamera("Lamp", Lumetra::PinholeCamera(640, 480, 500.5f, 501.5f, 320.25f, 240.75f));

  const fs::path folder = fs::temp_directory_path() / ("template-file-" + std::to_string(::getpid()));
  const fs::path path = folder / "nested" / "PALOM_CAD_TARGET_TEMPLATE.dat";
  ASSERT_TRUE(writeTemplateFile(trainer, path, "Lamp"));
  Reader r{readFile(path)};
  EXPECT_EQ(r.bytes.size(), 1u + 8 + 4 + 8 + 3 * 16 + 8 + 2 * (8 + 2 * (88 + 9 * 3)));
  EXPECT_EQ(r.next<std::uint8_t>(), 1);
  ASSERT_EQ(r.next<std::uint64_t>(), 4u);
  EXPECT_EQ(r.bytes.substr(r.at, 4), "Lamp");
  r.at += 4;
  EXPECT_EQ(r.next<std::uint64_t>(), 2u);  // pyramid levels
  r.column(2);
  EXPECT_EQ(r.next<std::uint32_t>(), 640u);
  EXPECT_EQ(r.next<std::uint32_t>(), 480u);
  r.column(2);
  EXPECT_EQ(r.next<float>(), 500.5f);
  EXPECT_EQ(r.next<float>(), 501.5f);
  r.column(2);
  EXPECT_EQ(r.next<float>(), 320.25f);
  EXPECT_EQ(r.next<float>(), 240.75f);
  const auto& pyramids = trainer.templates().at("Lamp");
  ASSERT_EQ(r.next<std::uint64_t>(), pyramids.size());
  for (const TemplatePyramid& pyramid : pyramids) {
    ASSERT_EQ(r.next<std::uint64_t>(), 2u);
    for (const Template& t : pyramid) {
      r.column(2);
      EXPECT_EQ(r.next<std::int32_t>(), t.width);
      EXPECT_EQ(r.next<std::int32_t>(), t.height);
      r.column(2);
      EXPECT_EQ(r.next<std::int32_t>(), t.tlX);
      EXPECT_EQ(r.next<std::int32_t>(), t.tlY);
      EXPECT_EQ(r.next<std::int32_t>(), t.pyramidLevel);
      r.column(4);
      for (float q : {-0.5f, 0.5f, 0.5f, 0.5f}) EXPECT_EQ(r.next<float>(), q);  // x, y, z, w
      r.column(3);
      for (float v : {0.1f, -0.2f, 0.45f}) EXPECT_EQ(r.next<float>(), v);
      ASSERT_EQ(r.next<std::uint64_t>(), 3u);
      for (const Feature& f : t.features) {
        EXPECT_EQ(r.next<std::int32_t>(), f.x);
        EXPECT_EQ(r.next<std::int32_t>(), f.y);
        EXPECT_EQ(r.next<std::uint8_t>(), f.label);
      }
    }
  }
  EXPECT_EQ(r.at, r.bytes.size());

  // A class without templates or camera; then a path whose folder is a file: false, old file kept.
  ASSERT_TRUE(writeTemplateFile(trainer, path, ""));
  EXPECT_EQ(readFile(path).size(), 1u + 8 + 8 + 3 * 16 + 8);
  EXPECT_FALSE(writeTemplateFile(trainer, path / "below-a-file.dat", "Lamp"));
  EXPECT_EQ(readFile(path).size(), 1u + 8 + 8 + 3 * 16 + 8);
  fs::remove_all(folder);
}
