#pragma once

// Plays blocks of speech on the sound server's default sink, one at a time,
// on a thread of its own. Playback can be cut short at any moment.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "desktop/pcm_audio.hpp"

namespace parley::desktop {

class AudioPlayer {
 public:
  // The rate blocks are converted to before they are played.
  static constexpr int sampleRate = 48000;
  // Sees each block of samples (at `sampleRate`) once it is handed to the
  // sound server, on the player's thread, with when its first sample will
  // leave the speakers: what we are about to hear ourselves say.
  using Tap = std::function<void(std::span<const std::int16_t> samples,
                                 std::chrono::steady_clock::time_point playsAt)>;

  AudioPlayer() = default;
  ~AudioPlayer();
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  // Starts playing `audio` (cutting whatever was playing). `done` runs on the
  // player's thread once the samples have been played out or playback was
  // cut or failed; its argument is the error text, empty on success.
  void play(PcmAudio audio, std::function<void(const std::string& error)> done);
  // Cuts the current playback; `done` still runs.
  void cut();
  bool isPlaying() const { return playing_.load(); }
  // Set before the first play().
  void setTap(Tap tap) { tap_ = std::move(tap); }

  // Blocks until `audio` has been played; returns the error text or "".
  static std::string playNow(const PcmAudio& audio, const std::atomic<bool>* cancel = nullptr,
                             const Tap& tap = {});

 private:
  void join();

  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> playing_{false};
  Tap tap_;
};

}  // namespace parley::desktop
