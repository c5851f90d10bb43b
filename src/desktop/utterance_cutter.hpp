#pragma once

// Cuts utterances out of a stream of microphone samples with the energy gate:
// 10 ms frames, a short lead-in kept from before the onset (so the first
// syllable is not clipped), the utterance ending at the gate's release or at
// a length cap. The gate releases after 200 ms of quiet, which a person's
// pause between words easily lasts; the utterance goes on through a further
// hangover, so one sentence is not sent in pieces.

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "voice/energy_gate.hpp"

namespace parley::desktop {

class UtteranceCutter {
 public:
  static constexpr int sampleRate = 16000;
  static constexpr std::size_t frameSamples = sampleRate / 100;
  static constexpr std::size_t leadInFrames = 30;
  static constexpr std::size_t hangoverFrames = 25;
  static constexpr std::size_t maxFrames = 30 * 100;

  struct Utterance {
    std::vector<float> samples;
    // The quiet at its end: how long ago the speaker stopped when it is
    // handed over (none when the length cap cut it mid-speech).
    std::chrono::milliseconds trailingQuiet{0};
  };

  UtteranceCutter();

  // Feeds samples; returns every utterance completed by them.
  std::vector<Utterance> push(std::span<const float> samples);
  void reset();
  bool inUtterance() const { return capturing_; }

 private:
  std::optional<Utterance> frame(std::span<const float> frame);

  voice::EnergyGate gate_;
  std::vector<float> pending_;
  std::deque<std::vector<float>> leadIn_;
  std::vector<float> utterance_;
  bool capturing_ = false;
  std::size_t quietFrames_ = 0;   // since the release, while capturing
  std::size_t silentFrames_ = 0;  // since the last loud frame, while capturing
};

}  // namespace parley::desktop
