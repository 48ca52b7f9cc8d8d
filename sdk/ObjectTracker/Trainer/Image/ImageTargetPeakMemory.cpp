#include "ObjectTracker/Trainer/Image/ImageTargetPeakMemory.h"

#include "Feature/GridFeatureExtractor.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>

namespace Obrin {

namespace {

// Pixels of all pyramid levels over the pixels of level 0: the levels shrink by the ratio on each
// side and stop below 5 pixels on a side.
double pyramidFactor(std::int64_t levels, double ratio, double width, double height) {
  double factor = 0.0;
  double scale = 1.0;
  for (std::int64_t l = 0; l < levels && width * scale >= 5.0 && height * scale >= 5.0; ++l) {
    factor += scale * scale;
    scale *= ratio;
  }
  return factor;
}

}  // namespace

std::vector<PeakPart> peakParts(const TrainingConfig& c) {
  const auto& resolution = c.trainingResolution.value;
  const double w = resolution.size() >= 2 ? resolution[0] : 0.0;
  const double h = resolution.size() >= 2 ? resolution[1] : 0.0;
  const double pixels = w * h;
  // Bytes per keypoint record and level: the record, the extractor's keypoint and the file buffer.
  constexpr double kRecordBytes = 200.0;
  constexpr double kCellBytes = 100.0;
  // Keypoints of one pass: the configured number, and no more than one per free square of the
  // selection mask (side the minimum distance plus one).
  const auto keyPoints = [pixels](std::int64_t number, std::int64_t minDistance) {
    const double side = static_cast<double>(std::max<std::int64_t>(minDistance, 0) + 1);
    return std::min(static_cast<double>(std::max<std::int64_t>(number, 0)), pixels / (side * side));
  };
  const auto grid = [](const Parameter<std::int32_t>& rows, const Parameter<std::int32_t>& cols) {
    return fmt::format("{} {} and {} {}", rows.key, rows.value, cols.key, cols.value);
  };
  const auto number = [](const Parameter<std::int32_t>& p) { return fmt::format("{} {}", p.key, p.value); };
  const std::int64_t levels = c.pyramidLevel.value & 0xFF;
  const double pyramid = pyramidFactor(levels, c.pyramidResizeRatio.value, w, h);
  // Per pixel: the picture, the adapted image, the blur workspace, the mask, the heat map and its
  // images (about 16 bytes), and up to one corner of 12 bytes per pixel in every cell's list, the
  // selection and the descriptors' working copies; 2 bytes per pixel of every pyramid level.
  std::vector<PeakPart> parts = {
      {"", pixels * (48.0 + 2.0 * pyramid)},
      {grid(c.gridRow, c.gridCol), kCellBytes * c.gridRow.value * c.gridCol.value},
      {number(c.fastNumber),
       kRecordBytes * keyPoints(c.fastNumber.value, Lumetra::GridFeatureExtractor::Parameters().minDistance) *
           static_cast<double>(levels)}};
  if (c.mvgEnabled.value) {
    // The renderer's texture with its mipmaps, framebuffer, depth buffer and read-back, the
    // picture in colour; a few views in flight, each with its pyramid, blur workspace and mask.
    constexpr double kViewsInFlight = 4.0;
    constexpr double kMostViews = 193.0;
    const std::int64_t mvgLevels = c.mvgExtractorPyramidLevel.value & 0xFF;
    const double mvgPyramid = pyramidFactor(mvgLevels, c.mvgExtractorPyramidRatio.value, w, h);
    parts[0].bytes += pixels * (56.0 + kViewsInFlight * 1.5 * mvgPyramid);
    parts.push_back(
        {grid(c.mvgGridRow, c.mvgGridCol), kViewsInFlight * kCellBytes * c.mvgGridRow.value * c.mvgGridCol.value});
    parts.push_back({number(c.mvgExtractorNumber),
                     kMostViews * kRecordBytes * static_cast<double>(mvgLevels) *
                         keyPoints(c.mvgExtractorNumber.value,
                                   static_cast<std::int8_t>(c.mvgExtractorMinDist.value & 0xFF))});
  }
  return parts;
}

double ImageTargetTrainer::estimatePeakBytes(const TrainingConfig& c) {
  double bytes = 0.0;
  for (const PeakPart& part : peakParts(c)) bytes += part.bytes;
  return bytes;
}

}  // namespace Obrin
