// The multiple-view step of the image-target trainer: keypoints found in synthetic views of the
// training image, mapped back into it through each view's homography.
#include "Core/Log.h"
#include "Geometry/HomographyEstimator.h"
#include "Image/Drawing.h"
#include "Image/ImageIO.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "ObjectTracker/Trainer/Image/MultipleViewGenerator.h"

#include <Eigen/LU>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace Obrin {

namespace {

// Number of the next debug picture; the numbering runs on over every training of the process.
std::uint32_t gDebugPictureCounter = 0;

const Lumetra::RGB8 kDebugColour{{255, 0, 0}};

// The integer part of a coordinate, or false when it has none in the int range.
bool truncated(double v, std::int32_t& out) {
  if (!std::isfinite(v) || v <= static_cast<double>(std::numeric_limits<std::int32_t>::min()) - 1.0 ||
      v >= static_cast<double>(std::numeric_limits<std::int32_t>::max()) + 1.0) {
    return false;
  }
  out = static_cast<std::int32_t>(std::trunc(v));
  return true;
}

Eigen::Vector2d applyHomography(const Eigen::Matrix3d& h, const Eigen::Vector2d& p) {
  const Eigen::Vector3d q = h * Eigen::Vector3d(p.x(), p.y(), 1.0);
  return Eigen::Vector2d(q.x() / q.z(), q.y() / q.z());
}

// The training image beside the view, with the accepted corners of both and the outline of the
// picture in both.
Lumetra::ImageRGB debugPicture(const Lumetra::ImageGray& view, const Lumetra::ImageGray& training,
                               const std::vector<Lumetra::Vec2i>& viewPoints,
                               const std::vector<Lumetra::Vec2i>& mappedPoints,
                               const std::vector<Eigen::Vector2d>& imageCorners, const Eigen::Matrix3d& h) {
  const std::int32_t wi = static_cast<std::int32_t>(training.width);
  Lumetra::ImageGray canvas(Lumetra::Vec2u(2 * training.width, training.height), Lumetra::Gray8{{0}});
  const std::uint32_t sharedWidth = std::min(view.width, training.width);
  const std::uint32_t sharedHeight = std::min(view.height, training.height);
  for (std::uint32_t y = 0; y < training.height; ++y) {
    Lumetra::Gray8* row = canvas.row(y);
    if (y < sharedHeight) std::copy(view.row(y), view.row(y) + sharedWidth, row);
    std::copy(training.row(y), training.row(y) + training.width, row + training.width);
  }
  Lumetra::ImageRGB picture = Lumetra::convertGrayToRGB(canvas);
  for (const Lumetra::Vec2i& p : viewPoints) Lumetra::drawCircle(picture, p, kDebugColour, 1, 1);
  for (const Lumetra::Vec2i& p : mappedPoints) {
    Lumetra::drawCircle(picture, Lumetra::Vec2i(p.x() + wi, p.y()), kDebugColour, 1, 1);
  }
  std::vector<Lumetra::Vec2i> viewOutline;
  std::vector<Lumetra::Vec2i> imageOutline;
  for (const Eigen::Vector2d& q : imageCorners) {
    const Eigen::Vector2d v = applyHomography(h, q);
    Lumetra::Vec2i p;
    if (truncated(v.x(), p.x()) && truncated(v.y(), p.y())) viewOutline.push_back(p);
    imageOutline.push_back(Lumetra::Vec2i(static_cast<std::int32_t>(q.x()) + wi, static_cast<std::int32_t>(q.y())));
  }
  // A corner that maps to no pixel position leaves the view's outline out.
  if (viewOutline.size() == imageOutline.size()) Lumetra::drawPolygon(picture, viewOutline, kDebugColour, 1);
  Lumetra::drawPolygon(picture, imageOutline, kDebugColour, 1);
  return picture;
}

}  // namespace

bool ImageTargetTrainer::estimateHomography(const std::vector<Eigen::Vector2d>& imagePoints,
                                            const std::vector<Eigen::Vector2d>& viewPoints,
                                            Eigen::Matrix3d& homography) const {
  Lumetra::HomographyEstimator<double> estimator;
  estimator.normalize = true;
  estimator.method = 0;
  estimator.threshold = 1.0;
  Lumetra::PointPairs pairs;
  pairs.source = imagePoints;
  pairs.destination = viewPoints;
  Lumetra::HomographyEstimator<double>::Matrix3 h;
  if (!estimator.estimate(h, pairs, Lumetra::Sample())) return false;
  homography = h;
  return homography.allFinite();
}

