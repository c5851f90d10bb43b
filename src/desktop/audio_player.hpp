#pragma once

// Plays blocks of speech on the sound server's default sink, one at a time,
// on a thread of its own, through one stream kept open from the first play
// (or open()) until close(). Playback can be cut short at any moment.
//
// Why one stream: the echo canceller compares what we play with what the
// microphone hears, and what it has learnt holds only while the delay
// between the two stays put. A stream opened for each reply starts with the
// server's buffer filling and its latency settling, and the sink waking from
// its idle suspend, so each reply's first words came back with only a few dB
// taken out. Between replies the stream plays silence: a plain pa_simple
// stream cannot be corked, and one left to run dry would wait to refill its
// buffer (and the sink would suspend) before the next reply, which is the
// fresh start we keep away from. Twenty milliseconds of zeros every twenty
// milliseconds costs next to nothing.
//
// Calls come from one thread at a time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
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
  // leave the speakers: what we are about to hear ourselves say, and the
  // silence between replies.
  using Tap = std::function<void(std::span<const std::int16_t> samples,
                                 std::chrono::steady_clock::time_point playsAt)>;
  using Done = std::function<void(const std::string& error)>;

  AudioPlayer() = default;
  ~AudioPlayer();
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  // Opens the stream ahead of the first play, so it runs steady by then.
  void open();
  // Starts playing `audio` (cutting whatever was playing). `done` runs on the
  // player's thread once the samples have been played out or playback was
  // cut or failed; its argument is the error text, empty on success.
  void play(PcmAudio audio, Done done);
  // Cuts the current playback (the 100 ms the server holds still play);
  // `done` has run when this returns.
  void cut();
  // Closes the stream; a later play() or open() opens it again.
  void close();
  bool isPlaying() const { return playing_.load(); }
  // Set before the first play() or open().
  void setTap(Tap tap) { tap_ = std::move(tap); }

  // Blocks until `audio` has been played on a stream of its own; returns the
  // error text or "".
  static std::string playNow(const PcmAudio& audio, const std::atomic<bool>* cancel = nullptr,
                             const Tap& tap = {});

 private:
  struct Job {
    PcmAudio audio;
    Done done;
  };

  void run();

  std::mutex mutex_;  // guards what follows
  std::condition_variable served_;
  std::optional<Job> next_;
  bool cutRequested_ = false;
  bool closing_ = false;
  bool running_ = false;
  std::string lastError_;  // why the last stream ended

  std::thread thread_;
  std::atomic<bool> playing_{false};
  Tap tap_;
};

}  // namespace parley::desktop
