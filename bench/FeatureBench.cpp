// Feature module against OpenCV 4 on real photographs.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "Feature/FastCornerDetector.h"

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

}  // namespace

BENCHMARK_CAPTURE(BM_Fast9Suppressed, 640x480, 640, 480);
BENCHMARK_CAPTURE(BM_OpenCV_Fast9, 640x480, 640, 480);
BENCHMARK_CAPTURE(BM_Fast9Suppressed, 1920x1080, 1920, 1080);
BENCHMARK_CAPTURE(BM_OpenCV_Fast9, 1920x1080, 1920, 1080);
