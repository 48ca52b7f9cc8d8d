// Image operations against their OpenCV counterparts. Rows are named BM_<Operation>/<w>x<h>
// for ours and BM_OpenCV_<Operation>/<w>x<h> for the reference. Both sides run on one thread
// (OpenCV's own thread pool is switched off), on a photograph scaled to the row's size.
#include "Image/GaussianBlur.h"
#include "Image/ImageOP.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Lumetra;

constexpr double kPyramidRatio = 0.833299994468689;

cv::Mat photograph(int width, int height) {
  cv::Mat gray = cv::imread(std::string(FORMWRIGHT_OPENCV_DATA) + "/building.jpg", cv::IMREAD_GRAYSCALE);
  if (gray.empty()) {
    gray.create(height, width, CV_8UC1);
    cv::randu(gray, 0, 256);
    return gray;
  }
  cv::Mat scaled;
  cv::resize(gray, scaled, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  return scaled;
}

ImageGray toImage(const cv::Mat& m) {
  ImageGray img;
  img.create(Vec2u(static_cast<std::uint32_t>(m.cols), static_cast<std::uint32_t>(m.rows)));
  for (int y = 0; y < m.rows; ++y) std::memcpy(img.row(static_cast<std::uint32_t>(y)), m.ptr(y), static_cast<std::size_t>(m.cols));
  return img;
}

ImageGray blank(std::uint32_t w, std::uint32_t h) {
  ImageGray img;
  img.create(Vec2u(w, h));
  return img;
}

void setRate(benchmark::State& state, int w, int h) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * w * h);
}

// ---- Reductions

