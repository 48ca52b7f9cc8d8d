#pragma once
// The three configurations that the trainer reads from JSON files. Each key is one
// Parameter member, built and registered in the order of its table below.
#include "Parameter.h"


// X(member, C++ type, key, default, description)
#define FORMWRIGHT_TRAINING_CONFIG_KEYS(X)                                                                        \
  X(targetType, std::string, "Config.Target.Type", "Image", "Type of target to train")                            \
  X(targetName, std::string, "Config.Target.Name", "SampleTarget", "Name of target to train")                     \
  X(trainingResolution, std::vector<std::int32_t>, "Image.Training.Resolution", (std::vector<std::int32_t>{640, 480}), \
    "Resolution of image target training process")                                                                \
  X(fastNumber, std::int32_t, "Image.FAST.Number", 4000, "Number of feature to extract per image")                \
  X(fastThreshold, std::int32_t, "Image.FAST.Threshold", 20, "Fast corner detection threshold")                   \
  X(borderThreshold, std::int32_t, "Image.Border.Threshold", 0, "Border threshold to reject unmeaningful point")   \
  X(pyramidLevel, std::int32_t, "Image.Pyramid.Level", 8, "Desired level for multiple scale extension")           \
  X(pyramidResizeRatio, double, "Image.Pyramid.ResizeRatio", static_cast<double>(0.8333f),                        \
    "Desired relative scale of pyramid image")                                                                    \
  X(gridRow, std::int32_t, "Image.Grid.Row", 3, "Row grid number for image binning")                              \
  X(gridCol, std::int32_t, "Image.Grid.Col", 4, "Column grid number for image binning")                           \
  X(mvgRenderDistScale, double, "MVG.Render.DistScale", 80.0, "Shrink multiplier for camera coordinates")         \
  X(mvgRenderZShift, double, "MVG.Render.ZShift", static_cast<double>(0.6f),                                      \
    "Absolute z-value shift for camera to object to avoid extreme view angle")                                    \
  X(mvgRenderZNear, double, "MVG.Render.ZNear", static_cast<double>(1e-5f),                                       \
    "z-value for Near plane of the rendering frustum")                                                            \
  X(mvgRenderZFar, double, "MVG.Render.ZFar", 100.0, "z-value for Far plane of the rendering frustum")            \
  X(mvgRenderDebugWindow, bool, "MVG.Render.DebugWindow", false, "(Debug feature) Enable or disable OpenGL window") \
  X(mvgRenderDensity, std::string, "MVG.Render.Density", "MIN",                                                   \
    "(Temporary feature) Pose density of rendered training images, available by \"MIN\", \"MODERATE\",\"MAX\"")    \
  X(mvgEnabled, bool, "Config.MVG.Enabled", false, "Multiple view generator enabled")                             \
  X(mvgDebug, bool, "Config.MVG.Debug", false, "Multiple view generator debug output enabled")                    \
  X(mvgExtractorNumber, std::int32_t, "MVGTrainer.Extractor.Number", 2000, "Number of features to extract per image") \
  X(mvgExtractorThreshold, std::int32_t, "MVGTrainer.Extractor.Threshold", 65, "Fast corner detection threshold") \
  X(mvgExtractorMinDist, std::int32_t, "MVGTrainer.Extractor.MinDist", 5,                                         \
    "Minimum distance for feature point distribution")                                                            \
  X(mvgExtractorPyramidLevel, std::int32_t, "MVGTrainer.Extractor.PyramidLevel", 3, "Desired pyramid level of MVG") \
  X(mvgExtractorPyramidRatio, double, "MVGTrainer.Extractor.PyramidRatio", static_cast<double>(0.66f),            \
    "Desired pyramid resize scale of MVG")                                                                        \
  X(mvgGridRow, std::int32_t, "MVGTrainer.Grid.Row", 6, "Row grid number for image binning of MVG")               \
  X(mvgGridCol, std::int32_t, "MVGTrainer.Grid.Col", 8, "Column grid number for image binning of MVG")            \
  X(qrPatternPixelSize, std::int32_t, "QRCode.Pattern.PixelSize", 15, "Single size of QR Code pattern in pixel")  \
  X(qrPhysicalSize, double, "QRCode.PhysicalSize", 1.0, "Physical size of the printed QR Code in meter")          \
  X(objectPhysicalWidth, double, "Object.Physical.Width", 1.0, "Set object width information by metric")          \
  X(objectPhysicalHeight, double, "Object.Physical.Height", 1.0, "Set object height information by metric")       \
  X(cadUprightVector, std::vector<double>, "CAD.UprightVector", (std::vector<double>{0.0, 1.0, 0.0}),             \
    "Upright vector of the model")                                                                                \
  X(cadDetectionDistanceRange, std::vector<double>, "CAD.Detection.DistanceRange",                                \
    (std::vector<double>{static_cast<double>(0.3f), 0.5}), "Minimum and maximum distance in meter for detection.") \
  X(cadDetectionNumTrainingViews, std::int32_t, "CAD.Detection.NumTrainingViews", 1000,                           \
    "Number of training views that should be generated for detection.")                                           \
  X(cadDetectionElevationAngleRange, std::vector<double>, "CAD.Detection.ElevationAngleRange",                    \
    (std::vector<double>{10.0, 70.0}), "Minimum and maximum elevation angles in degree for training detector.")   \
  X(cadModelContinuousSymmetries, std::string, "CAD.Model.ContinuousSymmetries", "",                              \
    "Rotational invariant major-axis of the object. I.e. upright cone `Z`, sphere `XYZ`.")                        \
  X(cadModelDiscreteSymmetries, std::vector<double>, "CAD.Model.DiscreteSymmetries", (std::vector<double>{}),     \
    "Discrete axis-aligned invariant rotations of the object. I.e [180, 0, 180], means the object is invariant "  \
    "to a 180 deg rotation around the x axis and z axi.")

