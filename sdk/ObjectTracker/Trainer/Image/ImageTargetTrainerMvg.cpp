// The multiple-view step of the image-target trainer: keypoints found in synthetic views of the
// training image, mapped back into it through each view's homography.
#include "Core/AtomicFile.h"
#include "Core/Log.h"
#include "Geometry/HomographyEstimator.h"
#include "Image/Drawing.h"
#include "Image/ImageIO.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "ObjectTracker/Trainer/Image/MultipleViewGenerator.h"

#include <Eigen/LU>
#include <fmt/format.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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

// Whether a thread of this process may go into the idle scheduling class and come back to the
// normal one: coming back needs the right to raise its priority (RLIMIT_NICE or CAP_SYS_NICE).
// Probed once, on a thread of its own; false when the process runs in another class.
bool idleClassIsReversible() {
  static const bool reversible = [] {
    bool result = false;
    try {
      std::thread probe([&result] {
        int policy = 0;
        sched_param parameters{};
        if (::pthread_getschedparam(::pthread_self(), &policy, &parameters) != 0 || policy != SCHED_OTHER) return;
        parameters.sched_priority = 0;
        if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &parameters) != 0) return;
        result = ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &parameters) == 0;
      });
      probe.join();
    } catch (const std::system_error&) {
      // No thread to probe with: the workers stay in the normal class.
    }
    return result;
  }();
  return reversible;
}

// A few threads that work on the views as they are drawn, for one training. A thread keeps its
// per-thread scratch space (pyramid and blur buffers) from one view to the next, where a thread
// per view would set it up again every time. When no thread can be started, a job runs on the
// caller as it is handed in. Jobs are numbered from 0 in the order they are handed in.
template <class Result>
class ViewWorkers {
 public:
  explicit ViewWorkers(std::size_t count) {
    try {
      for (std::size_t i = 0; i < count; ++i) mThreads.emplace_back(&ViewWorkers::work, this);
    } catch (const std::system_error&) {
      // Fewer threads than asked for; the jobs go to those there are.
    }
  }
  ~ViewWorkers() {
    {
      const std::lock_guard<std::mutex> lock(mMutex);
      mStop = true;
    }
    mWake.notify_all();
    for (std::thread& thread : mThreads) thread.join();
  }
  ViewWorkers(const ViewWorkers&) = delete;
  ViewWorkers& operator=(const ViewWorkers&) = delete;

  std::future<Result> submit(std::packaged_task<Result()> job) {
    std::future<Result> result = job.get_future();
    if (mThreads.empty()) {
      job();
      return result;
    }
    {
      const std::lock_guard<std::mutex> lock(mMutex);
      mJobs.emplace_back(mSubmitted++, std::move(job));
    }
    mWake.notify_one();
    return result;
  }

  // While the caller draws, the workers are in the idle scheduling class: each view is drawn by
  // all of the driver's threads at once, and one of them waiting for a core delays that view and
  // every later one, while a lower priority (nice) alone still lets a worker keep a core that a
  // driver thread waking up wants. Once the caller has had to wait for them (the processors are
  // busy with more than this training), and when the class cannot be left again, they run in the
  // normal class at their lower priority, so that they go on however busy the machine is.
  // Called by the caller only.
  void setIdle(bool idle) {
    if (idle == mIdle || (idle && (mWaited || !idleClassIsReversible()))) return;
    mIdle = idle;
    mWaited = mWaited || !idle;
    sched_param parameters{};
    parameters.sched_priority = 0;
    for (std::thread& thread : mThreads) {
      ::pthread_setschedparam(thread.native_handle(), idle ? SCHED_IDLE : SCHED_OTHER, &parameters);
    }
  }

  // Runs the job of that number on the caller when no worker has taken it yet: a caller about to
  // wait for it does its work instead, so the views go on when the workers get no processor time.
  void runIfWaiting(std::size_t number) {
    std::packaged_task<Result()> job;
    {
      const std::lock_guard<std::mutex> lock(mMutex);
      if (mJobs.empty() || mJobs.front().first != number) return;
      job = std::move(mJobs.front().second);
      mJobs.pop_front();
    }
    job();
  }

 private:
  // Runs jobs until told to stop and none is left. Workers yield to the thread that draws (and
  // to the driver's threads): views are drawn one after another, and a view that waits for a
  // core delays every later one, while the workers catch up with the views drawn.
  void work() {
    const id_t thread = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0) ::setpriority(PRIO_PROCESS, thread, std::min(nice + 10, 19));
    for (;;) {
      std::packaged_task<Result()> job;
      {
        std::unique_lock<std::mutex> lock(mMutex);
        mWake.wait(lock, [this] { return mStop || !mJobs.empty(); });
        if (mJobs.empty()) return;
        job = std::move(mJobs.front().second);
        mJobs.pop_front();
      }
      job();
    }
  }

  std::mutex mMutex;
  std::condition_variable mWake;
  std::deque<std::pair<std::size_t, std::packaged_task<Result()>>> mJobs;
  std::size_t mSubmitted = 0;
  bool mIdle = false;
  bool mWaited = false;
  bool mStop = false;
  std::vector<std::thread> mThreads;
};

