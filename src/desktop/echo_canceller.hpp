#pragma once

// Takes Parley's own speech out of what the microphone hears, with WebRTC's
// acoustic echo canceller, so the person can talk over it. It learns how the
// room (loudspeakers, walls, microphone) turns what we play into what we
// capture, from the sound we hand to the player compared with the sound that
// comes back, and finds the delay between them itself: the person's sound
// setup is left as it is.
//
// What it compares must keep the same alignment from one reply to the next,
// or each reply starts with a filter learnt for another delay and our first
// words get through, loud enough to be taken for speech. So our sound is
// placed on the microphone's timeline by when the sound server will play it,
// not by when the player hands it over (a reply's first 100 ms go in at once
// to fill the server's buffer), and the far end goes on as silence whenever
// nothing is playing.
//
// Threads: render() runs on the player's thread, capture() on the
// microphone's; the two meet under one lock.

#include <chrono>
#include <cstdint>
#include <deque>
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

  using Clock = std::chrono::steady_clock;

  // Our own sound, in order, as it is handed to the sound server; its first
  // sample leaves the speakers at `playsAt`.
  void render(std::span<const std::int16_t> samples, Clock::time_point playsAt);
  // Microphone samples at `captureRate`, the last of them heard at
  // `heardAt`: the same sound with our speech taken out, in whole 10 ms
  // frames (a partial frame waits for the next call).
  std::vector<float> capture(std::span<const float> samples,
                             Clock::time_point heardAt = Clock::now());

 private:
  struct RenderFrame {
    Clock::time_point playsAt;
    std::vector<float> samples;
  };

  void renderFrame(std::span<const float> frame);
  // Hands the canceller what the speakers played up to `heardAt`.
  void playedUntil(Clock::time_point heardAt);

  std::unique_ptr<webrtc::AudioProcessing> processing_;
  int renderRate_;
  std::size_t renderFrameSamples_;
  std::mutex mutex_;  // guards what follows
  std::vector<float> renderPending_;
  Clock::time_point pendingPlaysAt_;
  std::deque<RenderFrame> toPlay_;
  std::vector<float> capturePending_;
};

}  // namespace parley::desktop
