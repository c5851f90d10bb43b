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

TEST(EnergyGate, NonFiniteLevelsCountAsSilence) {
  EnergyGate gate(-60.0f);
  gate.process(std::numeric_limits<float>::quiet_NaN(), false);
  EXPECT_FLOAT_EQ(gate.lastLevelDB(), -75.0f);
  EXPECT_FLOAT_EQ(gate.noiseFloorDB(), -75.0f);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(gate.process(std::numeric_limits<float>::infinity(), false), Event::none);
  }
  EXPECT_FLOAT_EQ(gate.lastLevelDB(), -75.0f);
  EXPECT_FALSE(gate.isActive());
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

TEST(EnergyGate, LevelOfABlock) {
  EXPECT_FLOAT_EQ(EnergyGate::levelDB({}, -90.0f), -90.0f);
  const std::vector<float> zeros(256, 0.0f);
  EXPECT_FLOAT_EQ(EnergyGate::levelDB(zeros, -90.0f), -90.0f);
  const std::vector<float> fullScale(64, 1.0f);
  EXPECT_NEAR(EnergyGate::levelDB(fullScale, -90.0f), 0.0f, 1e-5f);
  const std::vector<float> tenth{0.1f, -0.1f, 0.1f, -0.1f};
  EXPECT_NEAR(EnergyGate::levelDB(tenth, -90.0f), -20.0f, 1e-4f);
  const std::vector<float> faint(16, 1e-6f);
  EXPECT_FLOAT_EQ(EnergyGate::levelDB(faint, -100.0f), -100.0f);
  const std::vector<float> broken{0.5f, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_FLOAT_EQ(EnergyGate::levelDB(broken, -90.0f), -90.0f);
}

TEST(EnergyGate, NormalizedLevelForMeters) {
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(0.0f, -60.0f), 1.0f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(-60.0f, -60.0f), 0.0f);
  EXPECT_NEAR(EnergyGate::normalizedLevel(-30.0f, -60.0f), std::pow(0.5f, 0.65f), 1e-6f);
  EXPECT_NEAR(EnergyGate::normalizedLevel(-30.0f, -60.0f), 0.637f, 0.001f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(12.0f, -60.0f), 1.0f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(-80.0f, -60.0f), 0.0f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(std::nanf(""), -60.0f), 0.0f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(std::numeric_limits<float>::infinity(), -60.0f),
                  0.0f);
  // A floor at or above full scale leaves no range: a quiet meter, not NaN.
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(-10.0f, 0.0f), 0.0f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(-10.0f, 6.0f), 0.0f);
  EXPECT_FLOAT_EQ(EnergyGate::normalizedLevel(-10.0f, std::nanf("")), 0.0f);
}

}  // namespace
}  // namespace parley::voice