// Views drawn and not yet kept: two per worker, so that workers need not wait for the drawing,
// but beyond the four that the peak-memory estimate counts only as many as fit in a fixed
// allowance (a view's image, pyramid, blur workspace and mask take about 8 bytes a pixel).
std::size_t viewsInFlight(std::size_t workers, std::int64_t pixels) {
  constexpr std::int64_t kExtraViewBytes = std::int64_t{128} << 20;
  const std::int64_t extra = kExtraViewBytes / std::max<std::int64_t>(8 * pixels, 1);
  return std::min<std::size_t>(2 * workers, 4 + static_cast<std::size_t>(extra));
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

// What every view of one training shares: the training image and its size, the picture's corners
// in it, the border margin within which keypoints are kept, and the extraction settings.
struct ImageTargetTrainer::MvgViewSetup {
  const Lumetra::ImageGray* trainingImage = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<Eigen::Vector2d> imageCorners;
  std::int64_t borderX = 0;
  std::int64_t borderY = 0;
  bool debug = false;
  // The debug pictures written and those lost, with why the first was lost.
  mutable std::uint32_t debugPictures = 0;
  mutable std::vector<std::string> lostDebugPictures;
  mutable std::string lostDebugReason;
  // Each worker extracts on one thread: the parallel loops' start-up and barrier costs outweigh
  // their gain on one view, and the keypoints do not depend on the thread count.
  Lumetra::GridFeatureExtractor::Parameters parameters;
};

// The records of one view and what its debug picture shows.
struct ImageTargetTrainer::MvgViewResult {
  bool mapped = false;
  Eigen::Matrix3d homography;
  std::vector<TargetKeyPoint> records;
  Lumetra::ImageGray image;
  std::vector<Lumetra::Vec2i> viewPoints;
  std::vector<Lumetra::Vec2i> mappedPoints;
};

bool ImageTargetTrainer::trainMVG(const Lumetra::ImageGray& trainingImage, const Eigen::Vector2i& offset,
                                  const TargetGeometry& geometry, ImageTargetDetectableData& data) {
  mMvgFailure = MultipleViewGenerator::checkConfiguration(mConfiguration);
  if (!mMvgFailure.empty()) return false;
  MultipleViewGenerator generator(mConfiguration, mCamera);
  generator.loadConfiguration();
  MvgViewSetup setup;
  if (!makeMvgViewSetup(trainingImage, offset, geometry, setup)) return false;
  // New records go straight after the picture's own; a failed run takes them away again.
  std::vector<TargetKeyPoint>& records = data.mKeyPoints;
  const std::size_t pictureRecords = records.size();
  const bool rendered = renderAndMapViews(generator, setup, records);
  if (!setup.lostDebugPictures.empty()) {
    mReasons.push_back(fmt::format("{} of {} debug pictures (Config.MVG.Debug) could not be written into the working "
                                   "folder, {} first: {}",
                                   setup.lostDebugPictures.size(), setup.debugPictures,
                                   setup.lostDebugPictures.front(), setup.lostDebugReason));
  }
  if (!rendered) {
    mMvgFailure = generator.failure();
    records.resize(pictureRecords);
    return false;
  }
  OBRIN_LOG_INFO("Image Target Trainer (MVG) - {} keypoints were added from the synthetic views.",
                 records.size() - pictureRecords);
  return true;
}

bool ImageTargetTrainer::makeMvgViewSetup(const Lumetra::ImageGray& trainingImage, const Eigen::Vector2i& offset,
                                          const TargetGeometry& geometry, MvgViewSetup& setup) {
  // The picture's corners in the training image. Their target-plane partners are not used: a
  // view shows the training image on the rectangle, so the corners are projected from there.
  std::vector<Eigen::Vector3d> planePoints;
  if (!getCornerCorrespondences(geometry, offset, planePoints, setup.imageCorners)) {
    mMvgFailure = "the picture's place in the training image is unknown";
    return false;
  }
  setup.trainingImage = &trainingImage;
  setup.width = static_cast<std::int32_t>(trainingImage.width);
  setup.height = static_cast<std::int32_t>(trainingImage.height);
  setup.borderX = std::int64_t{offset.x()} + mConfiguration.borderThreshold.value;
  setup.borderY = std::int64_t{offset.y()} + mConfiguration.borderThreshold.value;
  setup.debug = mConfiguration.mvgDebug.value;
  setup.parameters = mMvgExtractorParameters;
  setup.parameters.numThreads = 1;
  return true;
}

// Reads only the trainer's settings and camera: views are worked on side by side.
ImageTargetTrainer::MvgViewResult ImageTargetTrainer::mapView(const MvgViewSetup& setup, const MvgView& view,
                                                             double aspect) const {
  MvgViewResult result;
  const std::vector<Eigen::Vector2d> viewCorners = projectImagePoints(
      view.pose, mCamera, setup.imageCorners, Eigen::Vector2i(setup.width, setup.height), aspect);
  Eigen::Matrix3d& h = result.homography;
  if (!estimateHomography(setup.imageCorners, viewCorners, h)) return result;
  const Eigen::FullPivLU<Eigen::Matrix3d> lu(h);
  if (lu.rank() < 3) return result;
  const Eigen::Matrix3d hInverse = lu.inverse();
  if (!hInverse.allFinite()) return result;
  result.mapped = true;
  if (setup.debug) result.image = view.image;

  for (const Lumetra::KeyPoint& kp : extractViewKeyPoints(view.image, &h, setup.parameters)) {
    const Eigen::Vector2d uv = applyHomography(hInverse, Eigen::Vector2d(kp.x, kp.y));
    std::int32_t u = 0;
    std::int32_t v = 0;
    if (!truncated(uv.x(), u) || !truncated(uv.y(), v)) continue;
    if (u < setup.borderX || u >= setup.width - setup.borderX || v < setup.borderY ||
        v >= setup.height - setup.borderY) {
      continue;
    }
    for (std::size_t l = 0; l < kp.descriptors.size(); ++l) {
      result.records.push_back(makeTargetKeyPoint(kp, l, uv, uv));
      if (setup.debug) {
        result.viewPoints.emplace_back(static_cast<std::int32_t>(kp.x), static_cast<std::int32_t>(kp.y));
        result.mappedPoints.emplace_back(u, v);
      }
    }
  }
  return result;
}

// Results are taken in view order, so records and debug pictures keep that order.
void ImageTargetTrainer::keepView(const MvgViewSetup& setup, const MvgViewResult& result,
                                  std::vector<TargetKeyPoint>& records) const {
  if (!result.mapped) return;
  records.insert(records.end(), result.records.begin(), result.records.end());
  if (!setup.debug) return;
  const std::string name = fmt::format("{}_MVG_{:05d}.png", mConfiguration.targetName.value, gDebugPictureCounter++);
  const Lumetra::ImageRGB side = debugPicture(result.image, *setup.trainingImage, result.viewPoints,
                                              result.mappedPoints, setup.imageCorners, result.homography);
  ++setup.debugPictures;
  // Written whole or not at all: a picture already there is replaced only by a complete one.
  if (Lumetra::saveImage(side, name, 0, 100)) return;
  OBRIN_LOG_ERROR("Failed to write {}.", name);
  if (setup.lostDebugPictures.empty()) setup.lostDebugReason = Lumetra::lastWriteFailure();
  if (setup.lostDebugReason.empty()) setup.lostDebugReason = "make room on its disk or allow writing there";
  setup.lostDebugPictures.push_back(name);
}

// Views are drawn on this thread, which owns the context, while workers extract the corners of
// the views drawn before; the views in flight are bounded, so only a few view images live at once.
bool ImageTargetTrainer::renderAndMapViews(MultipleViewGenerator& generator, const MvgViewSetup& setup,
                                           std::vector<TargetKeyPoint>& records) const {
  const std::size_t inFlight = viewsInFlight(viewExtractionThreads(), std::int64_t{setup.width} * setup.height);
  std::deque<std::future<MvgViewResult>> pending;
  std::size_t taken = 0;
  // Joined at the end of this function, before anything its jobs refer to goes.
  ViewWorkers<MvgViewResult> workers(std::min(viewExtractionThreads(), inFlight));
  const auto takeOldest = [&]() {
    workers.runIfWaiting(taken++);
    if (pending.front().wait_for(std::chrono::seconds(0)) != std::future_status::ready) workers.setIdle(false);
    keepView(setup, pending.front().get(), records);
    pending.pop_front();
  };
  workers.setIdle(true);
  const bool rendered = generator.run(Lumetra::convertGrayToRGB(*setup.trainingImage), [&](MvgView&& view) {
    if (pending.size() >= inFlight) takeOldest();
    const double aspect = static_cast<double>(generator.renderer().height()) / generator.renderer().width();
    pending.push_back(workers.submit(std::packaged_task<MvgViewResult()>([this, &setup, view = std::move(view), aspect] {
      return mapView(setup, view, aspect);
    })));
    workers.setIdle(true);
  });
  workers.setIdle(false);
  while (!pending.empty()) takeOldest();
  return rendered;
}

}  // namespace Obrin
