#include "voice/energy_gate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace parley::voice {
namespace {

using Event = EnergyGate::Event;

// A gate whose floor has been seeded by one frame at `floorDB`.
EnergyGate primedGate(float floorDB) {
  EnergyGate gate(floorDB);
  EXPECT_EQ(gate.process(floorDB, false), Event::none);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), floorDB);
  return gate;
}

TEST(EnergyGate, StartsUnprimedAndSeedsTheFloorFromTheFirstFrame) {
  EnergyGate gate(-50.0f);
  EXPECT_FALSE(gate.primed());
  EXPECT_FALSE(gate.isActive());
  EXPECT_FLOAT_EQ(gate.lastLevelDB(), -120.0f);
  EXPECT_FLOAT_EQ(gate.onsetThresholdDB(), -33.0f);

  EXPECT_EQ(gate.process(-62.0f, true), Event::none);
  EXPECT_TRUE(gate.primed());
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -62.0f);

  EnergyGate quiet(-50.0f);
  quiet.process(-90.0f, false);  // seeding never goes below the silence floor
  EXPECT_FLOAT_EQ(quiet.noiseFloorDB(), -75.0f);
}

TEST(EnergyGate, OnsetNeedsConsecutiveFramesStrictlyAboveTheThreshold) {
  EnergyGate atThreshold = primedGate(-60.0f);
  // Exactly 17 dB over the floor does not count, and the slowly rising floor
  // keeps it from ever counting.
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(atThreshold.process(-43.0f, false), Event::none);
    ASSERT_EQ(atThreshold.aboveCount(), 0) << "frame " << i;
  }
  EXPECT_GT(atThreshold.noiseFloorDB(), -60.0f);

  EnergyGate gate = primedGate(-60.0f);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(gate.process(-40.0f, false), Event::none);
    EXPECT_EQ(gate.aboveCount(), i + 1);
  }
  // The floor crept up by about 0.04 dB a frame, not enough to matter.
  EXPECT_NEAR(gate.noiseFloorDB(), -59.84f, 0.001f);
  const float floorBeforeOnset = gate.noiseFloorDB();
  EXPECT_EQ(gate.process(-40.0f, false), Event::onset);
  EXPECT_TRUE(gate.isActive());
  EXPECT_EQ(gate.aboveCount(), 0);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), floorBeforeOnset);  // the onset frame is speech

  EnergyGate broken = primedGate(-60.0f);
  for (int i = 0; i < 4; ++i)
    broken.process(-40.0f, false);
  broken.process(-60.0f, false);  // one quiet frame restarts the count
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(broken.process(-40.0f, false), Event::none);
  EXPECT_EQ(broken.process(-40.0f, false), Event::onset);
}

TEST(EnergyGate, ReleaseNeedsConsecutiveQuietFramesAndThenAdaptsTheFloor) {
  EnergyGate gate = primedGate(-60.0f);
  for (int i = 0; i < 5; ++i)
    gate.process(-30.0f, false);
  ASSERT_TRUE(gate.isActive());
  const float floor = gate.noiseFloorDB();

  // Speech continues at or above floor + 6 dB; no adaptation while active.
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(gate.process(floor + 6.0f, false), Event::none);
  for (int i = 0; i < 19; ++i)
    ASSERT_EQ(gate.process(-70.0f, false), Event::none);
  EXPECT_EQ(gate.belowCount(), 19);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), floor);
  gate.process(-20.0f, false);  // a loud frame breaks the quiet run
  EXPECT_EQ(gate.belowCount(), 0);
  for (int i = 0; i < 19; ++i)
    ASSERT_EQ(gate.process(-70.0f, false), Event::none);

  EXPECT_EQ(gate.process(-70.0f, false), Event::release);
  EXPECT_FALSE(gate.isActive());
  EXPECT_EQ(gate.belowCount(), 0);
  // The release frame is below the floor: the fast-falling alpha applies.
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), floor + (-70.0f - floor) * 0.25f);
}

