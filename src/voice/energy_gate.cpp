#include "voice/energy_gate.hpp"

#include <algorithm>
#include <cmath>

namespace parley::voice {

EnergyGate::EnergyGate(float noiseFloorDB) : EnergyGate(Config{}, noiseFloorDB) {}

EnergyGate::EnergyGate(Config config, float noiseFloorDB)
    : config_(config), noiseFloorDB_(noiseFloorDB) {}

EnergyGate::Event EnergyGate::process(float levelDB, bool holdFloor) {
  const float level = std::isfinite(levelDB) ? levelDB : config_.silenceFloorDB;
  lastLevelDB_ = level;

  if (!primed_) {
    noiseFloorDB_ = std::max(level, config_.silenceFloorDB);
    primed_ = true;
  }

  Event result = Event::none;
  if (!isActive_) {
    if (level > noiseFloorDB_ + config_.onsetOverFloorDB) {
      ++aboveCount_;
      if (aboveCount_ >= config_.onsetFrames) {
        // The onset frame is speech: it must not pull the floor up.
        isActive_ = true;
        aboveCount_ = 0;
        belowCount_ = 0;
        return Event::onset;
      }
    } else {
      aboveCount_ = 0;
    }
  } else {
    if (level >= noiseFloorDB_ + config_.releaseOverFloorDB) {
      belowCount_ = 0;
      return Event::none;
    }
    ++belowCount_;
    if (belowCount_ < config_.releaseFrames)
      return Event::none;
    isActive_ = false;
    aboveCount_ = 0;
    belowCount_ = 0;
    result = Event::release;
  }

  if (holdFloor || level <= config_.silenceFloorDB)
    return result;
  const float alpha = level < noiseFloorDB_ ? config_.floorDownAlpha : config_.floorUpAlpha;
  noiseFloorDB_ = std::max(noiseFloorDB_ + (level - noiseFloorDB_) * alpha, config_.silenceFloorDB);
  return result;
}

void EnergyGate::reset(std::optional<float> noiseFloorDB) {
  if (noiseFloorDB) {
    noiseFloorDB_ = *noiseFloorDB;
    primed_ = false;
  }
  isActive_ = false;
  aboveCount_ = 0;
  belowCount_ = 0;
}

float EnergyGate::levelDB(std::span<const float> samples, float floorDB) {
  if (samples.empty())
    return floorDB;
  float sum = 0.0f;
  for (const float sample : samples)
    sum += sample * sample;
  const float mean = sum / static_cast<float>(samples.size());
  // Also catches NaN samples: a NaN mean is not greater than zero.
  if (!(mean > 0.0f))
    return floorDB;
  return std::max(20.0f * std::log10(std::sqrt(mean)), floorDB);
}

float EnergyGate::normalizedLevel(float levelDB, float floorDB) {
  if (!std::isfinite(levelDB))
    return 0.0f;
  // A floor at or above full scale (or not a number) leaves no range to
  // measure in.
  if (!(floorDB < 0.0f) || !std::isfinite(floorDB))
    return 0.0f;
  const float clamped = std::clamp(levelDB, floorDB, 0.0f);
  const float fraction = (clamped - floorDB) / (0.0f - floorDB);
  return std::clamp(std::pow(fraction, 0.65f), 0.0f, 1.0f);
}

}  // namespace parley::voice
