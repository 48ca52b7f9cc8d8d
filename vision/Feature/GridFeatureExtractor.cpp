#include "Feature/GridFeatureExtractor.h"

#include <Eigen/Dense>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <new>

#include "Core/Log.h"

namespace Lumetra {
namespace {

// Distance of the cells and of the default border from the image's edge.
constexpr std::int32_t kGridMargin = 15;

std::uint8_t clampThreshold(std::int32_t t) { return static_cast<std::uint8_t>(std::clamp(t, 0, 255)); }

int threadCount(std::int32_t requested) { return requested < 1 ? 1 : requested; }

// A mapped position: valid only when finite and well inside the 32-bit range.
struct Mapped {
  std::int64_t u = 0;
  std::int64_t v = 0;
  bool valid = false;
};

Mapped mapThrough(const Eigen::Matrix3d& g, double x, double y) {
  const Eigen::Vector3d p = g * Eigen::Vector3d(x, y, 1.0);
  const double X = p.x() / p.z();
  const double Y = p.y() / p.z();
  Mapped m;
  if (!std::isfinite(X) || !std::isfinite(Y) || std::fabs(X) > 1e9 || std::fabs(Y) > 1e9) return m;
  m.u = static_cast<std::int64_t>(X);
  m.v = static_cast<std::int64_t>(Y);
  m.valid = true;
  return m;
}

// s_l: from level-0 coordinates to level l. Taken from the pyramid's scale list; a pyramid
// without one gets ratio^l by repeated multiplication.
double levelScale(const ImagePyramid& pyramid, std::size_t level) {
  if (level < pyramid.scales.size()) return pyramid.scales[level];
  double s = 1.0;
  for (std::size_t l = 0; l < level; ++l) s *= pyramid.ratio;
  return s;
}

}  // namespace

void GridFeatureExtractor::setParameters(const Parameters& parameters) {
  params_ = parameters;
  const std::int64_t bins = static_cast<std::int64_t>(params_.cols) * params_.rows;
  if (bins > 0 && params_.numCorners < static_cast<std::uint64_t>(bins)) {
    LUMETRA_LOG_WARN("The expected number of corners is fewer than the number of grid bins");
  }
}

std::uint64_t GridFeatureExtractor::quota() const {
  if (!gridIsValid()) return 1;
  const std::uint64_t bins = static_cast<std::uint64_t>(params_.cols) * static_cast<std::uint64_t>(params_.rows);
  const std::uint64_t q = params_.numCorners / bins;
  return q < 1 ? 1 : q;
}

void GridFeatureExtractor::configure(std::int32_t width, std::int32_t height, std::int32_t offsetX,
                                     std::int32_t offsetY) {
  if (width > 0 && height > 0) {
    mask_.ensureSize(Vec2u(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)));
  } else {
    mask_ = ImageGray();
  }

  // Below 30 pixels on a side the cells get no area and find nothing.
  const bool valid = gridIsValid();
  cellWidth_ = valid ? std::max<std::int32_t>(0, (width - 2 * kGridMargin) / params_.cols) : 0;
  cellHeight_ = valid ? std::max<std::int32_t>(0, (height - 2 * kGridMargin) / params_.rows) : 0;
  const std::size_t cellCount = valid ? static_cast<std::size_t>(params_.cols) * params_.rows : 0;
  if (!valid) LUMETRA_LOG_ERROR("The grid needs at least one column and one row, not {} x {}", params_.cols, params_.rows);
  cellCorners_.resize(cellCount);

  cells_.clear();
  cells_.reserve(cellCount);
  for (std::int32_t r = 0; valid && r < params_.rows; ++r) {
    for (std::int32_t c = 0; c < params_.cols; ++c) {
      Cell cell;
      cell.x = kGridMargin + c * cellWidth_;
      cell.y = kGridMargin + r * cellHeight_;
      cell.index = r * params_.cols + c;
      cells_.push_back(std::move(cell));
    }
  }

  patterns_ = sharedRotatedPatterns(params_.precomputeRotations);

  borderX_ = offsetX + kGridMargin;
  borderY_ = offsetY + kGridMargin;
}