TEST(EnergyGate, FloorAdaptation) {
  EnergyGate held(-60.0f);
  for (const float level :
       {-60.0f, -90.0f, -65.0f, -20.0f, -20.0f, -20.0f, -20.0f, -20.0f, -80.0f, -30.0f}) {
    held.process(level, true);
  }
  EXPECT_FLOAT_EQ(held.noiseFloorDB(), -60.0f);

  EnergyGate gate = primedGate(-60.0f);
  gate.process(-68.0f, false);  // below the floor: fast fall
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -62.0f);
  gate.process(-52.0f, false);  // above it: slow rise
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -62.0f + 10.0f * 0.002f);
  const float floor = gate.noiseFloorDB();
  // Levels at or below the silence floor never move it.
  for (int i = 0; i < 100; ++i)
    gate.process(i % 2 == 0 ? -75.0f : -200.0f, false);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), floor);

  EnergyGate::Config config;
  config.floorDownAlpha = 2.0f;  // overshoots; the silence floor stops it
  config.silenceFloorDB = -70.0f;
  EnergyGate clamped(config, -60.0f);
  clamped.process(-60.0f, false);
  clamped.process(-69.0f, false);
  EXPECT_FLOAT_EQ(clamped.noiseFloorDB(), -70.0f);
  EXPECT_NE(config, EnergyGate::Config{});
}

TEST(EnergyGate, ResetForcesInactiveAndOptionallyReseeds) {
  EnergyGate gate = primedGate(-60.0f);
  for (int i = 0; i < 5; ++i)
    gate.process(-30.0f, false);
  gate.process(-70.0f, false);
  ASSERT_TRUE(gate.isActive());
  ASSERT_EQ(gate.belowCount(), 1);
  const float floor = gate.noiseFloorDB();

  gate.reset();
  EXPECT_FALSE(gate.isActive());
  EXPECT_EQ(gate.belowCount(), 0);
  EXPECT_TRUE(gate.primed());
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), floor);

  gate.reset(-40.0f);
  EXPECT_FALSE(gate.primed());
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -40.0f);
  gate.process(-55.0f, false);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -55.0f);
}

TEST(EnergyGate, NonFiniteLevelsCountAsSilence) {
  EnergyGate gate(-60.0f);
  gate.process(std::numeric_limits<float>::quiet_NaN(), false);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -75.0f);
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(gate.process(std::numeric_limits<float>::infinity(), false), Event::none);
  EXPECT_FLOAT_EQ(gate.lastLevelDB(), -75.0f);
}

TEST(EnergyGate, LevelsForTheGateAndForMeters) {
  const float nan = std::nanf("");
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::tuple<std::vector<float>, float, float>> blocks{
      {{}, -90.0f, -90.0f},
      {std::vector<float>(256, 0.0f), -90.0f, -90.0f},
      {std::vector<float>(64, 1.0f), -90.0f, 0.0f},
      {{0.1f, -0.1f, 0.1f, -0.1f}, -90.0f, -20.0f},
      {std::vector<float>(16, 1e-6f), -100.0f, -100.0f},
      {{0.5f, nan}, -90.0f, -90.0f},
  };
  for (const auto& [samples, floor, level] : blocks) {
    EXPECT_NEAR(EnergyGate::levelDB(samples, floor), level, 1e-4f);
  }
  // level, floor, meter; a floor at or above full scale leaves a quiet meter.
  const std::vector<std::tuple<float, float, float>> meters{
      {0.0f, -60.0f, 1.0f},  {-60.0f, -60.0f, 0.0f}, {-30.0f, -60.0f, 0.637f},
      {12.0f, -60.0f, 1.0f}, {-80.0f, -60.0f, 0.0f}, {nan, -60.0f, 0.0f},
      {inf, -60.0f, 0.0f},   {-10.0f, 0.0f, 0.0f},   {-10.0f, 6.0f, 0.0f},
      {-10.0f, nan, 0.0f},
  };
  for (const auto& [level, floor, meter] : meters) {
    EXPECT_NEAR(EnergyGate::normalizedLevel(level, floor), meter, 0.001f) << level << " " << floor;
  }
}

}  // namespace
}  // namespace parley::voice