bool ImageTargetTrainer::trainMVG(const Lumetra::ImageGray& trainingImage, const Eigen::Vector2i& offset,
                                  const TargetGeometry& geometry, ImageTargetDetectableData& data) {
  const Lumetra::ImageRGB picture = Lumetra::convertGrayToRGB(trainingImage);
  MultipleViewGenerator generator(mConfiguration, mCamera);
  if (!generator.loadConfiguration()) return false;
  // The picture's corners in the training image. Their target-plane partners are not used: a
  // view shows the training image on the rectangle, so the corners are projected from there.
  std::vector<Eigen::Vector3d> planePoints;
  std::vector<Eigen::Vector2d> imageCorners;
  if (!getCornerCorrespondences(geometry, offset, planePoints, imageCorners)) return false;

  const std::int32_t wi = static_cast<std::int32_t>(trainingImage.width);
  const std::int32_t hi = static_cast<std::int32_t>(trainingImage.height);
  const std::int64_t bx = std::int64_t{offset.x()} + mConfiguration.borderThreshold.value;
  const std::int64_t by = std::int64_t{offset.y()} + mConfiguration.borderThreshold.value;
  const bool debug = mConfiguration.mvgDebug.value;
  // New records go straight after the picture's own; a failed run takes them away again.
  std::vector<TargetKeyPoint>& records = data.mKeyPoints;
  const std::size_t pictureRecords = records.size();
  std::vector<Lumetra::KeyPoint> keyPoints;

  // Each view is consumed as soon as it is rendered: only one view image lives at a time.
  const auto processView = [&](const MvgView& view) {
    const std::vector<Eigen::Vector2d> viewCorners =
        projectImagePoints(view.pose, mCamera, imageCorners, Eigen::Vector2i(wi, hi),
                           static_cast<double>(generator.renderer().height()) / generator.renderer().width());
    Eigen::Matrix3d h;
    if (!estimateHomography(imageCorners, viewCorners, h)) return;
    const Eigen::FullPivLU<Eigen::Matrix3d> lu(h);
    if (lu.rank() < 3) return;
    const Eigen::Matrix3d hInverse = lu.inverse();
    if (!hInverse.allFinite()) return;

    extractMvgKeyPoints(keyPoints, view.image, &h);
    std::vector<Lumetra::Vec2i> viewPoints;
    std::vector<Lumetra::Vec2i> mappedPoints;
    for (const Lumetra::KeyPoint& kp : keyPoints) {
      const Eigen::Vector2d uv = applyHomography(hInverse, Eigen::Vector2d(kp.x, kp.y));
      std::int32_t u = 0;
      std::int32_t v = 0;
      if (!truncated(uv.x(), u) || !truncated(uv.y(), v)) continue;
      if (u < bx || u >= wi - bx || v < by || v >= hi - by) continue;
      for (std::size_t l = 0; l < kp.descriptors.size(); ++l) {
        TargetKeyPoint record;
        record.levelZeroPosition = uv;
        record.position = uv;
        record.objectPoint = Eigen::Vector2d(-1.0, -1.0);
        record.score = static_cast<float>(kp.score);
        record.level = static_cast<std::int32_t>(l);
        record.descriptor = kp.descriptors[l];
        records.push_back(record);
        if (debug) {
          viewPoints.emplace_back(static_cast<std::int32_t>(kp.x), static_cast<std::int32_t>(kp.y));
          mappedPoints.emplace_back(u, v);
        }
      }
    }
    if (debug) {
      const std::string name =
          fmt::format("{}_MVG_{:05d}.png", mConfiguration.targetName.value, gDebugPictureCounter++);
      const Lumetra::ImageRGB side =
          debugPicture(view.image, trainingImage, viewPoints, mappedPoints, imageCorners, h);
      if (!Lumetra::saveImage(side, name, 0, 100)) OBRIN_LOG_ERROR("Failed to write {}.", name);
    }
  };
  // Many small extractions in a row: on one thread each they skip the start-up and barrier costs
  // of the parallel loops, which outweigh the loops' gain on one view (the keypoints do not
  // depend on the thread count).
  const std::int32_t threads = mMvgExtractorParameters.numThreads;
  mMvgExtractorParameters.numThreads = 1;
  const bool rendered = generator.run(picture, processView);
  mMvgExtractorParameters.numThreads = threads;
  if (!rendered) {
    records.resize(pictureRecords);
    return false;
  }
  OBRIN_LOG_INFO("Image Target Trainer (MVG) - {} keypoints were added from the synthetic views.",
                 records.size() - pictureRecords);
  return true;
}

}  // namespace Obrin
