#pragma once
// The estimated peak memory of training one image target, in parts, each with the setting that
// drives it: the estimate the settings check refuses a training by.
#include "app/Configs.h"

#include <string>
#include <vector>

namespace Obrin {

// A part of the estimated peak memory of a training and the setting that drives it, with its value
// ("" for the training resolution, which every part grows with).
struct PeakPart {
  std::string setting;
  double bytes;
};

/// The parts of the estimate for these settings; the first is the training resolution's.
std::vector<PeakPart> peakParts(const TrainingConfig& c);

}  // namespace Obrin
