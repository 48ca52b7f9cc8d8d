// The image-target trainer on a real photograph at the training resolution, beside OpenCV's ORB
// with the same feature budget and pyramid depth.
#include "CameraCalibration.h"
#include "Configs.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* kPhoto = FORMWRIGHT_OPENCV_DATA "/aloeL.jpg";

// The photograph resized to 640 x 480 and stored as PNG in the temporary folder, so that the
// trainer reads it at the training resolution.
std::string trainingPicture() {
  static const std::string path = [] {
    cv::Mat gray = cv::imread(kPhoto, cv::IMREAD_GRAYSCALE);
    if (gray.empty()) return std::string();
    cv::Mat resized;
    cv::resize(gray, resized, cv::Size(640, 480), 0, 0, cv::INTER_AREA);
    const std::string out = (std::filesystem::temp_directory_path() / "formwright-bench-640x480.png").string();
    return cv::imwrite(out, resized) ? out : std::string();
  }();
  return path;
}

void BM_TrainImageTarget(benchmark::State& state) {
  const std::string picture = trainingPicture();
  if (picture.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  TrainingConfig config;
  config.objectPhysicalWidth.value = 0.4;
  config.objectPhysicalHeight.value = 0.3;
  std::size_t records = 0;
  for (auto _ : state) {
    Obrin::ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
    if (!trainer.train(picture, "Bench")) {
      state.SkipWithError("training failed");
      return;
    }
    records = trainer.getTarget("Bench")->mKeyPoints.size();
  }
  state.counters["records"] = static_cast<double>(records);
}

void BM_OpenCV_Orb4000(benchmark::State& state) {
  const std::string picture = trainingPicture();
  if (picture.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
  for (auto _ : state) {
    // Reading the picture is part of both rows.
    const cv::Mat gray = cv::imread(picture, cv::IMREAD_GRAYSCALE);
    cv::Ptr<cv::ORB> orb = cv::ORB::create(4000, 1.2f, 8);
    orb->detectAndCompute(gray, cv::noArray(), keypoints, descriptors);
    benchmark::DoNotOptimize(descriptors.data);
  }
  state.counters["keypoints"] = static_cast<double>(keypoints.size());
}

}  // namespace

BENCHMARK(BM_TrainImageTarget)->Name("BM_TrainImageTarget/640x480")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV_Orb4000)->Name("BM_OpenCV_Orb/640x480")->UseRealTime()->Unit(benchmark::kMillisecond);
