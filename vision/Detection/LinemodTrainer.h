#pragma once
// Trains LINEMOD-style template pyramids of a CAD model from sampled camera poses.
#include "Detection/LinemodTemplate.h"
#include "Detection/PinholeCamera.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace Lumetra::Linemod {

class LinemodTrainer {
 public:
  struct Settings {
    /// Two blocks of detector settings that training carries along unread.
    struct CarriedBlock {
      float a = 40.0f;
      float b = 55.0f;
      std::uint8_t c = 1;
      std::int32_t d = 0;
      std::uint8_t e = 0;
      std::uint8_t f = 1;
    };

    float carriedFloat0 = 60.0f;
    float minRadius = 0.3f;         ///< smallest camera distance from the centroid
    float maxRadius = 0.6f;         ///< largest camera distance; also the object-size check
    std::int32_t numTemplates = 1000;
    std::int32_t selectionMode = 0;  ///< 0 sampling order, 1 farthest-point order
    std::uint64_t numFeatures = 127;
    std::uint32_t seed = 0;
    bool seedGiven = false;
    CarriedBlock carriedBlock0{};
    CarriedBlock carriedBlock1{40.0f, 55.0f, 1, 7, 0, 1};
    std::vector<std::vector<std::int32_t>> levelParameters{{4, 8, 20}, {4, 10}};
    std::uint8_t carriedBytes[4] = {0, 0, 3, 4};
    std::uint64_t carriedCount = 50;
    float carriedFloat1 = 0.1f;
    std::int32_t carriedInt0 = 4;
    std::int32_t carriedInt1 = 100;
    std::int32_t oversampling = 2;
    bool carriedFlag = false;
    std::uint8_t carriedByte = 0;
    float elevationMin = 0.17453294f;  ///< radians (10 degrees)
    float elevationMax = 1.2217306f;   ///< radians (70 degrees)
    float inPlaneMin = -0.34906587f;   ///< radians (-20 degrees)
    float inPlaneMax = 0.34906587f;    ///< exclusive, radians (20 degrees)
    float inPlaneStep = 0.17453294f;   ///< radians (10 degrees)
  };

  explicit LinemodTrainer(const Settings& settings) : mSettings(settings) {}

  const Settings& settings() const { return mSettings; }
  const std::map<std::string, std::vector<TemplatePyramid>>& templates() const { return mTemplates; }
  const std::unordered_map<std::string, PinholeCamera>& cameras() const { return mCameras; }

 private:
  Settings mSettings;
  std::map<std::string, std::vector<TemplatePyramid>> mTemplates;
  std::unordered_map<std::string, PinholeCamera> mCameras;
};

}  // namespace Lumetra::Linemod