#define FORMWRIGHT_BATCH_CONFIG_KEYS(X)                                                                           \
  X(targetType, std::string, "Batch.Target.Type", "Image", "Type of target to be trained in batch. e.g. Image or QRCode") \
  X(targetName, std::string, "Batch.Target.Name", "TargetName", "Target name to train")                           \
  X(imagePath, std::string, "Batch.Image.Path", "../../resource/ImageTarget/image/",                              \
    "Path of the input target file to train")                                                                     \
  X(imageFiles, std::vector<std::string>, "Batch.Image.Files", (std::vector<std::string>{""}),                    \
    "String array for input target images")                                                                       \
  X(configFile, std::string, "Batch.Config.File", "../../resource/ImageTarget/TrainingConfig_Batch.json",         \
    "Configuration file to train")                                                                                \
  X(qrCodeTargetNum, std::int32_t, "Batch.QRCodeTarget.Num", 0, "Target number to generate QRCode target")

#define FORMWRIGHT_CALIBRATION_CONFIG_KEYS(X)                                                                     \
  X(resolution, std::vector<std::int32_t>, "Resolution", (std::vector<std::int32_t>{0, 0}), "Resolution")         \
  X(focalLength, std::vector<double>, "FocalLength", (std::vector<double>{0.0, 0.0}), "Focal Length")             \
  X(principalPoint, std::vector<double>, "PrincipalPoint", (std::vector<double>{0.0, 0.0}), "Principal Point")    \
  X(distortion, std::vector<double>, "Distortion", (std::vector<double>{0.0, 0.0, 0.0, 0.0, 0.0}), "Lens distortion")

#define FORMWRIGHT_DECLARE_MEMBER(member, type, key, initial, text) Parameter<type> member;

/// The settings of one training run.
struct TrainingConfig : ConfigBase {
  FORMWRIGHT_TRAINING_CONFIG_KEYS(FORMWRIGHT_DECLARE_MEMBER)
  TrainingConfig();
  TrainingConfig(const TrainingConfig& other);
  TrainingConfig& operator=(const TrainingConfig&) = delete;
};

/// The settings of a batch run.
struct BatchConfig : ConfigBase {
  FORMWRIGHT_BATCH_CONFIG_KEYS(FORMWRIGHT_DECLARE_MEMBER)
  BatchConfig();
  BatchConfig(const BatchConfig& other);
  BatchConfig& operator=(const BatchConfig&) = delete;
};

/// The contents of a camera-calibration file.
struct CalibrationConfig : ConfigBase {
  FORMWRIGHT_CALIBRATION_CONFIG_KEYS(FORMWRIGHT_DECLARE_MEMBER)
  CalibrationConfig();
  CalibrationConfig(const CalibrationConfig& other);
  CalibrationConfig& operator=(const CalibrationConfig&) = delete;
};

