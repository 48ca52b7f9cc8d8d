#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include "ObjectTracker/Trainer/Image/ImageTargetPeakMemory.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

namespace Obrin {

namespace {

// A pyramid of 1 to 255 levels, each level smaller than the one below it.
std::string checkPyramid(const Parameter<std::int32_t>& levels, const Parameter<double>& ratio) {
  if (levels.value < 1 || levels.value > 255) {
    return fmt::format("Configuration Error: {} must be from 1 to 255 (it is {})", levels.key, levels.value);
  }
  if (!(ratio.value > 0.0 && ratio.value < 1.0)) {
    return fmt::format("Configuration Error: {} must lie between 0 and 1 (it is {})", ratio.key, ratio.value);
  }
  return std::string();
}

// The "Configuration Error: " line for a grid whose cells would be narrower than a pixel: the
// cells share the image less the border margin on each side.
std::string checkGrid(const Parameter<std::int32_t>& rows, const Parameter<std::int32_t>& cols, std::int64_t width,
                      std::int64_t height, const char* sizeKey) {
  const std::int64_t margin = 2 * static_cast<std::int64_t>(ImageTargetTrainer::kBorder);
  for (const auto& [key, value, size, side] :
       {std::tuple(&rows.key, rows.value, height, "height"), std::tuple(&cols.key, cols.value, width, "width")}) {
    if (value < 1 || value > size - margin) {
      return fmt::format("Configuration Error: {} {} must be from 1 to {}: the grid divides the {} {} of {}, less {} "
                         "pixels on each side, into cells of at least one pixel",
                         *key, value, size - margin, side, size, sizeKey, margin / 2);
    }
  }
  return std::string();
}

}  // namespace

std::string ImageTargetTrainer::checkConfiguration(const TrainingConfig& c) {
  const auto& resolution = c.trainingResolution.value;
  if (resolution.size() < 2) return "Configuration Error: Image.Training.Resolution needs a width and a height";
  const std::int64_t w = resolution[0];
  const std::int64_t h = resolution[1];
  const std::int64_t margin = 2 * static_cast<std::int64_t>(kBorder);
  if (w <= margin || h <= margin) {
    // Each cell of the grids needs a pixel inside the margins.
    const bool mvg = c.mvgEnabled.value;
    const std::int64_t cols = std::max<std::int64_t>({1, c.gridCol.value, mvg ? c.mvgGridCol.value : 1});
    const std::int64_t rows = std::max<std::int64_t>({1, c.gridRow.value, mvg ? c.mvgGridRow.value : 1});
    return fmt::format("Configuration Error: Image.Training.Resolution [{}, {}] leaves no pixel inside the margins of "
                       "{} pixels on each side; the smallest size that works with these grids is [{}, {}]",
                       w, h, margin / 2, margin + cols, margin + rows);
  }
  if (w * h > std::numeric_limits<std::int32_t>::max()) {
    return fmt::format("Configuration Error: Image.Training.Resolution [{}, {}] is too large", w, h);
  }
  if (c.gridRow.value < 1 || c.gridCol.value < 1) {
    return fmt::format("Configuration Error: Image.Grid.Row and Image.Grid.Col must be at least 1 (they are {} and {})",
                       c.gridRow.value, c.gridCol.value);
  }
  std::string grid = checkGrid(c.gridRow, c.gridCol, w, h, "Image.Training.Resolution");
  if (grid.empty() && c.mvgEnabled.value) {
    grid = checkGrid(c.mvgGridRow, c.mvgGridCol, w, h, "the render size (Image.Training.Resolution)");
  }
  if (!grid.empty()) return grid;
  if (c.fastNumber.value < 1) {
    return fmt::format("Configuration Error: Image.FAST.Number must be at least 1 (it is {})", c.fastNumber.value);
  }
  if (c.mvgEnabled.value && c.mvgExtractorNumber.value < 0) {
    return fmt::format("Configuration Error: MVGTrainer.Extractor.Number must not be negative (it is {})",
                       c.mvgExtractorNumber.value);
  }
  for (const auto* threshold : {&c.fastThreshold, &c.mvgExtractorThreshold}) {
    if (threshold->value < 0 || threshold->value > 255) {
      return fmt::format("Configuration Error: {} must be from 0 to 255 (it is {})", threshold->key, threshold->value);
    }
  }
  std::string pyramid = checkPyramid(c.pyramidLevel, c.pyramidResizeRatio);
  // The views' pyramids grow without bound for a ratio of 1 or more.
  if (pyramid.empty() && c.mvgEnabled.value) {
    pyramid = checkPyramid(c.mvgExtractorPyramidLevel, c.mvgExtractorPyramidRatio);
  }
  if (!pyramid.empty()) return pyramid;
  const std::vector<PeakPart> parts = peakParts(c);
  double peak = 0.0;
  for (const PeakPart& part : parts) peak += part.bytes;
  if (peak > kMaxPeakBytes) {
    // The setting whose part of the estimate is largest is the one to lower.
    const PeakPart& largest = *std::max_element(
        parts.begin(), parts.end(), [](const PeakPart& a, const PeakPart& b) { return a.bytes < b.bytes; });
    const std::string size = fmt::format("Image.Training.Resolution [{}, {}]", w, h);
    const std::string others = c.mvgEnabled.value ? ", keypoint and multiple view" : " and keypoint";
    return fmt::format("Configuration Error: {} with {} settings needs about {:.1f} GiB, more than the {:.0f} GiB "
                       "allowed",
                       largest.setting.empty() ? size : largest.setting,
                       largest.setting.empty() ? "these pyramid, grid" + others : size + " and these other",
                       peak / (1024.0 * 1024 * 1024), kMaxPeakBytes / (1024.0 * 1024 * 1024));
  }
  const double pw = c.objectPhysicalWidth.value;
  const double ph = c.objectPhysicalHeight.value;
  if (!(pw > 0.0 && ph > 0.0 && std::isfinite(pw) && std::isfinite(ph))) {
    return fmt::format("Configuration Error: Object.Physical.Width and Object.Physical.Height must be finite and "
                       "positive (they are {} and {})",
                       pw, ph);
  }
  return std::string();
}

}  // namespace Obrin
