#pragma once

// Frame-by-frame voice-activity detection on audio levels in dB: an adaptive
// noise floor that falls fast and rises slowly, an onset after several loud
// frames in a row, a release after several quiet ones.

#include <cstdint>
#include <optional>
#include <span>

namespace parley::voice {

class EnergyGate {
 public:
  struct Config {
    // Duration of one level frame; for the caller, the gate counts frames.
    double frameMS = 10.0;
    float onsetOverFloorDB = 17.0f;
    float releaseOverFloorDB = 6.0f;
    // Consecutive loud frames for an onset (50 ms at 10 ms frames).
    std::int64_t onsetFrames = 5;
    // Consecutive quiet frames for a release (200 ms at 10 ms frames).
    std::int64_t releaseFrames = 20;
    // The floor never goes below this, levels at or below it never move it,
    // and it stands in for non-finite levels.
    float silenceFloorDB = -75.0f;
    // Smoothing when the level is below the floor (fast fall).
    float floorDownAlpha = 0.25f;
    // Smoothing when the level is at or above the floor (slow rise).
    float floorUpAlpha = 0.002f;

    bool operator==(const Config&) const = default;
  };

  enum class Event { none, onset, release };

  explicit EnergyGate(float noiseFloorDB);
  EnergyGate(Config config, float noiseFloorDB);

  const Config& config() const { return config_; }
  float noiseFloorDB() const { return noiseFloorDB_; }
  bool isActive() const { return isActive_; }
  float lastLevelDB() const { return lastLevelDB_; }
  std::int64_t aboveCount() const { return aboveCount_; }
  std::int64_t belowCount() const { return belowCount_; }
  bool primed() const { return primed_; }

  float onsetThresholdDB() const { return noiseFloorDB_ + config_.onsetOverFloorDB; }

  // Feeds one frame's level. With `holdFloor` the noise floor is not adapted
  // on this frame (for instance while the device itself is playing sound).
  Event process(float levelDB, bool holdFloor);

  // Forces the gate inactive. A new floor is taken as a fresh start: the next
  // frame seeds the floor from its own level.
  void reset(std::optional<float> noiseFloorDB = std::nullopt);

  // RMS level of a block in dB, never below `floorDB`.
  static float levelDB(std::span<const float> samples, float floorDB);
  // A level mapped to 0...1 for a meter, with a curve that spreads the
  // quiet end.
  static float normalizedLevel(float levelDB, float floorDB);

 private:
  Config config_;
  float noiseFloorDB_;
  bool isActive_ = false;
  float lastLevelDB_ = -120.0f;
  std::int64_t aboveCount_ = 0;
  std::int64_t belowCount_ = 0;
  bool primed_ = false;
};

}  // namespace parley::voice