void GridFeatureExtractor::detect(const ImagePyramid& pyramid, const Eigen::Matrix3d* homography) {
  mask_.fill(Gray8{{0}});
  keyPoints_.clear();
  leftovers_.clear();
  const std::size_t cellCount = gridIsValid() ? static_cast<std::size_t>(params_.cols) * params_.rows : 0;
  cellCorners_.resize(cellCount);
  for (auto& corners : cellCorners_) corners.clear();
  if (pyramid.levels.empty() || pyramid.numLevels < 1 || cells_.size() != cellCount) return;

  // Each cell's view reaches 3 pixels beyond the cell on every side (the kernel's margin),
  // but no closer than 12 pixels to the right and bottom edge of level 0.
  const ImageGray& level0 = pyramid.levels[0];
  const std::int64_t W0 = level0.width;
  const std::int64_t H0 = level0.height;
  for (Cell& cell : cells_) {
    const std::int64_t w = std::min<std::int64_t>(cellWidth_ + 6, W0 - 12 - cell.x);
    const std::int64_t h = std::min<std::int64_t>(cellHeight_ + 6, H0 - 12 - cell.y);
    cell.view = (w > 0 && h > 0)
                    ? level0.region(Vec2i(cell.x, cell.y), Vec2u(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)))
                    : ImageGray();
  }

  const std::int64_t cellTotal = static_cast<std::int64_t>(cells_.size());
  // An exception may not leave a parallel region: running out of memory is raised after it.
  bool outOfMemory = false;
#pragma omp parallel for schedule(static) num_threads(threadCount(params_.numThreads))
  for (std::int64_t i = 0; i < cellTotal; ++i) {
    const Cell& cell = cells_[static_cast<std::size_t>(i)];
    try {
      cellCorners_[static_cast<std::size_t>(cell.index)] = detectInCell(cell);
    } catch (const std::bad_alloc&) {
#pragma omp atomic write
      outOfMemory = true;
    }
  }
  if (outOfMemory) throw std::bad_alloc();

  if (homography != nullptr) {
    selectKeyPointsWarped(*homography);
  } else {
    selectKeyPoints();
  }
  checkPyramidLevels(pyramid);
  if (params_.computeDescriptors) computeDescriptors(pyramid);
}

std::vector<Corner> GridFeatureExtractor::detectInCell(const Cell& cell) const {
  FastCornerDetector detector;
  if (cell.view.isEmpty() || !gridIsValid()) return {};
  detector.runAVX2(cell.view, clampThreshold(params_.threshold), true);

  const std::uint64_t target = 2 * quota();
  auto enough = [&]() { return detector.cornersSuppressed.size() >= target; };
  if (params_.adaptiveThreshold && !enough() && params_.maxRounds >= 1) {
    std::int32_t t = params_.threshold >> 1;
    for (std::int32_t round = 1;; ++round) {
      detector.runAVX2(cell.view, clampThreshold(std::max(t, params_.minThreshold)), true);
      if (t < params_.minThreshold || enough() || round >= params_.maxRounds) break;
      t >>= 1;
    }
  }

  // A copy of the detector's list, which holds room for thousands of corners: a fine grid keeps
  // one list per cell.
  std::vector<Corner> corners(detector.cornersSuppressed.begin(), detector.cornersSuppressed.end());
  std::sort(corners.begin(), corners.end(), [](const Corner& a, const Corner& b) { return a.score > b.score; });
  return corners;
}

KeyPoint GridFeatureExtractor::keyPointFrom(const Corner& corner) {
  KeyPoint kp;
  kp.x = corner.x;
  kp.y = corner.y;
  kp.score = corner.score;
  kp.x0 = corner.x;
  kp.y0 = corner.y;
  kp.level = 0;
  return kp;
}

bool GridFeatureExtractor::maskIsFree(std::int64_t x, std::int64_t y) const {
  if (mask_.isEmpty() || x < 0 || y < 0 || x >= mask_.width || y >= mask_.height) return false;
  return mask_.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))[0] == 0;
}

void GridFeatureExtractor::stamp(std::int32_t x, std::int32_t y) {
  const std::int32_t r = params_.minDistance;
  if (r < 0 || mask_.isEmpty()) return;
  const std::int64_t W = mask_.width;
  const std::int64_t H = mask_.height;
  const std::int64_t x0 = std::max<std::int64_t>(std::int64_t(x) - r, 0);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t(x) + r, W - 1);
  const std::int64_t y0 = std::max<std::int64_t>(std::int64_t(y) - r, 0);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t(y) + r, H - 1);
  for (std::int64_t yy = y0; yy <= y1; ++yy) {
    Gray8* row = mask_.row(static_cast<std::uint32_t>(yy));
    for (std::int64_t xx = x0; xx <= x1; ++xx) row[xx][0] = 255;
  }
}

