#include "ObjectTracker/Trainer/Image/HeatmapGenerator.h"

#include "Core/Log.h"
#include "Core/Profiler.h"
#include "Image/ImageOP.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <utility>

namespace Obrin {

namespace {

constexpr double kOffsetMean = 0.0;
constexpr double kOffsetStandardDeviation = 10.0;
constexpr std::uint64_t kOffsetCount = 300;
constexpr double kPictureWeight = 0.7;

std::int32_t truncateToInt32(double value) {
  if (!(value == value)) return 0;
  const double t = std::trunc(value);
  if (t <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
  if (t >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(t);
}

bool runHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                const std::vector<Eigen::Vector2d>* offsets, Lumetra::ImageRGB& heatMapImage,
                Lumetra::ImageRGB& overlayImage) {
  if (image.isEmpty() || points.empty()) return false;

  Lumetra::ImageRGB rendered;
  {
    std::unique_ptr<HeatmapGenerator> generator;
    {
      PROFILE_BLOCK("Initialize Heatmap Generator");
      generator = std::make_unique<HeatmapGenerator>(static_cast<std::int32_t>(image.width),
                                                     static_cast<std::int32_t>(image.height), kOffsetMean,
                                                     kOffsetStandardDeviation, kOffsetCount);
      if (offsets != nullptr) generator->setOffsets(*offsets);
    }
    {
      PROFILE_BLOCK("Add points to Heatmap Generator");
      generator->addPoints(points);
    }
    {
      PROFILE_BLOCK("Run Heatmap Generator");
      if (!generator->run()) return false;
    }
    rendered = generator->image();
  }

  const Lumetra::ImageRGB picture = Lumetra::convertGrayToRGB(image);
  Lumetra::ImageRGB overlay = Lumetra::blendImages(picture, rendered, kPictureWeight);
  if (overlay.isEmpty()) return false;
  heatMapImage = std::move(rendered);
  overlayImage = std::move(overlay);
  return true;
}

}  // namespace

std::vector<Eigen::Vector2d> generateGaussianPoints(double mean, double standardDeviation, std::uint64_t count) {
  std::random_device device;
  std::mt19937 engine(device());
  std::normal_distribution<double> xDistribution(mean, standardDeviation);
  std::normal_distribution<double> yDistribution(mean, standardDeviation);
  std::vector<Eigen::Vector2d> points;
  points.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const double x = xDistribution(engine);
    const double y = yDistribution(engine);
    points.emplace_back(x, y);
  }
  return points;
}

HeatmapGenerator::HeatmapGenerator(std::int32_t width, std::int32_t height, double mean, double standardDeviation,
                                   std::uint64_t pointCount)
    : mMean(mean), mStandardDeviation(standardDeviation), mPointCount(pointCount) {
  if (width > 0 && height > 0) {
    mHeatMap = HeatMap::create(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  }
  mOffsets = generateGaussianPoints(mMean, mStandardDeviation, mPointCount);
  const auto& palette = heatMapPalette();
  mColorScheme = HeatMapColorScheme::load(palette.data(), palette.size());
}

HeatmapGenerator::~HeatmapGenerator() {
  HeatMap::release(mHeatMap);
  HeatMap::release(mColorScheme);
}

void HeatmapGenerator::setOffsets(std::vector<Eigen::Vector2d> offsets) {
  mOffsets = std::move(offsets);
  mPointCount = mOffsets.size();
}

void HeatmapGenerator::addPoints(const std::vector<Eigen::Vector2i>& points) {
  if (mHeatMap == nullptr || points.empty() || mOffsets.empty()) return;
  std::vector<Eigen::Vector2i> truncated;
  truncated.reserve(mOffsets.size());
  for (const Eigen::Vector2d& offset : mOffsets) {
    truncated.emplace_back(truncateToInt32(offset.x()), truncateToInt32(offset.y()));
  }
  HeatMap::addPointClouds(mHeatMap, points.data(), points.size(), truncated.data(), truncated.size());
}

bool HeatmapGenerator::run() {
  if (mHeatMap == nullptr || mColorScheme == nullptr) return false;
  const std::uint32_t width = mHeatMap->width;
  const std::uint32_t height = mHeatMap->height;
  std::vector<std::uint32_t> words(static_cast<std::size_t>(width) * height, 0u);
  if (HeatMap::render(mHeatMap, mColorScheme, words.data()) == nullptr) return false;

  Lumetra::ImageRGB image;
  image.create(Lumetra::Vec2u(width, height));
  for (std::uint32_t y = 0; y < height; ++y) {
    Lumetra::RGB8* row = image.row(y);
    const std::uint32_t* source = words.data() + static_cast<std::size_t>(y) * width;
    // A word holds the bytes R, G, B, A in memory order: the first three make the pixel.
    for (std::uint32_t x = 0; x < width; ++x) std::memcpy(row[x].c, &source[x], 3);
  }
  mImage = std::move(image);
  return true;
}

bool generateHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                     Lumetra::ImageRGB& heatMapImage, Lumetra::ImageRGB& overlayImage) {
  try {
    return runHeatmap(image, points, nullptr, heatMapImage, overlayImage);
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Heat map failed: {}", e.what());
    return false;
  }
}

bool generateHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                     const std::vector<Eigen::Vector2d>& offsets, Lumetra::ImageRGB& heatMapImage,
                     Lumetra::ImageRGB& overlayImage) {
  try {
    return runHeatmap(image, points, &offsets, heatMapImage, overlayImage);
  } catch (const std::exception& e) {
    OBRIN_LOG_ERROR("Heat map failed: {}", e.what());
    return false;
  }
}

}  // namespace Obrin
