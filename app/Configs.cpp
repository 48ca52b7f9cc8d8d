#include "Configs.h"


#define FORMWRIGHT_INIT_DEFAULT(member, type, key, initial, text) , member(registry, key, type(initial), text)
#define FORMWRIGHT_INIT_COPY(member, type, key, initial, text) , member(registry, other.member)

TrainingConfig::TrainingConfig() : ConfigBase() FORMWRIGHT_TRAINING_CONFIG_KEYS(FORMWRIGHT_INIT_DEFAULT) {}
TrainingConfig::TrainingConfig(const TrainingConfig& other)
    : ConfigBase(other.document) FORMWRIGHT_TRAINING_CONFIG_KEYS(FORMWRIGHT_INIT_COPY) {}

BatchConfig::BatchConfig() : ConfigBase() FORMWRIGHT_BATCH_CONFIG_KEYS(FORMWRIGHT_INIT_DEFAULT) {}
BatchConfig::BatchConfig(const BatchConfig& other)
    : ConfigBase(other.document) FORMWRIGHT_BATCH_CONFIG_KEYS(FORMWRIGHT_INIT_COPY) {}

CalibrationConfig::CalibrationConfig() : ConfigBase() FORMWRIGHT_CALIBRATION_CONFIG_KEYS(FORMWRIGHT_INIT_DEFAULT) {}
CalibrationConfig::CalibrationConfig(const CalibrationConfig& other)
    : ConfigBase(other.document) FORMWRIGHT_CALIBRATION_CONFIG_KEYS(FORMWRIGHT_INIT_COPY) {}

