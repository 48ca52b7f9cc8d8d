#pragma once
// The heat map of a trained picture: every keypoint spreads a cloud of stamps (at random offsets
// drawn once per generator) into a `HeatMap`, which is coloured through the 17-colour palette
// and blended over the training image.
#include "Image/Image.h"
#include "ObjectTracker/Trainer/Image/HeatMap.h"

#include <Eigen/Core>

#include <cstdint>
#include <vector>

namespace Obrin {

/// `count` points whose x and y come from two normal distributions (mean, standard deviation),
/// both fed by one 32-bit Mersenne-twister engine seeded from the system's random device; x is
/// drawn before y for each point. Differs from call to call.
std::vector<Eigen::Vector2d> generateGaussianPoints(double mean, double standardDeviation, std::uint64_t count);

class HeatmapGenerator {
 public:
  /// A map of the size, the offsets drawn with `generateGaussianPoints` and the palette loaded.
  HeatmapGenerator(std::int32_t width, std::int32_t height, double mean, double standardDeviation,
                   std::uint64_t pointCount);
  ~HeatmapGenerator();

  HeatmapGenerator(const HeatmapGenerator&) = delete;
  HeatmapGenerator& operator=(const HeatmapGenerator&) = delete;

  /// Replaces the random offsets (their count becomes the point count).
  void setOffsets(std::vector<Eigen::Vector2d> offsets);
  const std::vector<Eigen::Vector2d>& offsets() const { return mOffsets; }

  /// For each point in order and each offset in order, adds the default stamp at
  /// (trunc(offset.x) + point.x, trunc(offset.y) + point.y), the sums taken as 32-bit integers
  /// and read as unsigned, so that a negative sum falls outside the grid.
  void addPoints(const std::vector<Eigen::Vector2i>& points);

  /// Renders the map into the RGB image (alpha dropped). False when there is no map or scheme.
  bool run();

  /// The rendered image (empty before a successful `run`).
  const Lumetra::ImageRGB& image() const { return mImage; }
  /// The map, or null when it could not be made.
  const HeatMap* heatMap() const { return mHeatMap; }

 private:
  HeatMap* mHeatMap = nullptr;
  Lumetra::ImageRGB mImage;
  double mMean = 0.0;
  double mStandardDeviation = 0.0;
  std::uint64_t mPointCount = 0;
  std::vector<Eigen::Vector2d> mOffsets;
  HeatMapColorScheme* mColorScheme = nullptr;
};

/// The heat map of the keypoint points over the training image, with the trainer's settings
/// (mean 0, standard deviation 10, 300 random offsets per point): `heatMapImage` receives the
/// coloured map and `overlayImage` the picture * 0.7 + heat map * 0.3. Returns false, leaving the
/// outputs untouched, when the image is empty, there are no points or the map cannot be made.
bool generateHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                     Lumetra::ImageRGB& heatMapImage, Lumetra::ImageRGB& overlayImage);

/// The same with given offsets instead of random ones.
bool generateHeatmap(const Lumetra::ImageGray& image, const std::vector<Eigen::Vector2i>& points,
                     const std::vector<Eigen::Vector2d>& offsets, Lumetra::ImageRGB& heatMapImage,
                     Lumetra::ImageRGB& overlayImage);

}  // namespace Obrin
