#pragma once

// Cuts utterances out of a stream of microphone samples: 10 ms frames, the
// energy gate for where sound starts and stops against the room's noise
// floor, the voice activity detector for whether that sound is speech.
//
// A capture starts at the gate's onset, with a short lead-in kept from
// before it (so the first syllable is not clipped), and ends at the gate's
// release plus a hangover (a pause between words outlasts the release's
// 200 ms, and one sentence should not be sent in pieces), or at a length cap.
// Only a capture that held speech becomes an utterance: noise answered by a
// transcription model comes back as invented sentences.
//
// The room's sound is learnt even while a capture runs, since a fan that
// starts keeps the gate open for as long as it turns: a capture that hears
// no speech for a second is hearing the room, and so is a sound that stays
// level for a second and a half. Either becomes the floor and ends the
// capture, keeping what speech came before it. The floor is never taken from
// a single frame while someone may be speaking.

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "desktop/voice_activity_detector.hpp"
#include "voice/energy_gate.hpp"

namespace parley::desktop {

class UtteranceCutter {
 public:
  static constexpr int sampleRate = 16000;
  static constexpr std::size_t frameSamples = sampleRate / 100;
  static constexpr std::size_t leadInFrames = 30;
  static constexpr std::size_t hangoverFrames = 25;
  static constexpr std::size_t maxFrames = 30 * 100;
  // Speech is a stretch the detector calls speech without a break for
  // 200 ms: a short word holds it for 300 ms, while noise that fools the
  // detector seldom does for half that.
  static constexpr std::size_t speechRunFrames = 20;
  // A second of capture without speech: what keeps the gate open is the room.
  static constexpr std::size_t backgroundFrames = 100;
  // A sound whose frames stay within 8 dB of each other (from the 10th to the
  // 90th percentile) for a second and a half is steady, not speech, which
  // swings over 18 dB or more in that time.
  static constexpr std::size_t steadyFrames = 150;
  static constexpr float steadySpreadDB = 8.0f;
  // The quiet that ends a capture early; the closure of a stop consonant
  // within a word is shorter.
  static constexpr std::size_t quickEndFrames = 12;
  // With a quick end, frames this far below the capture's loudest speech
  // are quiet too.
  static constexpr float quickEndBelowPeakDB = 15.0f;

  struct Utterance {
    std::vector<float> samples;
    // The quiet at its end: how long ago the speaker stopped when it is
    // handed over (none when the length cap cut it mid-speech).
    std::chrono::milliseconds trailingQuiet{0};
  };

  // What one push found, in order: a capture began, or one ended with its
  // utterance (none when it held no speech).
  struct Event {
    enum class Kind { began, ended };
    Kind kind;
    std::optional<Utterance> utterance;
  };

  UtteranceCutter();

  // Feeds samples; returns what they began and ended.
  std::vector<Event> push(std::span<const float> samples);
  // Drops the capture under way; what was learnt of the room stays.
  void drop();
  // Ends captures after `quickEndFrames` of quiet, without waiting for the
  // gate's release or the hangover: said over Parley's speech, a word is a
  // command, and acting on it soon matters more than keeping a sentence in
  // one piece.
  void setQuickEnd(bool quick) { quickEnd_ = quick; }
  bool capturing() const { return capturing_; }
  float noiseFloorDB() const { return gate_.noiseFloorDB(); }

 private:
  struct Frame {
    float levelDB;
    bool voiced;
  };

  void frame(std::span<const float> samples, std::vector<Event>& events);
  // Ends the capture with frames from `background` on taken as the room's
  // sound: the utterance keeps the speech before them.
  Event endAtBackground(std::size_t background);
  Event endCapture(std::optional<Utterance> utterance);
  // The last captured frame before `end` in a stretch of speech.
  std::optional<std::size_t> lastSpeechBefore(std::size_t end) const;
  // The recent levels if they are steady: their median.
  std::optional<float> steadyLevel() const;
  void learnFloor(float levelDB);

  voice::EnergyGate gate_;
  VoiceActivityDetector detector_;
  std::vector<float> pending_;
  std::deque<std::vector<float>> leadIn_;
  std::deque<Frame> leadInFrames_;
  std::deque<float> recentLevels_;  // the last `steadyFrames` levels
  std::size_t sinceSteadyCheck_ = 0;
  std::size_t voicedRun_ = 0;  // consecutive voiced frames up to now

  bool capturing_ = false;
  bool quickEnd_ = false;
  std::vector<float> utterance_;
  std::vector<Frame> frames_;     // one for each captured frame
  std::size_t quietFrames_ = 0;   // since the release, while capturing
  std::size_t silentFrames_ = 0;  // since the last loud frame, while capturing
  std::size_t sinceSpeech_ = 0;   // frames since the last speech, while capturing
  std::size_t quickQuiet_ = 0;    // quiet frames in a row, as a quick end counts them
  float speechPeakDB_ = -90.0f;   // the loudest speech frame, while capturing
};

}  // namespace parley::desktop
