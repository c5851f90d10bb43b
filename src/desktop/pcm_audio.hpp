#pragma once

// A block of mono signed 16-bit samples at a sample rate: what the speech
// providers produce and the player plays.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace parley::desktop {

struct PcmAudio {
  int sampleRate = 0;
  std::vector<std::int16_t> samples;

  bool empty() const { return samples.empty(); }

  // The same sound at `rate`, converted with libsoxr (high quality). Returns
  // an empty block when the conversion fails.
  PcmAudio resampled(int rate) const;

  // A RIFF/WAVE file holding the samples.
  std::string wav() const;

  // Float samples in [-1, 1] at `rate`, clipped to 16 bits.
  static PcmAudio fromFloat(std::span<const float> samples, int rate);
};

}  // namespace parley::desktop