void ourHalf(benchmark::State& state, int w, int h) {
  const ImageGray src = toImage(photograph(w, h));
  ImageGray dst = blank(static_cast<std::uint32_t>(w / 2), static_cast<std::uint32_t>(h / 2));
  for (auto _ : state) {
    downsampleHalf(src, dst);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

void cvHalf(benchmark::State& state, int w, int h) {
  const cv::Mat src = photograph(w, h);
  cv::Mat dst(h / 2, w / 2, CV_8UC1);
  for (auto _ : state) {
    cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_AREA);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

void ourTwoThirds(benchmark::State& state, int w, int h) {
  const ImageGray src = toImage(photograph(w, h));
  ImageGray dst = blank(static_cast<std::uint32_t>(w * 66 / 100), static_cast<std::uint32_t>(h * 66 / 100));
  for (auto _ : state) {
    downsampleTwoThirds(src, dst);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

void cvTwoThirds(benchmark::State& state, int w, int h) {
  const cv::Mat src = photograph(w, h);
  cv::Mat dst(h * 66 / 100, w * 66 / 100, CV_8UC1);
  for (auto _ : state) {
    cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_LINEAR);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

// The bilinear rows reduce by the pyramid's usual ratio.
int bilinearSize(int n) { return static_cast<int>(n * kPyramidRatio); }

void ourBilinear(benchmark::State& state, int w, int h) {
  const ImageGray src = toImage(photograph(w, h));
  ImageGray dst = blank(static_cast<std::uint32_t>(bilinearSize(w)), static_cast<std::uint32_t>(bilinearSize(h)));
  for (auto _ : state) {
    resizeBilinear(src, dst);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

void cvBilinear(benchmark::State& state, int w, int h) {
  const cv::Mat src = photograph(w, h);
  cv::Mat dst(bilinearSize(h), bilinearSize(w), CV_8UC1);
  for (auto _ : state) {
    cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_LINEAR);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

// ---- Blur: 5 taps, sigma 1, intermediates reused between calls as the trainer does.

void ourBlur(benchmark::State& state, int w, int h, std::uint8_t fixedPoint) {
  const ImageGray src = toImage(photograph(w, h));
  ImageGray dst = blank(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h));
  FilterWorkspace workspace;
  for (auto _ : state) {
    gaussianBlur(src, dst, 5, 1.0, fixedPoint, {&workspace, 1});
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

void cvBlur(benchmark::State& state, int w, int h) {
  const cv::Mat src = photograph(w, h);
  cv::Mat dst(h, w, CV_8UC1);
  for (auto _ : state) {
    cv::GaussianBlur(src, dst, cv::Size(5, 5), 1.0, 1.0);
    benchmark::DoNotOptimize(dst.data);
  }
  setRate(state, w, h);
}

// ---- Pyramid: 8 levels at the default ratio.

void ourPyramid(benchmark::State& state, int w, int h) {
  const ImageGray src = toImage(photograph(w, h));
  std::vector<ImageGray> levels;
  for (auto _ : state) {
    levels.clear();
    BuildImagePyramid(src, levels, 8, kPyramidRatio);
    benchmark::DoNotOptimize(levels.data());
  }
  setRate(state, w, h);
}

void cvPyramid(benchmark::State& state, int w, int h) {
  const cv::Mat src = photograph(w, h);
  std::vector<cv::Mat> levels;
  for (auto _ : state) {
    // Emptied before every build, as the trainer empties its pyramid.
    levels.assign(8, cv::Mat());
    levels[0] = src;
    for (int i = 1; i < 8; ++i) {
      const cv::Size size(static_cast<int>(levels[i - 1].cols * kPyramidRatio),
                          static_cast<int>(levels[i - 1].rows * kPyramidRatio));
      cv::resize(levels[i - 1], levels[i], size, 0, 0, cv::INTER_LINEAR);
    }
    benchmark::DoNotOptimize(levels.data());
  }
  setRate(state, w, h);
}

const int registered = [] {
  cv::setNumThreads(1);
  struct Size {
    int w, h;
  };
  for (const Size s : {Size{640, 480}, Size{1920, 1080}}) {
    const std::string size = "/" + std::to_string(s.w) + "x" + std::to_string(s.h);
    const int w = s.w, h = s.h;
    benchmark::RegisterBenchmark(("BM_HalfDownsample" + size).c_str(), [=](benchmark::State& st) { ourHalf(st, w, h); });
    benchmark::RegisterBenchmark(("BM_OpenCV_HalfDownsample" + size).c_str(), [=](benchmark::State& st) { cvHalf(st, w, h); });
    benchmark::RegisterBenchmark(("BM_TwoThirdsDownsample" + size).c_str(), [=](benchmark::State& st) { ourTwoThirds(st, w, h); });
    benchmark::RegisterBenchmark(("BM_OpenCV_TwoThirdsDownsample" + size).c_str(), [=](benchmark::State& st) { cvTwoThirds(st, w, h); });
    benchmark::RegisterBenchmark(("BM_Bilinear" + size).c_str(), [=](benchmark::State& st) { ourBilinear(st, w, h); });
    benchmark::RegisterBenchmark(("BM_OpenCV_Bilinear" + size).c_str(), [=](benchmark::State& st) { cvBilinear(st, w, h); });
    benchmark::RegisterBenchmark(("BM_GaussianBlurFixed" + size).c_str(), [=](benchmark::State& st) { ourBlur(st, w, h, 1); });
    benchmark::RegisterBenchmark(("BM_OpenCV_GaussianBlurFixed" + size).c_str(), [=](benchmark::State& st) { cvBlur(st, w, h); });
    benchmark::RegisterBenchmark(("BM_GaussianBlurFloat" + size).c_str(), [=](benchmark::State& st) { ourBlur(st, w, h, 0); });
    benchmark::RegisterBenchmark(("BM_OpenCV_GaussianBlurFloat" + size).c_str(), [=](benchmark::State& st) { cvBlur(st, w, h); });
    benchmark::RegisterBenchmark(("BM_Pyramid" + size).c_str(), [=](benchmark::State& st) { ourPyramid(st, w, h); });
    benchmark::RegisterBenchmark(("BM_OpenCV_Pyramid" + size).c_str(), [=](benchmark::State& st) { cvPyramid(st, w, h); });
  }
  return 0;
}();

}  // namespace