void GridFeatureExtractor::selectKeyPoints() {
  keyPoints_.clear();
  leftovers_.clear();
  std::size_t total = 0;
  for (const auto& corners : cellCorners_) total += corners.size();
  leftovers_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(params_.numCorners, total)));

  const std::uint64_t q = quota();
  const std::int64_t W = mask_.width;
  const std::int64_t H = mask_.height;
  const std::int64_t bx = borderX_;
  const std::int64_t by = borderY_;
  for (const Cell& cell : cells_) {
    if (static_cast<std::size_t>(cell.index) >= cellCorners_.size()) continue;
    std::uint64_t taken = 0;
    for (const Corner& found : cellCorners_[static_cast<std::size_t>(cell.index)]) {
      const Corner c{found.x + cell.x, found.y + cell.y, found.score};
      if (taken < q) {
        const bool inside = c.x >= 0 && c.x < W && c.y >= 0 && c.y < H;
        const bool inBorder = c.x >= bx && c.x < W - bx && c.y >= by && c.y < H - by;
        if (inside && inBorder && maskIsFree(c.x, c.y)) {
          keyPoints_.push_back(keyPointFrom(c));
          stamp(c.x, c.y);
          ++taken;
        }
      } else {
        leftovers_.push_back(c);
      }
    }
  }

  if (keyPoints_.size() >= params_.numCorners) {
    keyPoints_.resize(static_cast<std::size_t>(params_.numCorners));
    return;
  }
  for (const Corner& c : leftovers_) {
    if (keyPoints_.size() >= params_.numCorners) break;
    if (maskIsFree(c.x, c.y)) {
      keyPoints_.push_back(keyPointFrom(c));
      stamp(c.x, c.y);
    }
  }
}

void GridFeatureExtractor::selectKeyPointsWarped(const Eigen::Matrix3d& homography) {
  keyPoints_.clear();
  leftovers_.clear();
  std::size_t total = 0;
  for (const auto& corners : cellCorners_) total += corners.size();
  leftovers_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(params_.numCorners, total)));
  if (mask_.isEmpty() || !gridIsValid()) return;

  const std::uint64_t q = quota();
  std::vector<std::uint64_t> taken(static_cast<std::size_t>(params_.cols) * params_.rows, 0);
  std::vector<Mapped> leftoverPositions;
  leftoverPositions.reserve(leftovers_.capacity());
  const Eigen::Matrix3d g = homography.inverse();
  const std::int64_t W = mask_.width;
  const std::int64_t H = mask_.height;
  const std::int64_t bx = borderX_;
  const std::int64_t by = borderY_;
  const double ax = static_cast<double>(params_.cols) / static_cast<double>(W);
  const double ay = static_cast<double>(params_.rows) / static_cast<double>(H);

  // The quota cell: W / cols by H / rows pixels counted from the border origin.
  auto quotaCell = [&](const Mapped& m) -> std::size_t {
    std::int64_t col = 0;
    std::int64_t row = 0;
    if (m.valid) {
      col = std::min<std::int64_t>(static_cast<std::int64_t>(ax * static_cast<double>(m.u - bx)), params_.cols - 1);
      row = std::min<std::int64_t>(static_cast<std::int64_t>(ay * static_cast<double>(m.v - by)), params_.rows - 1);
    }
    col = std::max<std::int64_t>(col, 0);
    row = std::max<std::int64_t>(row, 0);
    return static_cast<std::size_t>(row * params_.cols + col);
  };

  for (const Cell& cell : cells_) {
    if (static_cast<std::size_t>(cell.index) >= cellCorners_.size()) continue;
    for (const Corner& found : cellCorners_[static_cast<std::size_t>(cell.index)]) {
      const Corner c{found.x + cell.x, found.y + cell.y, found.score};
      const Mapped m = mapThrough(g, c.x, c.y);
      const std::size_t bin = quotaCell(m);
      if (taken[bin] < q) {
        const bool inBorder = m.valid && m.u >= bx && m.u < W - bx && m.v >= by && m.v < H - by;
        if (inBorder && maskIsFree(m.u, m.v)) {
          keyPoints_.push_back(keyPointFrom(c));
          stamp(static_cast<std::int32_t>(m.u), static_cast<std::int32_t>(m.v));
          ++taken[bin];
        }
      } else {
        leftovers_.push_back(c);
        leftoverPositions.push_back(m);
      }
    }
  }

  if (keyPoints_.size() >= params_.numCorners) {
    keyPoints_.resize(static_cast<std::size_t>(params_.numCorners));
    return;
  }
  for (std::size_t i = 0; i < leftovers_.size(); ++i) {
    if (keyPoints_.size() >= params_.numCorners) break;
    const Mapped& m = leftoverPositions[i];
    if (m.valid && maskIsFree(m.u, m.v)) {
      keyPoints_.push_back(keyPointFrom(leftovers_[i]));
      stamp(static_cast<std::int32_t>(m.u), static_cast<std::int32_t>(m.v));
    }
  }
}

