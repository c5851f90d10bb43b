#include "desktop/voice_activity_detector.hpp"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "desktop/voice_log.hpp"

namespace parley::desktop {

VoiceActivityDetector::VoiceActivityDetector() : processing_(webrtc::AudioProcessing::Create()) {
  auto* detection = processing_ ? processing_->voice_detection() : nullptr;
  // The strictest setting still calls nine in ten of a spoken word's frames
  // speech, over noise up to 20 dB below it, where the next one down takes
  // pink noise at that level and noise pulsing at a syllable's rate for
  // speech half the time.
  if (!detection || detection->Enable(true) != webrtc::AudioProcessing::kNoError ||
      detection->set_likelihood(webrtc::VoiceDetection::kVeryLowLikelihood) !=
          webrtc::AudioProcessing::kNoError ||
      detection->set_frame_size_ms(10) != webrtc::AudioProcessing::kNoError) {
    voiceLogger("audio.stt")->error("the voice activity detector could not start");
    processing_.reset();
  }
}

VoiceActivityDetector::~VoiceActivityDetector() = default;

bool VoiceActivityDetector::isSpeech(std::span<const float> frame) {
  // Without the detector, loudness is all there is to go by.
  if (!processing_ || frame.size() != frameSamples)
    return true;
  std::array<float, frameSamples> samples{};
  std::transform(frame.begin(), frame.end(), samples.begin(), [](float sample) {
    return std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
  });
  const float* in[] = {samples.data()};
  float* out[] = {samples.data()};
  if (processing_->ProcessStream(in, frameSamples, sampleRate, webrtc::AudioProcessing::kMono,
                                 sampleRate, webrtc::AudioProcessing::kMono,
                                 out) != webrtc::AudioProcessing::kNoError) {
    return true;
  }
  return processing_->voice_detection()->stream_has_voice();
}

}  // namespace parley::desktop
