#pragma once

// A room around a private PulseAudio daemon: what is played on its speakers
// (the null sink, heard through its monitor) reaches its microphone later
// and quieter, over faint noise, and a person can speak over it. The room
// runs on the sound server's clock, 20 ms at a time, on a thread of its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pulse_daemon.hpp"

struct pa_simple;

namespace parley::test {

class Room {
 public:
  using Clock = std::chrono::steady_clock;

  // The microphone hears the speakers `delay` later, scaled by `gain`.
  Room(PulseDaemon& daemon, std::chrono::milliseconds delay, float gain);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  // Empty when the room runs; else why not.
  const std::string& problem() const { return problem_; }

  // The person says 16 kHz samples, from the next block on.
  void say(const std::vector<std::int16_t>& samples);
  // When the last sample said went into the microphone; none while some
  // are still to come.
  std::optional<Clock::time_point> saidAt();
  // How long the speakers have been playing without a break, and when they
  // were last heard (none until they first play).
  Clock::duration playingFor();
  std::optional<Clock::time_point> lastPlayed();

  // How much of `clip` is in `heard`: the peak of their normalised
  // cross-correlation, 1 when `heard` holds `clip` unchanged, near 0 when
  // it holds other sound.
  static double likeness(const std::vector<std::int16_t>& heard,
                         const std::vector<std::int16_t>& clip);

 private:
  void run(PulseDaemon& daemon);

  pa_simple* monitor_ = nullptr;
  std::size_t delaySamples_;
  float gain_;
  std::string problem_;
  std::mutex mutex_;  // guards what follows
  std::deque<std::int16_t> toSay_;
  std::optional<Clock::time_point> saidAt_;
  std::optional<Clock::time_point> playingSince_;
  std::optional<Clock::time_point> lastPlayed_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace parley::test
