// The image-target trainer on a real photograph at the training resolution, beside OpenCV's ORB
// with the same feature budget and pyramid depth; the same training with synthetic views, and
// one synthetic view alone.
#include "CameraCalibration.h"
#include "Configs.h"
#include "Image/ImageIO.h"
#include "ObjectTracker/Trainer/Image/ImageTargetTrainer.h"
#include "ObjectTracker/Trainer/Image/MultipleViewRenderer.h"

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <ctime>
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

// Processor time of every thread of the process (the renderer's and the extractor's included).
double processCpuMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// Whole trainings of the photograph with the configuration; records counts the trained keypoints.
// A first training before the timed ones pays what a process sets up once (the window and
// programs of the synthetic views among it).
void trainLoop(benchmark::State& state, const TrainingConfig& config) {
  const std::string picture = trainingPicture();
  if (picture.empty()) {
    state.SkipWithError("photograph missing");
    return;
  }
  Obrin::ImageTargetTrainer(config, CameraCalibration::builtIn()).train(picture, "Bench");
  std::size_t records = 0;
  const double cpuStart = processCpuMilliseconds();
  for (auto _ : state) {
    Obrin::ImageTargetTrainer trainer(config, CameraCalibration::builtIn());
    if (!trainer.train(picture, "Bench")) {
      state.SkipWithError("training failed");
      return;
    }
    records = trainer.getTarget("Bench")->mKeyPoints.size();
  }
  state.counters["records"] = static_cast<double>(records);
  state.counters["all_threads_ms"] = (processCpuMilliseconds() - cpuStart) / static_cast<double>(state.iterations());
}

TrainingConfig benchConfig() {
  TrainingConfig config;
  config.objectPhysicalWidth.value = 0.4;
  config.objectPhysicalHeight.value = 0.3;
  return config;
}

void BM_TrainImageTarget(benchmark::State& state) { trainLoop(state, benchConfig()); }

// With synthetic views of the pose table named by the argument (needs a display).
void BM_TrainImageTargetMvg(benchmark::State& state, const char* density) {
  TrainingConfig config = benchConfig();
  config.mvgEnabled.value = true;
  config.mvgRenderDensity.value = density;
  trainLoop(state, config);
  if (state.counters["records"] <= 5000) state.SkipWithError("no synthetic keypoints (no display?)");
}

// One synthetic view of the photograph, 640 x 480: view matrix, drawing and read-back.
void BM_MvgRender(benchmark::State& state) {
  const Lumetra::ImageGray gray = Lumetra::loadImage(trainingPicture(), false);
  Obrin::MultipleViewRenderer renderer;
  if (gray.isEmpty() || !renderer.initWindow(640, 480, false) ||
      !renderer.setupObject(Lumetra::convertGrayToRGB(gray)) ||
      !renderer.setProjection(Lumetra::PinholeCamera(640, 480, 321.2f, 320.0f, 320.0f, 240.0f), 100.0f, 1e-5f)) {
    state.SkipWithError("no renderer (no display?)");
    return;
  }
  const double cpuStart = processCpuMilliseconds();
  for (auto _ : state) {
    renderer.setView(Eigen::Vector3f(0.3286f, 0.0f, 1.1317f), Eigen::Vector3f::Zero());
    renderer.render();
    benchmark::DoNotOptimize(renderer.getImage().data);
  }
  // The software rasteriser draws on threads of its own: their time is in this figure only.
  state.counters["all_threads_ms"] = (processCpuMilliseconds() - cpuStart) / static_cast<double>(state.iterations());
}

// What a training pays before its first view once the process has drawn before: the renderer
// takes over the window, context and programs left by the last one and uploads the picture.
void BM_MvgSetUp(benchmark::State& state) {
  const Lumetra::ImageRGB picture = Lumetra::convertGrayToRGB(Lumetra::loadImage(trainingPicture(), false));
  for (auto _ : state) {
    Obrin::MultipleViewRenderer renderer;
    if (picture.isEmpty() || !renderer.initWindow(640, 480, false) || !renderer.setupObject(picture)) {
      state.SkipWithError("no renderer (no display?)");
      return;
    }
  }
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

// On a shared machine the fastest repetition is the steadiest figure.
double fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

}  // namespace

BENCHMARK(BM_TrainImageTarget)
    ->Name("BM_TrainImageTarget/640x480")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
BENCHMARK_CAPTURE(BM_TrainImageTargetMvg, MIN, "MIN")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
BENCHMARK_CAPTURE(BM_TrainImageTargetMvg, MODERATE, "MODERATE")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_MvgRender)->Name("BM_MvgRender/640x480")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MvgSetUp)->Name("BM_MvgSetUp/640x480")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV_Orb4000)->Name("BM_OpenCV_Orb/640x480")->UseRealTime()->Unit(benchmark::kMillisecond);
