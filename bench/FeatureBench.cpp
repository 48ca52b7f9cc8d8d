// Feature module against OpenCV 4 on real photographs.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "Feature/BinaryDescriptor.h"
#include "Feature/FastCornerDetector.h"
#include "Feature/GridFeatureExtractor.h"
#include "Image/ImageOP.h"

namespace {

const char* kPhoto = FORMWRIGHT_OPENCV_DATA "/aloeL.jpg";

// The photograph in gray, resized to the size.
cv::Mat photo(int width, int height) {
  cv::Mat gray = cv::imread(kPhoto, cv::IMREAD_GRAYSCALE);
  if (gray.empty()) return cv::Mat();
  cv::Mat resized;
  cv::resize(gray, resized, cv::Size(width, height), 0, 0, cv::INTER_AREA);
  return resized;
}

Lumetra::ImageGray toImage(const cv::Mat& mat) {
  Lumetra::ImageGray image;
  image.create(Lumetra::Vec2u(static_cast<std::uint32_t>(mat.cols), static_cast<std::uint32_t>(mat.rows)));
  for (int y = 0; y < mat.rows; ++y) std::memcpy(image.row(static_cast<std::uint32_t>(y)), mat.ptr(y), static_cast<std::size_t>(mat.cols));
  return image;
}

void BM_Fast9Suppressed(benchmark::State& state, int width, int height) {
  const cv::Mat mat = photo(width, height);
  if (mat.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  const Lumetra::ImageGray image = toImage(mat);
  Lumetra::FastCornerDetector detector;
  for (auto _ : state) {
    detector.runAVX2(image, 20, true);
    benchmark::DoNotOptimize(detector.cornersSuppressed.data());
  }
  state.counters["corners"] = static_cast<double>(detector.cornersSuppressed.size());
}

void BM_OpenCV_Fast9(benchmark::State& state, int width, int height) {
  const cv::Mat mat = photo(width, height);
  if (mat.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  std::vector<cv::KeyPoint> keypoints;
  for (auto _ : state) {
    keypoints.clear();
    cv::FAST(mat, keypoints, 20, true, cv::FastFeatureDetector::TYPE_9_16);
    benchmark::DoNotOptimize(keypoints.data());
  }
  state.counters["corners"] = static_cast<double>(keypoints.size());
}

// Up to 2000 FAST corners at least 32 pixels from every edge (so that OpenCV keeps them all).
std::vector<cv::Point> describablePositions(const Lumetra::ImageGray& image) {
  Lumetra::FastCornerDetector detector;
  detector.runAVX2(image, 20, true);
  std::vector<cv::Point> positions;
  for (const Lumetra::Corner& c : detector.cornersSuppressed) {
    if (c.x < 32 || c.y < 32 || c.x >= static_cast<int>(image.width) - 32 || c.y >= static_cast<int>(image.height) - 32) continue;
    positions.emplace_back(c.x, c.y);
    if (positions.size() == 2000) break;
  }
  return positions;
}

void BM_Descriptors(benchmark::State& state) {
  const cv::Mat mat = photo(640, 480);
  if (mat.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  const Lumetra::ImageGray image = toImage(mat);
  const std::vector<cv::Point> positions = describablePositions(image);
  Lumetra::RotatedPatternTable table;
  Lumetra::buildRotatedPatterns(table, true);
  std::vector<Lumetra::BinaryDescriptor> out(positions.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < positions.size(); ++i) {
      Lumetra::computeRotatedBinaryDescriptor(table, image, Lumetra::Vec2i(positions[i].x, positions[i].y), out[i]);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["keypoints"] = static_cast<double>(positions.size());
}

void BM_OpenCV_OrbCompute(benchmark::State& state) {
  const cv::Mat mat = photo(640, 480);
  if (mat.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  const std::vector<cv::Point> positions = describablePositions(toImage(mat));
  std::vector<cv::KeyPoint> original;
  for (const cv::Point& p : positions) original.emplace_back(cv::Point2f(static_cast<float>(p.x), static_cast<float>(p.y)), 31.0f);
  cv::Ptr<cv::ORB> orb = cv::ORB::create(2000, 1.2f, 1);
  cv::Mat descriptors;
  std::vector<cv::KeyPoint> keypoints;
  for (auto _ : state) {
    keypoints = original;
    orb->compute(mat, keypoints, descriptors);
    benchmark::DoNotOptimize(descriptors.data);
  }
  state.counters["keypoints"] = static_cast<double>(keypoints.size());
}

void BM_GridExtractor(benchmark::State& state) {
  const cv::Mat mat = photo(640, 480);
  if (mat.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  const Lumetra::ImageGray image = toImage(mat);
  const double ratio = 0.8333;
  Lumetra::ImagePyramid pyramid(8, ratio);
  double s = 1.0, inv = 1.0;
  for (int l = 0; l < 8; ++l) {
    pyramid.scales.push_back(s);
    pyramid.inverseScales.push_back(inv);
    s *= ratio;
    inv /= ratio;
  }
  Lumetra::BuildImagePyramid(image, pyramid.levels, 8, ratio);
  auto extractor = Lumetra::GridFeatureExtractor::create();
  Lumetra::GridFeatureExtractor::Parameters parameters;
  parameters.numCorners = 2000;
  parameters.cols = 4;
  parameters.rows = 3;
  extractor->setParameters(parameters);
  extractor->configure(640, 480, 0, 0);
  for (auto _ : state) {
    extractor->detect(pyramid);
    benchmark::DoNotOptimize(extractor->keyPoints().data());
  }
  state.counters["keypoints"] = static_cast<double>(extractor->numKeyPoints());
}

void BM_OpenCV_Orb(benchmark::State& state) {
  const cv::Mat mat = photo(640, 480);
  if (mat.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  cv::Ptr<cv::ORB> orb = cv::ORB::create(2000, 1.2f, 8);
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  for (auto _ : state) {
    keypoints.clear();
    orb->detectAndCompute(mat, cv::noArray(), keypoints, descriptors);
    benchmark::DoNotOptimize(descriptors.data);
  }
  state.counters["keypoints"] = static_cast<double>(keypoints.size());
}

}  // namespace

BENCHMARK_CAPTURE(BM_Fast9Suppressed, 640x480, 640, 480);
BENCHMARK_CAPTURE(BM_OpenCV_Fast9, 640x480, 640, 480);
BENCHMARK_CAPTURE(BM_Fast9Suppressed, 1920x1080, 1920, 1080);
BENCHMARK_CAPTURE(BM_OpenCV_Fast9, 1920x1080, 1920, 1080);
BENCHMARK(BM_Descriptors);
BENCHMARK(BM_OpenCV_OrbCompute);
BENCHMARK(BM_GridExtractor)->UseRealTime();
BENCHMARK(BM_OpenCV_Orb)->UseRealTime();
