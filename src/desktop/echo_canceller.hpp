#pragma once

// Takes Parley's own speech out of what the microphone hears, with WebRTC's
// acoustic echo canceller, so the person can talk over it. It learns how the
// room (loudspeakers, walls, microphone) turns what we play into what we
// capture, from the sound we hand to the player compared with the sound that
// comes back, and finds the delay between them itself: the person's sound
// setup is left as it is.
//
// Threads: render() runs on the player's thread, capture() on the
// microphone's; the two meet under one lock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace parley::desktop {

class EchoCanceller {
 public:
  static constexpr int captureRate = 16000;

  // `renderRate` is the rate of the samples handed to render().
  explicit EchoCanceller(int renderRate);
  // A canceller that is available, or none.
  static std::shared_ptr<EchoCanceller> make(int renderRate);
  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // False when the processor could not be set up: captured sound then passes
  // through untouched, and the caller must keep our speech away from the
  // recogniser by other means.
  bool available() const { return processing_ != nullptr; }

  // Whether our sound is playing: while it is not, the far end is silence.
  void setPlaying(bool playing) { playing_.store(playing); }
  // Our own sound, in order, as it is handed to the sound server.
  void render(std::span<const std::int16_t> samples);
  // Microphone samples at `captureRate`: the same sound with our speech
  // taken out, in whole 10 ms frames (a partial frame waits for the next
  // call).
  std::vector<float> capture(std::span<const float> samples);

 private:
  void renderFrame(std::span<const float> frame);

  std::unique_ptr<webrtc::AudioProcessing> processing_;
  int renderRate_;
  std::size_t renderFrameSamples_;
  std::atomic<bool> playing_{false};
  std::mutex mutex_;  // guards what follows
  std::vector<float> renderPending_;
  std::vector<float> capturePending_;
  std::chrono::steady_clock::time_point lastRender_;
};

}  // namespace parley::desktop
