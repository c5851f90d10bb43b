#pragma once

// Tells speech from other sound, 10 ms at a time, with WebRTC's voice
// activity detector (a model of speech's spectrum that learns the background
// as it goes). Loudness alone cannot: a fan, a hum or traffic is as loud as a
// voice, and a transcription model answers it with invented sentences.

#include <memory>
#include <span>

namespace webrtc {
class AudioProcessing;
}

namespace parley::desktop {

class VoiceActivityDetector {
 public:
  static constexpr int sampleRate = 16000;
  static constexpr std::size_t frameSamples = sampleRate / 100;

  VoiceActivityDetector();
  ~VoiceActivityDetector();
  VoiceActivityDetector(const VoiceActivityDetector&) = delete;
  VoiceActivityDetector& operator=(const VoiceActivityDetector&) = delete;

  // One frame of `frameSamples` samples in [-1, 1], fed in order: the
  // detector's view of the background comes from the frames before.
  bool isSpeech(std::span<const float> frame);

 private:
  std::unique_ptr<webrtc::AudioProcessing> processing_;
};

}  // namespace parley::desktop