void GridFeatureExtractor::checkPyramidLevels(const ImagePyramid& pyramid) {
  const std::size_t levels = std::min<std::size_t>(pyramid.numLevels, pyramid.levels.size());
  if (levels < 2) return;
  std::vector<Corner> probes;
  std::vector<std::size_t> owners;
  probes.reserve(keyPoints_.size());
  owners.reserve(keyPoints_.size());
  for (std::size_t L = 1; L < levels; ++L) {
    const double s = levelScale(pyramid, L);
    probes.clear();
    owners.clear();
    for (std::size_t k = 0; k < keyPoints_.size(); ++k) {
      const KeyPoint& kp = keyPoints_[k];
      if (kp.level < static_cast<std::int64_t>(L) - 1) continue;
      probes.push_back(Corner{static_cast<std::int32_t>(s * kp.x0), static_cast<std::int32_t>(s * kp.y0), 0});
      owners.push_back(k);
    }
    if (probes.empty()) break;
    scoreCorners(pyramid.levels[L], probes, params_.minThreshold);
    for (std::size_t i = 0; i < probes.size(); ++i) {
      if (probes[i].score > params_.minThreshold) keyPoints_[owners[i]].level = static_cast<std::int8_t>(L);
    }
  }
}

void GridFeatureExtractor::computeDescriptors(const ImagePyramid& pyramid) {
  const std::size_t levels = std::min<std::size_t>(pyramid.numLevels, pyramid.levels.size());
  const RotatedPatternTable& table = *patterns_;
  const bool useTable = !table.patterns.empty();
  const std::int64_t count = static_cast<std::int64_t>(keyPoints_.size());
  // Keypoints of one cell tend to reach similar levels, so the list is dealt out in small
  // chunks rather than in one contiguous share per thread.
  bool outOfMemory = false;
#pragma omp parallel for schedule(static, 16) num_threads(threadCount(params_.numThreads))
  for (std::int64_t k = 0; k < count; ++k) {
    KeyPoint& kp = keyPoints_[static_cast<std::size_t>(k)];
    kp.descriptors.clear();
    try {
      if (kp.level >= 0) kp.descriptors.reserve(static_cast<std::size_t>(kp.level) + 1);
    } catch (const std::bad_alloc&) {
#pragma omp atomic write
      outOfMemory = true;
      continue;
    }
    for (std::int32_t l = 0; l <= kp.level; ++l) {
      BinaryDescriptor d;
      bool ok = static_cast<std::size_t>(l) < levels;
      if (ok) {
        const double s = levelScale(pyramid, static_cast<std::size_t>(l));
        const Vec2i p(static_cast<std::int32_t>(s * kp.x0), static_cast<std::int32_t>(s * kp.y0));
        const ImageGray& image = pyramid.levels[static_cast<std::size_t>(l)];
        ok = useTable ? computeRotatedBinaryDescriptor(table, image, p, d)
                      : computeBinaryDescriptorExact(table, image, p, d);
      }
      if (!ok) {
        kp.level = static_cast<std::int8_t>(l);
        break;
      }
      kp.descriptors.push_back(d);
    }
  }
  if (outOfMemory) throw std::bad_alloc();
  keyPoints_.erase(std::remove_if(keyPoints_.begin(), keyPoints_.end(),
                                  [](const KeyPoint& kp) { return kp.descriptors.empty(); }),
                   keyPoints_.end());
}

}  // namespace Lumetra
