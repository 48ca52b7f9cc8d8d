#pragma once
// Well-spread keypoints with binary descriptors from an image pyramid.
//
// Level 0 is divided into a grid of cells; FAST runs in every cell in parallel, with a
// threshold that is halved while a cell is poor in corners. The best corners of each cell are
// kept up to a quota, at a minimum distance enforced through a suppression mask, the remaining
// budget is filled from the surplus, every keypoint is followed up the pyramid while it stays
// a corner, and described on every level it reaches.
//
// Use: construct, setParameters, configure (once per image size), then detect per image; the
// keypoint list holds the result until the next detect.
#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <vector>

#include "Feature/BinaryDescriptor.h"
#include "Feature/FastCornerDetector.h"
#include "Feature/KeyPoint.h"
#include "Image/Image.h"
#include "Image/ImageOP.h"

namespace Lumetra {

class GridFeatureExtractor {
 public:
  struct Parameters {
    /// detect ends with the descriptor pass and drops keypoints without descriptors.
    bool computeDescriptors = true;
    /// Cells poor in corners are searched again at lower thresholds.
    bool adaptiveThreshold = true;
    /// configure builds the 360 rotated sampling patterns.
    bool precomputeRotations = true;
    std::int32_t cols = 4;
    std::int32_t rows = 3;
    /// FAST threshold of a cell's first run (0 to 255).
    std::int32_t threshold = 25;
    /// Lowest threshold of the halving schedule; threshold of the pyramid-level test.
    std::int32_t minThreshold = 3;
    /// Most extra runs of the halving schedule.
    std::int32_t maxRounds = 3;
    /// Keypoints wanted.
    std::uint64_t numCorners = 2000;
    /// Half side of the square stamped into the mask around each accepted keypoint.
    std::int8_t minDistance = 4;
    /// Thread count of both parallel loops.
    std::int32_t numThreads = 4;
  };

  /// A cell of the grid: its view of level 0, its origin in level-0 pixels, its row-major index.
  struct Cell {
    ImageGray view;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t index = 0;
  };

  GridFeatureExtractor() = default;
  static std::unique_ptr<GridFeatureExtractor> create() { return std::make_unique<GridFeatureExtractor>(); }

  void setParameters(const Parameters& parameters);
  const Parameters& parameters() const { return params_; }

  /// Prepares mask, cells and pattern table for level-0 images of width x height, the picture
  /// lying at (offsetX, offsetY) inside them.
  void configure(std::int32_t width, std::int32_t height, std::int32_t offsetX, std::int32_t offsetY);

  /// One full pass over the pyramid. With a homography, the quota and the mask work on the
  /// corners mapped through its inverse.
  void detect(const ImagePyramid& pyramid, const Eigen::Matrix3d* homography = nullptr);

  const std::vector<KeyPoint>& keyPoints() const { return keyPoints_; }
  std::vector<KeyPoint>& keyPoints() { return keyPoints_; }
  std::size_t numKeyPoints() const { return keyPoints_.size(); }

  // The steps of detect, callable one by one.

  /// FAST with suppression on the cell's view, with the halving schedule; sorted by score,
  /// highest first. Positions are relative to the cell's view.
  std::vector<Corner> detectInCell(const Cell& cell) const;
  /// Keypoints from the per-cell corners, by quota, border and mask, then from the leftovers.
  void selectKeyPoints();
  /// The same with the quota cell and the mask taken at the corners mapped by inverse(H).
  void selectKeyPointsWarped(const Eigen::Matrix3d& homography);
  /// Raises each keypoint's level while it is still a corner one level higher.
  void checkPyramidLevels(const ImagePyramid& pyramid);
  /// Describes every keypoint on the levels it reaches; removes keypoints without descriptors.
  void computeDescriptors(const ImagePyramid& pyramid);

  // State, for inspection.
  const std::vector<Cell>& cells() const { return cells_; }
  std::vector<std::vector<Corner>>& cellCorners() { return cellCorners_; }
  const std::vector<Corner>& leftovers() const { return leftovers_; }
  const ImageGray& mask() const { return mask_; }
  const RotatedPatternTable& patternTable() const { return *patterns_; }
  std::int32_t cellWidth() const { return cellWidth_; }
  std::int32_t cellHeight() const { return cellHeight_; }
  Eigen::Vector2i borderOrigin() const { return Eigen::Vector2i(borderX_, borderY_); }

 private:
  std::uint64_t quota() const;
  bool gridIsValid() const { return params_.cols >= 1 && params_.rows >= 1; }
  void stamp(std::int32_t x, std::int32_t y);
  bool maskIsFree(std::int64_t x, std::int64_t y) const;
  static KeyPoint keyPointFrom(const Corner& corner);

  Parameters params_;
  // Immutable once built; configure takes the process-wide copy for its precompute setting.
  std::shared_ptr<const RotatedPatternTable> patterns_ = std::make_shared<const RotatedPatternTable>();
  std::vector<KeyPoint> keyPoints_;
  std::vector<Corner> leftovers_;
  std::vector<std::vector<Corner>> cellCorners_;
  ImageGray mask_;
  std::vector<Cell> cells_;
  std::int32_t cellWidth_ = 0;
  std::int32_t cellHeight_ = 0;
  std::int32_t borderX_ = 15;
  std::int32_t borderY_ = 15;
};

}  // namespace Lumetra
